#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/listing_cache.h"
#include "transfer/transfer_queue.h"
#include "transfer/transfer_type.h"
#include "ui/transfer_dialogs.h"

class QMimeData;
class QWidget;

namespace qvex {

class Settings;
class TransferActions;
struct SessionWorker;

inline constexpr const char* kInvalidDropFolderLine = "@@@ Invalid drop folder";
// The title of the box that tells why a drop was refused.
inline constexpr const char* kDropTitle = "Drop";

// A download of entries of the remote view.
struct DownloadRequest {
    // The viewed directory and the selected entries' positions in it.
    int32_t directoryId = kNoDirectory;
    std::vector<int32_t> positions;
    // The local folder (a drop target); empty: the user picks one in the folder browser.
    std::string folder;
    // The mode of a "Get file(s) as" entry; none: the toolbar's.
    std::optional<TransferType> mode;
};

// An upload of local files and folders into the remote view.
struct UploadRequest {
    // The viewed remote directory.
    int32_t directoryId = kNoDirectory;
    // Full local paths.
    std::vector<std::string> paths;
    // The name of a folder entry of that directory to upload into; empty: the directory.
    std::string folderEntry;
};

// What became of a drop.
enum class DropOutcome {
    Queued,    // a transfer was queued
    Declined,  // the user cancelled, or answered No for everything
    Refused,   // a bad drop: the user was told why, nothing happened
    Ignored,   // not a transfer (for example local files onto the local pane)
};
struct DropResult {
    DropOutcome outcome = DropOutcome::Ignored;
    // Why a drop was refused, as the user was shown it.
    QString problem;
    // Entries answered No: the remote view takes them out of its selection.
    std::vector<int32_t> deselected;
};

// The transfer side of the Files page: the toolbar's transfer actions, and downloads and
// uploads composed from the panes' selections and drops into the running session's queue.
// Window thread only.
class FilesTransfers final : public QObject {
    Q_OBJECT

  public:
    // `window` is the parent of the boxes and the folder browser. Everything given must
    // outlive this.
    FilesTransfers(Settings& settings, ListingCache& cache, QWidget* window,
                   QObject* parent = nullptr);
    ~FilesTransfers() override;

    TransferActions& actions() const { return *actions_; }

    // The running session (after login), or null when it ended. Nothing is queued without one.
    void SetSession(const std::shared_ptr<SessionWorker>& session);

    // Downloads the entries with the toolbar's mode, or the request's own: asks for the
    // folder when none is given (starting at the last one used), refuses an unusable folder
    // ("@@@ Invalid drop folder" and a box), asks before replacing local files.
    [[nodiscard]] DownloadComposition Download(const DownloadRequest& request);
    // Queues the upload with the toolbar's mode and Update-ONLY; false without a session or
    // paths.
    bool Upload(const UploadRequest& request);

    // Whether the panes take a drag's data at all: remote entries, files, or text (which is
    // refused with a reason when dropped).
    [[nodiscard]] static bool CarriesDrop(const QMimeData& data);
    // A drop onto the local pane: remote entries are downloaded into `folder` (the pane's
    // folder, or the folder entry dropped on).
    DropResult DropOnLocalPane(const QMimeData& data, const std::string& folder);
    // A drop onto the remote view of `directoryId`: local files and folders are uploaded,
    // into the entry at `position` when it is a folder (-1: the view itself).
    DropResult DropOnRemotePane(const QMimeData& data, int32_t directoryId, int32_t position);

    // Tests answer the boxes and the folder browser with this instead of showing them.
    void SetModalRunner(ModalRunner runner) { runner_ = std::move(runner); }

  private:
    DownloadComposition Compose(SessionWorker& session, const DownloadRequest& request,
                                const std::string& folder);
    // Tells the user why nothing was transferred; a download's unusable folder is logged too.
    DropResult Refuse(const QString& problem, const char* title = kDropTitle);
    DropResult RefuseFolder(const QString& problem);

    Settings& settings_;
    ListingCache& cache_;
    QWidget* window_;
    TransferActions* actions_;
    std::weak_ptr<SessionWorker> session_;
    ModalRunner runner_;
};

}  // namespace qvex
