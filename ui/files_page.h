#pragma once

#include <QWidget>

#include <memory>

class QHBoxLayout;
class QLabel;
class QToolBar;
class QToolButton;

namespace qvex {

class ListingCache;
class RemotePane;
class RemoteTypeSource;
class Settings;
class SharedHeap;
struct SessionWorker;

// What the Files page says of the session.
inline constexpr const char* kFilesNoSessionText = "Not connected";
inline constexpr const char* kFilesSessionText = "Connected To: ";

// The Files page: a toolbar, the remote pane on the left, the "<" button, and the local pane
// on the right (a placeholder until SetLocalPane), with a line naming the session below.
class FilesPage : public QWidget {
    Q_OBJECT

  public:
    FilesPage(Settings& settings, SharedHeap& heap, int iconSize, QWidget* parent = nullptr);
    ~FilesPage() override;

    // The cache the session fills; remote types are looked up per extension while
    // "LocalIcons" is on.
    void SetCache(ListingCache& cache);
    // The running session, or null when it has ended.
    void SetSession(std::shared_ptr<SessionWorker> session);
    // "Connected To: " and the server, or, with an empty text, that no session runs.
    void ShowSession(const QString& connectedTo);
    // Puts the local pane in place of its placeholder; the page owns it.
    void SetLocalPane(QWidget* pane);
    // Ends the page's threads (at exit).
    void Stop();
    // "LocalIcons" changed: listings read from now on follow it.
    void ApplyLocalIcons();

    RemotePane* remotePane() const { return remote_; }
    QToolBar* toolBar() const { return toolBar_; }
    QToolButton* copyLeftButton() const { return copyLeft_; }
    QString sessionText() const;

  private:
    Settings& settings_;
    std::unique_ptr<RemoteTypeSource> types_;
    QToolBar* toolBar_ = nullptr;
    RemotePane* remote_ = nullptr;
    QToolButton* copyLeft_ = nullptr;
    QHBoxLayout* panes_ = nullptr;
    QWidget* local_ = nullptr;
    QLabel* session_ = nullptr;
};

}  // namespace qvex
