#pragma once

#include <QString>
#include <QStyle>
#include <QToolBar>

class QAction;

namespace qvex {

class HostList;
class RestartDatabase;
class Settings;
class StatisticsDatabase;

// Tooltips of the host toolbar's commands.
inline constexpr const char* kCreateShortcutTip = "Create Qvex Shortcut to selected host entry";
inline constexpr const char* kCloneHostTip = "Clone (duplicate) selected host entry";
inline constexpr const char* kRemoveHostTip = "Remove selected host entry";
inline constexpr const char* kImportExportTip = "Host Import/Export tool";
inline constexpr const char* kStatisticsToolTip = "Host Statistics display tool";
inline constexpr const char* kRestartToolTip = "Restart session management tool";
inline constexpr const char* kSortAlphabeticTip = "Sort host list Alphabetically";
inline constexpr const char* kSortMostRecentTip = "Sort host list with Most Recently Used first";

inline constexpr const char* kShortcutFailedText = "*** Unable to create Qvex Shortcut object!";

// The Host page's toolbar: a shortcut file for the selected entry, clone, remove, the three
// host tools and the two sort toggles. It changes the host list itself and tells the page,
// which shows the list, what to show next. The page sets its icon size ("LargeIcons").
class HostToolbar final : public QToolBar {
    Q_OBJECT

  public:
    // `statistics` and `restart` may be null: their tools are then unavailable.
    HostToolbar(Settings& settings, HostList& hosts, StatisticsDatabase* statistics,
                RestartDatabase* restart, QWidget* parent = nullptr);

    // The entry shown in the host field ("" for none); the commands that act on an entry
    // are available only while it is one of the list.
    void SetSelectedHost(const QString& url);
    // While a session runs, the restart tool does not list its slot and cannot switch slots.
    void SetSessionRunning(bool running);

  signals:
    // The list changed (clone, remove, import, sort): reload it and select `selectUrl`
    // ("" for none).
    void hostListChanged(const QString& selectUrl);
    // The restart tool chose an interrupted transfer and made its slot current: do what the
    // resume button does (select its host, set "Restart", connect as a resumption).
    void restartRequested();
    // The restart tool left nothing to resume: hide the resume button.
    void restartCleared();
    // A host's statistics record was deleted: refresh the statistics panel.
    void statisticsChanged();

  private:
    QAction* AddCommand(const char* name, const QString& text, const char* toolTip,
                        const char* iconName, QStyle::StandardPixmap fallbackIcon);
    void ShowEnabledState();
    void ShowSortState();
    void CreateShortcut();
    void CloneHost();
    void RemoveHost();
    void OpenImportExportTool();
    void OpenStatisticsTool();
    void OpenRestartTool();
    void Sort(int pressed);

    Settings& settings_;
    HostList& hosts_;
    StatisticsDatabase* statistics_;
    RestartDatabase* restart_;
    QString selected_;
    bool sessionRunning_ = false;
    QAction* shortcut_ = nullptr;
    QAction* clone_ = nullptr;
    QAction* remove_ = nullptr;
    QAction* importExport_ = nullptr;
    QAction* statisticsTool_ = nullptr;
    QAction* restartTool_ = nullptr;
    QAction* sortAlphabetic_ = nullptr;
    QAction* sortMostRecent_ = nullptr;
};

}  // namespace qvex
