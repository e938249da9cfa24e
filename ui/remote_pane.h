#pragma once

#include <QList>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transfer/listing_cache.h"
#include "ui/bus_subscriber.h"

class QAction;
class QComboBox;
class QLabel;
class QModelIndex;
class QTreeView;

namespace qvex {

class RemoteFolderModel;
class RemoteTypeSource;
class Settings;
class SharedHeap;
struct SessionWorker;

// Texts of the remote pane's commands.
inline constexpr const char* kBackTip = "Back (to previous directory)";
inline constexpr const char* kRemoteUpTip = "Up one level (to parent directory)";
inline constexpr const char* kNewRemoteFolderTip = "Create new REMOTE folder";
inline constexpr const char* kSitePrefix = "SITE ";

// The question before a folder tree goes, with the folder's name for "%1".
inline constexpr const char* kDeleteFolderQuestion = "Delete the folder %1 and everything in it?";

// The remote pane of the Files page: the path box, the list of the shown remote folder (a
// model over the listing cache), and a status line with the session's commands, replies
// and local failures as they arrive on the bus. Every change on the server is a command
// queued to the session; the pane shows what the cache then holds.
class RemotePane : public QWidget {
    Q_OBJECT

  public:
    RemotePane(Settings& settings, SharedHeap& heap, QWidget* parent = nullptr);
    ~RemotePane() override;

    // The cache the session fills; the pane watches it from now on.
    void SetCache(ListingCache& cache, RemoteTypeSource& types);
    // The running session, or null when it has ended (the pane then shows nothing, and the
    // cached listings are forgotten).
    void SetSession(std::shared_ptr<SessionWorker> session);
    // Ends the status line's thread (at exit).
    void Stop();

    // The pane's commands, for the page's toolbar.
    QAction* backAction() const { return back_; }
    QAction* upAction() const { return up_; }
    QAction* newFolderAction() const { return newFolder_; }
    QAction* refreshAction() const { return refresh_; }

    RemoteFolderModel* model() const { return model_; }
    QTreeView* view() const { return view_; }
    QComboBox* pathBox() const { return path_; }
    QString statusText() const;
    // Whether the status line shows an icon.
    bool statusIconShown() const;

    // Shows a line in the status area, with its icon ("@@@" failures, "!!!" notes).
    void ShowStatus(const QString& line);

    // Positions of the selected entries of the shown directory, in listing order.
    std::vector<int32_t> SelectedPositions() const;
    // Takes entries out of the selection (answered No before a download).
    void Deselect(const std::vector<int32_t>& positions);
    // Download entries for the context menu, shown first while entries are selected.
    void SetMenuDownloads(QList<QAction*> actions);

  signals:
    // "P&roperties" for the selected entries of directory `id`.
    void propertiesRequested(int32_t id, const QList<int32_t>& positions);

  private:
    void Post(int32_t kind, std::string text, int32_t a, int32_t b, int32_t c,
              std::unique_ptr<CommandPayload> object = nullptr);
    // Lists a folder and shows it once it is ready; `awaitedPath` (absolute) or the entry at
    // (`parent`, `position`) tells the listing apart while it is being read.
    void Navigate(std::string text, int32_t parent, int32_t position, int32_t flags,
                  std::string awaitedPath);
    void OnListingReady(int32_t id, int32_t flags, bool aborted);
    void OnDirectoryFilling(int32_t id);
    // Shows directory `id`, remembering the one shown before for Back.
    void Adopt(int32_t id);
    void Open(const QModelIndex& index);
    void GoBack();
    void GoUp();
    void Refresh();
    void NewFolder();
    void Rename();
    void Delete();
    void Site();
    void Properties();
    void UpdateActions();
    void ShowMenu(const QPoint& at);

    Settings& settings_;
    BusSubscriber status_;
    ListingCache* cache_ = nullptr;
    std::shared_ptr<SessionWorker> session_;
    RemoteFolderModel* model_ = nullptr;
    QComboBox* path_ = nullptr;
    QTreeView* view_ = nullptr;
    QLabel* statusIcon_ = nullptr;
    QLabel* statusLine_ = nullptr;
    QAction* back_ = nullptr;
    QAction* up_ = nullptr;
    QAction* newFolder_ = nullptr;
    QAction* refresh_ = nullptr;
    QAction* open_ = nullptr;
    QAction* rename_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* site_ = nullptr;
    QAction* properties_ = nullptr;
    QAction* rawListing_ = nullptr;
    QList<QAction*> downloads_;

    // The folders shown before, for Back.
    std::vector<int32_t> history_;
    bool goingBack_ = false;
    // The folder asked for and not yet shown.
    bool navigating_ = false;
    std::string awaitedPath_;
    int32_t awaitedParent_ = kNoDirectory;
    int32_t awaitedPosition_ = kNoPosition;
};

}  // namespace qvex
