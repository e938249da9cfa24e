#include "ui/host_toolbar.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QStandardPaths>

#include <optional>
#include <string>
#include <string_view>

#include "log/log_sink.h"
#include "state/hosts/host_list.h"
#include "state/restart_database.h"
#include "state/settings.h"
#include "state/startup/shortcut_file.h"
#include "state/url_grammar.h"
#include "ui/import_export_tool.h"
#include "ui/qt_text.h"
#include "ui/restart_tool.h"
#include "ui/statistics_tool.h"

namespace qvex {
namespace {

// A name in the desktop folder for the host's shortcut: "<host>.qvex", or "<host> (2).qvex",
// "<host> (3).qvex" ... when that is taken. A dangling link counts as taken, as writing
// through it would create a file elsewhere.
QString FreeShortcutPath(const QString& folder, const QString& host) {
    const QDir desktop(folder);
    QString path = desktop.filePath(host + ".qvex");
    for (int n = 2; QFileInfo(path).exists() || QFileInfo(path).isSymLink(); ++n) {
        path = desktop.filePath(QString("%1 (%2).qvex").arg(host).arg(n));
    }
    return path;
}

}  // namespace

HostToolbar::HostToolbar(Settings& settings, HostList& hosts, StatisticsDatabase* statistics,
                         RestartDatabase* restart, QWidget* parent)
    : QToolBar(parent),
      settings_(settings),
      hosts_(hosts),
      statistics_(statistics),
      restart_(restart) {
    setObjectName("hostToolbar");
    setWindowTitle("Host list");
    setAccessibleName("Host list commands");
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setMovable(false);

    shortcut_ = AddCommand("createShortcut", "Create &Shortcut", kCreateShortcutTip, "insert-link",
                           QStyle::SP_FileLinkIcon);
    clone_ =
        AddCommand("cloneHost", "C&lone Entry", kCloneHostTip, "edit-copy", QStyle::SP_FileIcon);
    remove_ = AddCommand("removeHost", "&Remove Entry", kRemoveHostTip, "edit-delete",
                         QStyle::SP_TrashIcon);
    addSeparator();
    importExport_ = AddCommand("importExportTool", "&Import/Export...", kImportExportTip,
                               "mail-send-receive", QStyle::SP_DialogSaveButton);
    statisticsTool_ = AddCommand("statisticsTool", "S&tatistics...", kStatisticsToolTip,
                                 "x-office-spreadsheet", QStyle::SP_FileDialogDetailedView);
    restartTool_ = AddCommand("restartTool", "Restart &Sessions...", kRestartToolTip,
                              "media-playlist-repeat", QStyle::SP_BrowserReload);
    addSeparator();
    sortAlphabetic_ = AddCommand("sortAlphabetic", "Sort &Alphabetically", kSortAlphabeticTip,
                                 "view-sort-ascending", QStyle::SP_ArrowUp);
    sortMostRecent_ =
        AddCommand("sortMostRecent", "Sort by &Most Recently Used", kSortMostRecentTip,
                   "document-open-recent", QStyle::SP_FileDialogContentsView);
    sortAlphabetic_->setCheckable(true);
    sortMostRecent_->setCheckable(true);

    connect(shortcut_, &QAction::triggered, this, &HostToolbar::CreateShortcut);
    connect(clone_, &QAction::triggered, this, &HostToolbar::CloneHost);
    connect(remove_, &QAction::triggered, this, &HostToolbar::RemoveHost);
    connect(importExport_, &QAction::triggered, this, &HostToolbar::OpenImportExportTool);
    connect(statisticsTool_, &QAction::triggered, this, &HostToolbar::OpenStatisticsTool);
    connect(restartTool_, &QAction::triggered, this, &HostToolbar::OpenRestartTool);
    connect(sortAlphabetic_, &QAction::triggered, this, [this] { Sort(kHostViewAlphabetic); });
    connect(sortMostRecent_, &QAction::triggered, this, [this] { Sort(kHostViewMostRecent); });

    ShowSortState();
    ShowEnabledState();
}

QAction* HostToolbar::AddCommand(const char* name, const QString& text, const char* toolTip,
                                 const char* iconName, QStyle::StandardPixmap fallbackIcon) {
    const QIcon icon = QIcon::fromTheme(iconName, style()->standardIcon(fallbackIcon));
    QAction* action = addAction(icon, text);
    action->setObjectName(name);
    action->setToolTip(toolTip);
    action->setStatusTip(toolTip);
    return action;
}

void HostToolbar::SetSelectedHost(const QString& url) {
    selected_ = url;
    ShowEnabledState();
}

void HostToolbar::SetSessionRunning(bool running) {
    sessionRunning_ = running;
}

void HostToolbar::ShowEnabledState() {
    const bool entry = !selected_.isEmpty() && hosts_.Contains(selected_.toStdString());
    for (QAction* action : {shortcut_, clone_, remove_}) {
        action->setEnabled(entry);
    }
    statisticsTool_->setEnabled(statistics_ != nullptr);
    restartTool_->setEnabled(restart_ != nullptr);
}

// The toggles show the view: neither pressed is the chronological view. Their tips end with
// the view's name.
void HostToolbar::ShowSortState() {
    const int view = settings_.GetInt("HostUrlView");
    const QString state = " " + Text(HostViewTip(view));
    sortAlphabetic_->setChecked(view == kHostViewAlphabetic);
    sortMostRecent_->setChecked(view == kHostViewMostRecent);
    sortAlphabetic_->setToolTip(kSortAlphabeticTip + state);
    sortMostRecent_->setToolTip(kSortMostRecentTip + state);
}

void HostToolbar::Sort(int pressed) {
    const int view = ToggleHostView(settings_.GetInt("HostUrlView"), pressed);
    settings_.SetInt("HostUrlView", view);
    settings_.SaveSettings();
    hosts_.SortHostList(view);
    ShowSortState();
    emit hostListChanged(Text(hosts_.selected()));
}

// The shortcut is a plain text file: a password in the entry's URL stays out of it, as it
// does from every text the host list writes.
void HostToolbar::CreateShortcut() {
    const std::string url = selected_.toStdString();
    const std::optional<std::string_view> host = FindUrlHost(url);
    if (!host) {
        logRaw("*** malformed URL");
        return;
    }
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    // The desktop folder is where the user asked for the shortcut: make it when missing.
    if (desktop.isEmpty() || !QDir().mkpath(desktop) ||
        !WriteShortcutFile(FreeShortcutPath(desktop, Text(*host)).toStdString(),
                           ShortcutData{UrlWithoutPassword(url), {}, 0, false})) {
        logRaw(kShortcutFailedText);
    }
}

// The clone is a whole copy of the entry (credentials and per-host options) under the first
// free name, selected at once so that it can be edited and connected to.
void HostToolbar::CloneHost() {
    const std::optional<HostEntry> entry = hosts_.Find(selected_.toStdString());
    if (!entry) {
        return;
    }
    const std::string name = hosts_.NewEntryName(entry->url);
    (void)hosts_.SaveHostEntry(name, entry->user, entry->password, entry->perHostWord);
    hosts_.Select(name);
    emit hostListChanged(Text(name));
}

// With Ctrl held, the host's statistics go with the entry.
void HostToolbar::RemoveHost() {
    const bool withStatistics = QGuiApplication::keyboardModifiers().testFlag(Qt::ControlModifier);
    if (!hosts_.Contains(selected_.toStdString())) {
        return;
    }
    const std::optional<std::string> next =
        hosts_.RemoveHostEntry(selected_.toStdString(), withStatistics);
    emit hostListChanged(Text(next.value_or(std::string())));
    if (withStatistics && statistics_ != nullptr) {
        emit statisticsChanged();
    }
}

void HostToolbar::OpenImportExportTool() {
    auto* tool = new ImportExportTool(hosts_, this);
    tool->setAttribute(Qt::WA_DeleteOnClose);
    connect(tool, &ImportExportTool::hostsImported, this,
            [this] { emit hostListChanged(Text(hosts_.selected())); });
    tool->open();
}

void HostToolbar::OpenStatisticsTool() {
    if (statistics_ == nullptr) {
        return;
    }
    auto* tool = new StatisticsTool(*statistics_, this);
    tool->setAttribute(Qt::WA_DeleteOnClose);
    connect(tool, &StatisticsTool::recordDeleted, this, &HostToolbar::statisticsChanged);
    tool->open();
}

void HostToolbar::OpenRestartTool() {
    if (restart_ == nullptr) {
        return;
    }
    auto* tool = new RestartToolDialog(*restart_, settings_, sessionRunning_, this);
    tool->setAttribute(Qt::WA_DeleteOnClose);
    connect(tool, &RestartToolDialog::committed, this, [this](bool resume, bool hideResume) {
        if (resume) {
            emit restartRequested();
        } else if (hideResume) {
            emit restartCleared();
        }
    });
    tool->open();
}

}  // namespace qvex
