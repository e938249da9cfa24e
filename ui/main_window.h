#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QStyle>

#include <cstdint>
#include <string>
#include <string_view>

#include "state/shared_heap.h"
#include "ui/bus_subscriber.h"
#include "util/posix_regex.h"

class QLabel;
class QProgressBar;
class QSystemTrayIcon;
class QTabWidget;

namespace qvex {

class FilesPage;
class HostPage;
class OptionsPage;
class Settings;

// Tab tooltips of the five pages.
inline constexpr const char* kHostTip =
    "Connect to FTP servers (or \"PING\" them) anywhere on the Internet!";
inline constexpr const char* kFilesTip =
    "Views of remote AND local system; drag and drop between them!";
inline constexpr const char* kOptionsTip = "Control your FTP sessions here!";
inline constexpr const char* kLogTip =
    "A persistent record of your FTP session's commands and responses";
inline constexpr const char* kHelpTip = "Legal stuff, contact info and HELP!";

// The title while the program shuts down.
inline constexpr const char* kExitingText = "Exiting...";

// The window title for a title or progress text: the program title alone when it is empty.
[[nodiscard]] QString WindowTitleFor(std::string_view text);

// A progress record's display template filled with its value: "%d" becomes the value and
// "%%" a percent sign; any other "%" stays as it is, so a template from the bus never
// reaches a formatting function.
[[nodiscard]] std::string FillProgressTemplate(std::string_view templ, int value);

// Pages whose toolbars follow "LargeIcons" (two bits each: 0 Never, 1 Always, 2 Auto).
enum class ToolbarPage {
    Host = 0,
    Files = 1,
};
// The toolbar icon size of a page: large for Always, and for Auto on a display of at least
// 144 dots per inch.
[[nodiscard]] int ToolbarIconSize(int32_t largeIcons, ToolbarPage page, double dotsPerInch);

// The main window: a tabbed sheet of five pages, the title and progress that the workers
// publish ("AppTitle", "AppProgress"), and the window behaviours of the options (opacity,
// snapping, tray). A page is one widget added with AddPage.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    MainWindow(Settings& settings, SharedHeap& heap, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Puts `page` in place of the named page's placeholder ("Log", "Help"); the window owns it.
    void SetPage(const char* text, QWidget* page);
    // Puts the Host page in place of its placeholder; its selection is the host whose
    // per-host options the "Advanced" page edits.
    void SetHostPage(HostPage* page);
    // The Files page tells of the session: "Connected To: " and the server, or, with an
    // empty text, that none runs.
    void ShowSessionOnFilesPage(const QString& connectedTo);
    // The host whose per-host options the "Advanced" page edits; "" for none.
    void SetSelectedHost(const std::string& url);
    // The toolbar icon size of a page, fixed at start ("LargeIcons" takes effect at the next
    // start).
    int toolbarIconSize(ToolbarPage page) const;

    QTabWidget* pages() const { return pages_; }
    FilesPage* filesPage() const { return files_; }
    OptionsPage* optionsPage() const { return options_; }
    QString statusText() const;
    // The padlock beside the status text: shown while the session runs TLS.
    QLabel* padlock() const { return padlock_; }
    // The progress display: its value and whether it shows.
    QProgressBar* progressBar() const { return progress_; }
    bool exiting() const { return exiting_; }

  protected:
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // An icon of the desktop's theme, or the style's own when the theme has none.
    QIcon Icon(const char* themeName, QStyle::StandardPixmap fallback) const;
    void AddPage(QWidget* page, const char* text, const char* toolTip, const QIcon& icon);
    void StartSubscriber();
    void OnBusMessage(const std::string& topic, const std::string& text);
    void ShowTitle();
    void ApplyOpacity();
    void OnSettingChanged(const QString& name);
    void MinimizeToTray();
    void RestoreFromTray();
    void Exit();

    Settings& settings_;
    SharedHeap& heap_;
    QTabWidget* pages_ = nullptr;
    OptionsPage* options_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* padlock_ = nullptr;
    FilesPage* files_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    int hostIconSize_ = 16;
    int filesIconSize_ = 16;

    // Title and progress: the subscriber thread receives, the window thread shows.
    BusSubscriber titles_{heap_};
    PosixRegex progressPattern_;
    std::string titleText_;
    std::string progressText_;
    bool exiting_ = false;
    QPoint lastSnap_{-1, -1};
};

}  // namespace qvex
