// The Help page: what it says about the program, where things are kept, and its link.
#include "ui/help_page.h"

#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>
#include <string>
#include <vector>

#include "log/log_files.h"
#include "state/startup/command_line.h"
#include "state/startup/program.h"
#include "tests/support/temp_env.h"

namespace qvex {

// Catches the URLs the page asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT

  public:
    QList<QUrl> opened;

  public slots:
    void open(const QUrl& url) { opened.append(url); }
};

// A program's start-up state and current log in a temporary home.
struct HelpWorld {
    explicit HelpWorld(int logKeep)
        : state(ParseCommandLine(std::vector<std::string>{})),
          logs(LogFilesOptions{state.dataFolder, logKeep, {}}) {
        if (!state.ready() || !logs.Open()) {
            qFatal("start-up failed");
        }
    }
    ~HelpWorld() { logs.Close(); }

    test::TempEnv env;
    ProgramState state;
    SessionLogFiles logs;
};

class HelpPageTest : public QObject {
    Q_OBJECT

  private slots:
    void showsTitlePlacesAndOpensTheLogFolder();
    void exitStatusesMatchTheReadme();
    void logInMemoryOpensTheDataFolder();
};

void HelpPageTest::showsTitlePlacesAndOpensTheLogFolder() {
    HelpWorld world(kLogKeepAll);
    const test::TempEnv& env = world.env;
    HelpPage page(world.state, world.logs);

    QCOMPARE(page.findChild<QLabel*>("helpTitle")->text(), QStringLiteral("Qvex 3.5"));
    QCOMPARE(page.findChild<QLabel*>("helpVersion")->text(),
             QStringLiteral("Version 3.5 (3.5.0.0)"));
    QCOMPARE(page.findChild<QLabel*>("helpSettingsPath")->text(),
             QString::fromStdString(env.path("config/VbKs/Qvex/registry.reg")));
    QCOMPARE(page.findChild<QLabel*>("helpDataPath")->text(),
             QString::fromStdString(env.path("data/VbKs/Qvex/")));
    QCOMPARE(page.findChild<QLabel*>("helpLogPath")->text(),
             QString::fromStdString(world.logs.currentPath()));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    QTest::mouseClick(page.findChild<QPushButton*>("helpOpenLogFolder"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.opened.size(), 1);
    QCOMPARE(catcher.opened[0].toLocalFile(), QString::fromStdString(env.path("data/VbKs/Qvex")));
}

// The page's exit statuses are the README's: every row of its table, in the same words.
void HelpPageTest::exitStatusesMatchTheReadme() {
    QFile readme(QStringLiteral(QVEX_SOURCE_DIR "/README.md"));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype section = text.indexOf(QStringLiteral("### Exit status"));
    QVERIFY(section >= 0);
    QTextDocument page;
    page.setHtml(CommandLineHelpHtml());
    const QString shown = page.toPlainText().simplified();
    QRegularExpression row(QStringLiteral("^\\| (\\d+) \\| (.+) \\|$"),
                           QRegularExpression::MultilineOption);
    int rows = 0;
    for (auto match = row.globalMatch(text, section); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        const QString meaning = found.captured(2).remove(QLatin1Char('`'));
        QVERIFY2(shown.contains(found.captured(1) + QLatin1Char(' ') + meaning),
                 qPrintable(meaning));
        ++rows;
    }
    QCOMPARE(rows, 8);
    QVERIFY(shown.contains(QStringLiteral("255: the program could not start at all.")));
}

void HelpPageTest::logInMemoryOpensTheDataFolder() {
    HelpWorld world(kLogKeepNone);
    HelpPage page(world.state, world.logs);
    QCOMPARE(page.findChild<QLabel*>("helpLogPath")->text(),
             QStringLiteral("kept in memory only, lost at exit"));
    QCOMPARE(page.logFolder(), QString::fromStdString(world.state.dataFolder));
}

}  // namespace qvex

QTEST_MAIN(qvex::HelpPageTest)
#include "help_page_test.moc"
