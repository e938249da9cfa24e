#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class QAction;
class QLabel;
class QSplitter;
class QToolBar;
class QToolButton;

namespace qvex {

class FilesObserver;
class FilesTransfers;
class ListingCache;
class LocalPane;
class RemotePane;
class RemoteTypeSource;
class SearchReceivers;
class Settings;
class SharedHeap;
struct SessionWorker;

// What the Files page says of the session.
inline constexpr const char* kFilesNoSessionText = "Not connected";
inline constexpr const char* kFilesSessionText = "Connected To: ";
inline constexpr const char* kCopyLeftTip = "Upload the selected LOCAL files and folders";

// The Files page: a toolbar, the remote pane on the left, the "<" button, and the local pane
// on the right (a placeholder until SetLocalPane), with a line naming the session below.
// Remote entries dragged onto the local pane, or picked with "Get file(s) as", are
// downloaded; local files dropped on the remote pane, or sent with "<", are uploaded.
class FilesPage : public QWidget {
    Q_OBJECT

  public:
    FilesPage(Settings& settings, SharedHeap& heap, int iconSize, QWidget* parent = nullptr);
    ~FilesPage() override;

    // The cache the session fills, and the receivers of its site searches; remote types
    // are looked up per extension while "LocalIcons" is on.
    void SetCache(ListingCache& cache, SearchReceivers& receivers);
    // The running session, or null when it has ended (an open site search closes).
    void SetSession(std::shared_ptr<SessionWorker> session);
    // "Connected To: " and the server, or, with an empty text, that no session runs.
    void ShowSession(const QString& connectedTo);
    // Puts the local pane in place of its placeholder; the page owns it.
    void SetLocalPane(LocalPane* pane);
    // Ends the page's threads (at exit).
    void Stop();
    // "LocalIcons" changed: listings read from now on follow it.
    void ApplyLocalIcons();

    RemotePane* remotePane() const { return remote_; }
    LocalPane* localPane() const { return localPane_; }
    FilesTransfers* transfers() const { return transfers_; }
    QToolBar* toolBar() const { return toolBar_; }
    QToolButton* copyLeftButton() const { return copyLeft_; }
    QAction* searchAction() const { return search_; }
    QString sessionText() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void UpdateActions();
    void Upload();
    void GetFilesAs(int mode);
    void ShowProperties(int32_t id, const std::vector<int32_t>& positions);
    void Chmod(int32_t id, const std::vector<int32_t>& positions, uint32_t mode,
               uint32_t decided);
    void OpenSearch();
    // A drag over or a drop on one of the lists; true when the page took the event.
    bool DragOverLocal(QEvent* event);
    bool DragOverRemote(QEvent* event);

    Settings& settings_;
    std::unique_ptr<RemoteTypeSource> types_;
    std::unique_ptr<FilesObserver> observer_;
    ListingCache* cache_ = nullptr;
    SearchReceivers* receivers_ = nullptr;
    std::shared_ptr<SessionWorker> session_;
    FilesTransfers* transfers_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* search_ = nullptr;
    RemotePane* remote_ = nullptr;
    QToolButton* copyLeft_ = nullptr;
    QSplitter* panes_ = nullptr;
    QWidget* local_ = nullptr;
    LocalPane* localPane_ = nullptr;
    QLabel* sessionLine_ = nullptr;
};

}  // namespace qvex
