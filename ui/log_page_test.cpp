// The Log page against the real log: lines posted through the sink travel the bus and the
// receiver thread into the current log file, and the page shows them.
#include "ui/log_page.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "log/log_files.h"
#include "log/log_receiver.h"
#include "log/log_sink.h"
#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "tests/support/temp_env.h"
#include "ui/log_model.h"

namespace qvex {
namespace {

constexpr int kWaitMs = 5000;
constexpr int64_t kNow = 1796630001;  // December 2026: newer than the saved logs below

// Everything a Log page stands on, as the program builds it, in a temporary folder.
struct LogWorld {
    explicit LogWorld(int logKeep = kLogKeepAll) {
        settings.LoadSettings();
        if (!heap.CreateHeap()) {
            qFatal("the shared heap could not be made");
        }
        for (const std::string& name : savedLogs) {
            test::WriteFileBytes(folder.path(name),
                                 "[old header]\r\n[old system]\r\n<USER " + name + "\r\n");
        }
        files = std::make_unique<SessionLogFiles>(
            LogFilesOptions{folder.root() + "/", logKeep, [] { return kNow; }});
        if (!files->Open()) {
            qFatal("the current log could not be opened");
        }
        receiver = std::make_unique<LogReceiver>(heap, files->currentView());
        page = std::make_unique<LogPage>(*files, *receiver, settings);
        if (!receiver->Start()) {
            qFatal("the receiver could not start");
        }
        page->resize(900, 500);
    }
    ~LogWorld() {
        page.reset();  // stops the receiver
        files->Close();
    }

    void Post(const char* kind, const std::string& line) {
        postLogLine(heap, kind, line.c_str(), nullptr);
    }
    // Posts the lines and waits until the page shows `rows` rows.
    bool PostAndWait(const std::vector<std::pair<const char*, std::string>>& lines, int rows) {
        for (const auto& [kind, text] : lines) {
            Post(kind, text);
        }
        return QTest::qWaitFor([&] { return page->model().rowCount() == rows; }, kWaitMs);
    }
    QString Row(int row) const {
        return page->model().data(page->model().index(row), Qt::DisplayRole).toString();
    }
    template <typename T>
    T* Find(const char* name) const {
        return page->findChild<T*>(QString::fromUtf8(name));
    }

    test::TempFolder folder;
    platform::RegistryFile registry{folder.path("registry.reg")};
    Settings settings{registry};
    SharedHeap heap;
    std::vector<std::string> savedLogs{"20250101080000.txt", "20240101080000.txt"};
    std::unique_ptr<SessionLogFiles> files;
    std::unique_ptr<LogReceiver> receiver;
    std::unique_ptr<LogPage> page;
};

// The colour of the pixel near the right edge of a row, clear of its text.
QColor PaintedColour(LogPage& page, int row) {
    QAbstractItemView& list = page.list();
    list.scrollTo(page.model().index(row));
    const QRect rect = list.visualRect(page.model().index(row));
    const QImage image = list.viewport()->grab().toImage();
    return image.pixelColor(list.viewport()->width() - 3, rect.center().y());
}

}  // namespace

class LogPageTest : public QObject {
    Q_OBJECT

  private slots:
    void rowsAndColoursForEveryLineClass();
    void switchesRebuildAndAreSaved();
    void followsLoggingAndLogColor();
    void selectorWipeAndDelete();
    void exportWritesTheWholeLog();
    void copyKeysCopyPlainText();
    void millionLineLogOpens();
};

void LogPageTest::rowsAndColoursForEveryLineClass() {
    LogWorld world;
    world.page->show();
    struct Row {
        const char* kind;
        const char* text;
        QColor colour;
    };
    const Row table[] = {
        {"LogCmd", "<USER anonymous", {196, 196, 248}},
        {"LogCmd", ">150 Opening BINARY mode data connection", {196, 248, 248}},
        {"LogCmd", ">226 Transfer complete", {196, 248, 196}},
        {"LogCmd", ">331 Password required", {248, 248, 196}},
        {"LogCmd", ">421 Timeout", {248, 196, 248}},
        {"LogCmd", ">550 No such file", {248, 196, 196}},
        {"LogCmd", ">   continuation of a reply", {196, 248, 196}},
        {"LogCmd", ">600 no such class", {196, 248, 196}},
        {"LogExt", "!!! Can't open PASSIVEly; trying PORT", {255, 230, 205}},
        {"LogRaw", "@@@ Unable to create [directory] /x", {255, 230, 205}},
        {"LogExt", "*** failed to log in", {216, 216, 216}},
        {"LogExt", "... 1,024 bytes in 0.01 sec", {216, 216, 216}},
        {"LogExt", "DELETEing old.txt", {216, 216, 216}},
    };
    std::vector<std::pair<const char*, std::string>> lines;
    for (const Row& row : table) {
        lines.emplace_back(row.kind, row.text);
    }
    QVERIFY2(world.PostAndWait(lines, 2 + static_cast<int>(std::size(table))),
             "the posted lines did not all reach the page");
    const QColor header(247, 247, 247);
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(world.page->model()
                     .data(world.page->model().index(row), Qt::BackgroundRole)
                     .value<QBrush>()
                     .color(),
                 header);
        QCOMPARE(PaintedColour(*world.page, row), header);
    }
    QVERIFY(world.Row(0).startsWith("[Qvex 3.5 ("));
    for (size_t at = 0; at < std::size(table); ++at) {
        const int row = 2 + static_cast<int>(at);
        QCOMPARE(world.Row(row), QString::fromUtf8(table[at].text));
        const QVariant background =
            world.page->model().data(world.page->model().index(row), Qt::BackgroundRole);
        QCOMPARE(background.value<QBrush>().color(), table[at].colour);
        QCOMPARE(PaintedColour(*world.page, row), table[at].colour);
    }

    // The key: eight swatches in order, each in its class colour with its text as tooltip.
    const QColor keyColours[] = {{196, 196, 248}, {196, 248, 248}, {196, 248, 196},
                                 {248, 248, 196}, {248, 196, 248}, {248, 196, 196},
                                 {216, 216, 216}, {255, 230, 205}};
    const char* keyTips[] = {
        "FTP server command (sent from client to server)",
        "FTP server response: \"Positive Preliminary reply\" (expect additional response)",
        "FTP server response: \"Positive Completion reply\" (ready for next reqest)",
        "FTP server response: \"Positive Intermediate reply\" (more information required)",
        "FTP server response: \"Transient Negative Completion reply\" (MAY work later)",
        "FTP server response: \"Permanent Negative Completion reply\" (will NOT work)",
        "Additional information for FTP commands and responses (from Qvex)",
        "Important NON-FTP errors and failures (from Qvex)",
    };
    for (int slot = 0; slot < 8; ++slot) {
        auto* swatch = world.page->findChild<QLabel*>(QStringLiteral("logKey%1").arg(slot));
        QVERIFY(swatch != nullptr);
        QCOMPARE(swatch->toolTip(), QString::fromUtf8(keyTips[slot]));
        const QImage image = swatch->grab().toImage();
        QCOMPARE(image.pixelColor(3, image.height() / 2), keyColours[slot]);
    }
    // A line wider than the view, drawn, gives the list a horizontal extent to scroll
    // through (the model holds no widths to ask for).
    QCOMPARE(world.page->list().horizontalScrollBar()->maximum(), 0);
    QVERIFY(world.PostAndWait({{"LogExt", "... " + std::string(400, 'w')}, {"LogExt", "... short"}},
                              4 + static_cast<int>(std::size(table))));
    world.page->list().scrollToBottom();
    QTRY_VERIFY_WITH_TIMEOUT(world.page->list().horizontalScrollBar()->maximum() > 0, kWaitMs);

    QCOMPARE(world.Find<QCheckBox>("logShowCommands")->toolTip(),
             QStringLiteral("Show FTP server commands and responses"));
    QCOMPARE(world.Find<QCheckBox>("logShowExtended")->toolTip(),
             QStringLiteral("Show FTP client extended output"));
    QCOMPARE(world.Find<QCheckBox>("logShowImportant")->toolTip(),
             QStringLiteral("Show FTP client NON-protocol errors"));
}

void LogPageTest::switchesRebuildAndAreSaved() {
    LogWorld world;
    world.page->show();
    QVERIFY(world.PostAndWait({{"LogCmd", "<PWD"},
                               {"LogCmd", ">257 \"/\""},
                               {"LogExt", "... listing"},
                               {"LogExt", "!!! a note"}},
                              6));
    auto* commands = world.Find<QCheckBox>("logShowCommands");
    auto* extended = world.Find<QCheckBox>("logShowExtended");
    QVERIFY(commands->isChecked() && extended->isChecked());

    QTest::mouseClick(commands, Qt::LeftButton);
    QCOMPARE(world.page->model().rowCount(), 4);  // header, "... listing", "!!! a note"
    QCOMPARE(world.Row(2), QStringLiteral("... listing"));
    QTest::mouseClick(extended, Qt::LeftButton);
    QCOMPARE(world.page->model().rowCount(), 3);  // the note is important: always kept
    QCOMPARE(world.Row(2), QStringLiteral("!!! a note"));

    // Hidden kinds still go to the file; only the non-protocol line shows.
    QVERIFY(world.PostAndWait({{"LogCmd", "<QUIT"}, {"LogRaw", "@@@ local failure"}}, 4));
    QCOMPARE(world.Row(3), QStringLiteral("@@@ local failure"));
    QVERIFY(world.files->currentView().Text().find("<QUIT\r\n@@@ local failure\r\n") !=
            std::string::npos);

    // Both switches are in the registry file already.
    platform::RegistryFile reread(world.folder.path("registry.reg"));
    Settings stored(reread);
    stored.LoadSettings();
    QCOMPARE(stored.GetInt("LogCmd"), 0);
    QCOMPARE(stored.GetInt("LogExt"), 0);
    QTest::mouseClick(commands, Qt::LeftButton);
    reread.Reload();
    stored.LoadSettings();
    QCOMPARE(stored.GetInt("LogCmd"), 1);
    // Commands again: "... listing" stays hidden, the commands and replies come back.
    QCOMPARE(world.page->model().rowCount(), 7);
    QCOMPARE(world.Row(2), QStringLiteral("<PWD"));
    QCOMPARE(world.Row(5), QStringLiteral("<QUIT"));
}

void LogPageTest::followsLoggingAndLogColor() {
    LogWorld world;
    world.page->show();
    auto* notice = world.Find<QLabel>("logLoggingOff");
    QVERIFY(!notice->isVisible());
    world.settings.SetInt("Logging", 0);
    QTRY_VERIFY_WITH_TIMEOUT(notice->isVisible(), kWaitMs);
    QVERIFY(world.PostAndWait(
        {{"LogCmd", "<NOOP"}, {"LogExt", "... dropped"}, {"LogRaw", "@@@ kept"}}, 3));
    QCOMPARE(world.Row(2), QStringLiteral("@@@ kept"));
    QVERIFY(world.files->currentView().Text().find("NOOP") == std::string::npos);

    world.settings.SetInt("Logging", 1);
    QTRY_VERIFY_WITH_TIMEOUT(!notice->isVisible(), kWaitMs);
    QVERIFY(world.PostAndWait({{"LogCmd", "<NOOP"}}, 4));

    const QColor base = world.page->list().palette().color(QPalette::Base);
    QCOMPARE(PaintedColour(*world.page, 3), QColor(196, 196, 248));
    world.settings.SetInt("LogColor", 0);
    QTRY_VERIFY_WITH_TIMEOUT(!world.page->model().colored(), kWaitMs);
    QVERIFY(!world.page->model().data(world.page->model().index(3), Qt::BackgroundRole).isValid());
    QCOMPARE(PaintedColour(*world.page, 3), base);
    world.settings.SetInt("LogColor", 1);
    QTRY_COMPARE_WITH_TIMEOUT(PaintedColour(*world.page, 3), QColor(196, 196, 248), kWaitMs);
}

void LogPageTest::selectorWipeAndDelete() {
    LogWorld world;
    QVERIFY(world.PostAndWait({{"LogCmd", "<USER me"}, {"LogExt", "... one"}}, 4));
    world.page->show();  // the first showing lists the saved logs
    auto* selector = world.Find<QComboBox>("logSelector");
    auto* frame = world.Find<QFrame>("logSelectorFrame");
    auto* button = world.Find<QPushButton>("logWipeButton");
    QCOMPARE(selector->count(), 3);
    QCOMPARE(selector->itemText(1), QString::fromStdString(LogNameDateText(world.savedLogs[0])));
    QCOMPARE(selector->itemText(2), QString::fromStdString(LogNameDateText(world.savedLogs[1])));
    auto frameColour = [&] {
        const QImage image = frame->grab().toImage();
        return image.pixelColor(0, image.height() / 2);
    };
    QCOMPARE(button->text(), QStringLiteral("Wipe"));
    QCOMPARE(frameColour(), QColor(220, 0, 0));

    // A saved log: its lines, "Delete", no red frame.
    selector->setFocus();
    QTest::keyClick(selector, Qt::Key_Down);
    QCOMPARE(world.files->selected(), size_t{1});
    QCOMPARE(world.page->model().rowCount(), 3);
    QCOMPARE(world.Row(2), QStringLiteral("<USER 20250101080000.txt"));
    QCOMPARE(button->text(), QStringLiteral("Delete"));
    QVERIFY(frameColour() != QColor(220, 0, 0));

    // Delete: the file goes; the next saved log takes its place, then the current log.
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!test::FileExists(world.folder.path(world.savedLogs[0])));
    QCOMPARE(selector->count(), 2);
    QCOMPARE(selector->currentIndex(), 1);
    QCOMPARE(world.Row(2), QStringLiteral("<USER 20240101080000.txt"));
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!test::FileExists(world.folder.path(world.savedLogs[1])));
    QCOMPARE(selector->count(), 1);
    QCOMPARE(button->text(), QStringLiteral("Wipe"));
    QCOMPARE(frameColour(), QColor(220, 0, 0));
    QCOMPARE(world.Row(3), QStringLiteral("... one"));

    // Wipe: the header stays; later lines follow it.
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(world.page->model().rowCount(), 2);
    QVERIFY(world.PostAndWait({{"LogExt", "... two"}}, 3));
    QCOMPARE(world.Row(2), QStringLiteral("... two"));
    QCOMPARE(world.files->currentView().usedLength(),
             world.files->headerEnd() + uint32_t{sizeof "... two" + 1});
}

void LogPageTest::exportWritesTheWholeLog() {
    LogWorld world;
    world.page->show();
    QVERIFY(world.PostAndWait({{"LogCmd", "<USER a"}, {"LogCmd", ">331 x"}}, 4));
    QTest::mouseClick(world.Find<QCheckBox>("logShowCommands"), Qt::LeftButton);
    QCOMPARE(world.page->model().rowCount(), 2);

    QString proposed;
    QString error;
    QString answer = QString::fromStdString(world.folder.path("export.txt"));
    world.page->SetDialogs({[&](QWidget*, const QString& offered) {
                                proposed = offered;
                                return answer;
                            },
                            [&](QWidget*, const QString& message) { error = message; }});
    QTest::mouseClick(world.Find<QPushButton>("logExportButton"), Qt::LeftButton);
    QVERIFY(proposed.endsWith(QString::fromStdString(world.files->names()[0])));
    QVERIFY(error.isEmpty());
    // Every line, also those the switches hide.
    const std::string expected = world.Row(0).toStdString() + "\r\n" + world.Row(1).toStdString() +
                                 "\r\n<USER a\r\n>331 x\r\n";
    QCOMPARE(test::ReadFileBytes(world.folder.path("export.txt")), expected);

    answer = QString::fromStdString(world.folder.path("missing/export.txt"));
    QTest::mouseClick(world.Find<QPushButton>("logExportButton"), Qt::LeftButton);
    QCOMPARE(error, QStringLiteral("Unable to save to ") + answer);
}

void LogPageTest::copyKeysCopyPlainText() {
    LogWorld world;
    world.page->show();
    QVERIFY(world.PostAndWait({{"LogCmd", "<CWD /pub"}, {"LogCmd", ">250 ok"}, {"LogExt", "... x"}},
                              5));
    QClipboard* clipboard = QApplication::clipboard();
    LogListView& list = world.page->list();
    list.setFocus();

    list.selectionModel()->select(world.page->model().index(4), QItemSelectionModel::Select);
    list.selectionModel()->select(world.page->model().index(2), QItemSelectionModel::Select);
    QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("<CWD /pub\r\n... x\r\n"));

    // Ctrl+A, then Ctrl+X: everything, and nothing removed.
    QTest::keyClick(&list, Qt::Key_A, Qt::ControlModifier);
    clipboard->clear();
    QTest::keyClick(&list, Qt::Key_X, Qt::ControlModifier);
    const QString all =
        world.Row(0) + "\r\n" + world.Row(1) + "\r\n<CWD /pub\r\n>250 ok\r\n... x\r\n";
    QCOMPARE(clipboard->text(), all);
    QCOMPARE(world.page->model().rowCount(), 5);

    // No selection copies every line.
    list.clearSelection();
    clipboard->clear();
    QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), all);

    // Once the program exits, the keys do nothing.
    world.page->SetExiting();
    clipboard->setText(QStringLiteral("unchanged"));
    QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("unchanged"));
}

void LogPageTest::millionLineLogOpens() {
    LogWorld world;
    constexpr int kLines = 1000000;
    std::string text = "[big header]\r\n[system]\r\n";
    text.reserve(size_t{kLines} * 24);
    for (int line = 0; line < kLines; ++line) {
        text += (line % 2 == 0 ? ">226 line " : "<RETR line ") + std::to_string(line) + "\r\n";
    }
    test::WriteFileBytes(world.folder.path("20230101000000.txt"), text);
    world.page->show();
    auto* selector = world.Find<QComboBox>("logSelector");
    QCOMPARE(selector->count(), 4);
    selector->setFocus();
    QTest::keyClick(selector, Qt::Key_End);
    QCOMPARE(world.page->model().rowCount(), kLines + 2);
    QCOMPARE(world.Row(kLines + 1), QStringLiteral("<RETR line 999999"));
    QCOMPARE(PaintedColour(*world.page, kLines + 1), QColor(196, 196, 248));
    QCOMPARE(PaintedColour(*world.page, kLines), QColor(196, 248, 196));

    // Keys and the mouse reach the right rows anywhere in it: Ctrl+End, Page Up, then a
    // click and a Shift+click three rows further down select exactly those four lines.
    LogListView& list = world.page->list();
    world.page->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(world.page.get()));
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(list.currentIndex().row(), kLines + 1);
    QTest::keyClick(&list, Qt::Key_PageUp);
    const int shown = list.verticalScrollBar()->pageStep();
    QVERIFY(shown > 3);
    QCOMPARE(list.currentIndex().row(), kLines + 1 - shown);
    list.scrollTo(world.page->model().index(500000), QAbstractItemView::PositionAtTop);
    const QRect first = list.visualRect(world.page->model().index(500001));
    QCOMPARE(list.indexAt(first.center()).row(), 500001);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, first.center());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::ShiftModifier,
                      first.center() + QPoint(0, 3 * first.height()));
    QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("<RETR line 499999\r\n>226 line 500000\r\n<RETR line 500001\r\n"
                            ">226 line 500002\r\n"));
}

}  // namespace qvex

QTEST_MAIN(qvex::LogPageTest)
#include "log_page_test.moc"
