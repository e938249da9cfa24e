#include "ui/help_page.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "log/log_files.h"
#include "state/startup/program.h"
#include "state/version.h"

namespace qvex {
namespace {

QLabel* SelectableLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QString VersionText() {
    return QStringLiteral("Version %1 (%2.%3.%4.%5)")
        .arg(QString::fromUtf8(kFileVersion))
        .arg(kAppVersion >> 24)
        .arg(kAppVersion >> 16 & 0xFFu)
        .arg(kAppVersion >> 8 & 0xFFu)
        .arg(kAppVersion & 0xFFu);
}

}  // namespace

QString CommandLineHelpHtml() {
    return QStringLiteral(
        "<h3>The command line</h3>"
        "<p>Only \"-\" begins an option; option letters are case-insensitive.</p>"
        "<table width='100%' cellspacing='0' cellpadding='4' border='1' "
        "style='border-collapse: collapse; border-color: #c8c8c8; border-style: solid'>"
        "<tr bgcolor='#ececec'><th align='left' width='34%'>form</th>"
        "<th align='left'>what it does</th></tr>"
        "<tr><td><tt>Qvex3 -u URL</tt></td><td>connects, lists the URL's folder, logs off</td></tr>"
        "<tr><td><tt>Qvex3 -u URL file...</tt></td><td>uploads the files into the URL's "
        "folder</td></tr>"
        "<tr><td><tt>Qvex3 -f URL [-d folder]</tt></td><td>downloads the file the URL names, or "
        "the whole folder, into the folder (made when missing; the current folder without "
        "<tt>-d</tt>)</td></tr>"
        "<tr><td><tt>Qvex3 -f 'URL;type=d' -d folder</tt></td><td>writes the listing of the "
        "URL's folder to <tt>&lt;folder&gt;/&lt;host&gt;.txt</tt></td></tr>"
        "<tr><td><tt>Qvex3 -g -u URL</tt> / <tt>Qvex3 -p -u URL file...</tt></td><td>download "
        "only / upload only (the restart file is not used)</td></tr>"
        "<tr><td><tt>-xa</tt>, <tt>-xi</tt>, <tt>-xx</tt></td><td>text, image (binary) or "
        "\"Smart\" transfers</td></tr>"
        "<tr><td><tt>-v</tt></td><td>Update-ONLY: skip files whose copy at the destination is "
        "not older</td></tr>"
        "<tr><td><tt>-d folder</tt></td><td>local folder; upload names are relative to "
        "it</td></tr>"
        "<tr><td><tt>-@ fd</tt></td><td>the file list is in an inherited memory section, "
        "descriptor in hexadecimal</td></tr>"
        "<tr><td><tt>-o file.qvex</tt></td><td>takes URL, folder, mode and Update-ONLY from a "
        "shortcut file</td></tr>"
        "<tr><td><tt>-5c names...</tt> / <tt>-6c sumsfile</tt></td><td>computes / verifies hash "
        "sums; c is the algorithm: <tt>m</tt> MD5, <tt>s</tt> SHA-1, <tt>S</tt> SHA-224, "
        "<tt>2</tt> SHA-256, <tt>3</tt> SHA-384, <tt>5</tt> SHA-512, <tt>w</tt> "
        "Whirlpool</td></tr>"
        "<tr><td><tt>-z</tt></td><td>quiet: no window, and log lines go to the log file "
        "only</td></tr>"
        "</table>"
        "<h3>Exit status</h3>"
        "<p>A run with a connection ends with the sum of these bits:</p>"
        "<table width='100%' cellspacing='0' cellpadding='4' border='1' "
        "style='border-collapse: collapse; border-color: #c8c8c8; border-style: solid'>"
        "<tr bgcolor='#ececec'><th align='right' width='8%'>bit</th>"
        "<th align='left'>meaning</th></tr>"
        "<tr><td align='right'>1</td><td>a download succeeded</td></tr>"
        "<tr><td align='right'>2</td><td>an upload succeeded</td></tr>"
        "<tr><td align='right'>4</td><td>a download was skipped by Update-ONLY</td></tr>"
        "<tr><td align='right'>8</td><td>an upload was skipped by Update-ONLY</td></tr>"
        "<tr><td align='right'>16</td><td>a download failed (also one that brought fewer bytes "
        "than listed, or a listing file not written)</td></tr>"
        "<tr><td align='right'>32</td><td>an upload failed (also a bad <tt>-@</tt> list)</td></tr>"
        "<tr><td align='right'>64</td><td>the login was refused</td></tr>"
        "<tr><td align='right'>128</td><td>no connection: the server could not be reached, "
        "never greeted or broke the protocol before the login, or the URL was malformed</td></tr>"
        "</table>"
        "<p>0 means connected and nothing went wrong (also a connect-only run, or nothing to "
        "do). A hash-sum run ends with 0 when every file was hashed (and matched), else the sum "
        "of: 1 a file could not be read, 2 a digest did not match, 4 nothing to hash (or no "
        "sums in the sums file), 8 the job could not start. 255: the program could not start "
        "at all.</p>");
}

HelpPage::HelpPage(const ProgramState& state, const SessionLogFiles& logFiles, QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("helpPage"));
    const QString dataFolder = QString::fromStdString(state.dataFolder);
    const QString logPath = QString::fromStdString(logFiles.currentPath());
    logFolder_ = logPath.isEmpty() ? dataFolder : QFileInfo(logPath).absolutePath();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(10);

    auto* title = new QLabel(QString::fromUtf8(kProgramTitle), this);
    title->setObjectName(QStringLiteral("helpTitle"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.8);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* version = new QLabel(VersionText(), this);
    version->setObjectName(QStringLiteral("helpVersion"));
    auto* heading = new QVBoxLayout;
    heading->setSpacing(2);
    heading->addWidget(title);
    heading->addWidget(version);
    heading->addWidget(new QLabel(
        QStringLiteral("A desktop FTP client: hosts, transfers, a colour-coded session log, "
                       "hash sums, site search, ping and traceroute."),
        this));
    layout->addLayout(heading);

    auto* places = new QGroupBox(QStringLiteral("Where things are kept"), this);
    auto* placesLayout = new QFormLayout(places);
    placesLayout->setLabelAlignment(Qt::AlignRight);
    auto* settingsPath = SelectableLabel(QString::fromStdString(state.registry.path()), places);
    settingsPath->setObjectName(QStringLiteral("helpSettingsPath"));
    auto* dataPath =
        SelectableLabel(dataFolder.isEmpty() ? QStringLiteral("(none)") : dataFolder, places);
    dataPath->setObjectName(QStringLiteral("helpDataPath"));
    auto* currentLog = SelectableLabel(
        logPath.isEmpty() ? QStringLiteral("kept in memory only, lost at exit") : logPath, places);
    currentLog->setObjectName(QStringLiteral("helpLogPath"));
    auto* open = new QPushButton(QStringLiteral("&Open the log folder"), places);
    open->setObjectName(QStringLiteral("helpOpenLogFolder"));
    open->setToolTip(QStringLiteral("Show the folder of the session logs in the file manager"));
    open->setIcon(QIcon::fromTheme(QStringLiteral("folder-open")));
    open->setEnabled(!logFolder_.isEmpty());
    connect(open, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(logFolder_)); });
    auto* logRow = new QHBoxLayout;
    logRow->addWidget(currentLog, 1);
    logRow->addWidget(open);
    placesLayout->addRow(QStringLiteral("Settings:"), settingsPath);
    placesLayout->addRow(QStringLiteral("Data and logs:"), dataPath);
    placesLayout->addRow(QStringLiteral("Current log:"), logRow);
    layout->addWidget(places);

    auto* commandLine = new QTextBrowser(this);
    commandLine->setObjectName(QStringLiteral("helpCommandLine"));
    commandLine->setAccessibleName(QStringLiteral("Command line and exit statuses"));
    commandLine->setOpenLinks(false);
    commandLine->setHtml(CommandLineHelpHtml());
    layout->addWidget(commandLine, 1);
}

}  // namespace qvex
