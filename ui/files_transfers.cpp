#include "ui/files_transfers.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QTemporaryFile>

#include <utility>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "state/settings.h"
#include "ui/qt_text.h"
#include "ui/transfer_actions.h"
#include "ui/transfer_drag_data.h"

namespace qvex {
namespace {

constexpr const char* kNoSessionProblem =
    "Not connected: there is no FTP session to transfer with.";
constexpr const char* kOwnTreeProblem =
    "A folder cannot be dropped onto itself or into its own "
    "subtree:\n";
constexpr const char* kEntriesGoneProblem =
    "The dragged entries are no longer in the remote listing.";

// Why downloads cannot fill the folder; empty when they can. Writing is tried rather than
// judged from the mode bits, which an administrator's account and read-only mounts defy.
QString DownloadFolderProblem(const std::string& folder) {
    const QString path = Text(folder);
    if (folder.empty() || !QFileInfo(path).isDir()) {
        return "This is not a local folder:\n" + path;
    }
    QTemporaryFile probe(QDir(path).filePath(".qvex-drop-XXXXXX"));
    if (!probe.open()) {
        return "Files cannot be stored in this folder:\n" + path;
    }
    return {};
}

// `path` is `folder` or lies below it.
bool WithinLocalTree(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder.endsWith('/') ? folder : folder + '/');
}

std::string RemoteChildPath(const std::string& parent, const std::string& name) {
    return !parent.empty() && parent.back() == '/' ? parent + name : parent + "/" + name;
}

bool WithinRemoteTree(const std::string& path, const std::string& folder) {
    return path == folder || path.rfind(RemoteChildPath(folder, ""), 0) == 0;
}

}  // namespace

FilesTransfers::FilesTransfers(Settings& settings, ListingCache& cache, QWidget* window,
                               QObject* parent)
    : QObject(parent),
      settings_(settings),
      cache_(cache),
      window_(window),
      actions_(new TransferActions(settings, this)) {}

FilesTransfers::~FilesTransfers() = default;

void FilesTransfers::SetSession(const std::shared_ptr<SessionWorker>& session) {
    session_ = session;
    actions_->SetSession(session);
}

DownloadComposition FilesTransfers::Download(const DownloadRequest& request) {
    const std::shared_ptr<SessionWorker> session = session_.lock();
    if (!session || request.positions.empty()) {
        return {};
    }
    std::string folder = request.folder;
    if (folder.empty()) {
        QString start = Text(settings_.GetString("LastXDir"));
        std::optional<std::string> chosen =
            ChooseDownloadFolder(window_, runner_, start.isEmpty() ? QDir::homePath() : start);
        if (!chosen) {
            return {};
        }
        folder = std::move(*chosen);
    }
    if (const QString problem = DownloadFolderProblem(folder); !problem.isEmpty()) {
        (void)RefuseFolder(problem);
        return {};
    }
    return Compose(*session, request, folder);
}

DownloadComposition FilesTransfers::Compose(SessionWorker& session, const DownloadRequest& request,
                                            const std::string& folder) {
    TransferModeModel toggles = actions_->toggles();
    if (request.mode) {
        toggles.SetMode(*request.mode);
    }
    DownloadSelection selection;
    selection.origin = DownloadOrigin::RemoteView;
    selection.directoryId = request.directoryId;
    selection.positions = request.positions;
    selection.folder = folder;
    return composeDownload(session, cache_, settings_, toggles, selection,
                           OverwriteQuestionBox(window_, runner_));
}

bool FilesTransfers::Upload(const UploadRequest& request) {
    const std::shared_ptr<SessionWorker> session = session_.lock();
    if (!session || request.paths.empty()) {
        return false;
    }
    // Full paths, as a drop hands them over; the folder entry, when given, is listed first.
    const TransferModeModel& toggles = actions_->toggles();
    PostCommand(*session, kCommandPut, request.folderEntry, 0,
                makeTransferFlags(toggles.currentTransferMode(), toggles.updateOnly(), 0),
                request.directoryId, std::make_unique<NameList>(request.paths));
    return true;
}

bool FilesTransfers::CarriesDrop(const QMimeData& data) {
    return data.hasFormat(kRemoteEntriesMimeType) || data.hasUrls() || data.hasText();
}

DropResult FilesTransfers::DropOnLocalPane(const QMimeData& data, const std::string& folder) {
    if (std::optional<RemoteEntriesDrag> drag = DecodeRemoteEntries(data)) {
        const std::shared_ptr<SessionWorker> session = session_.lock();
        if (!session) {
            return Refuse(kNoSessionProblem);
        }
        // A listing read again since the drag began may have moved the entries: their names
        // say which are meant.
        DownloadRequest request;
        request.directoryId = drag->directoryId;
        for (size_t i = 0; i < drag->positions.size(); ++i) {
            int32_t position =
                cache_.Relocate(drag->directoryId, drag->positions[i], drag->names[i]);
            if (position >= 0) {
                request.positions.push_back(position);
            }
        }
        if (request.positions.empty()) {
            return Refuse(kEntriesGoneProblem);
        }
        if (const QString problem = DownloadFolderProblem(folder); !problem.isEmpty()) {
            return RefuseFolder(problem);
        }
        DownloadComposition composed = Compose(*session, request, folder);
        DropResult result;
        result.outcome = composed.queued ? DropOutcome::Queued : DropOutcome::Declined;
        result.deselected = std::move(composed.deselected);
        return result;
    }
    LocalDrop local = DecodeLocalPaths(data);
    if (!local.problem.isEmpty()) {
        return Refuse(local.problem);
    }
    // Local files onto the local pane are no transfer; only a folder into itself is wrong
    // whatever is made of it.
    const QString target = QFileInfo(Text(folder)).canonicalFilePath();
    for (const std::string& path : local.paths) {
        const QFileInfo dropped(Text(path));
        if (dropped.isDir() && !target.isEmpty() &&
            WithinLocalTree(target, dropped.canonicalFilePath())) {
            return Refuse(kOwnTreeProblem + Text(path));
        }
    }
    return {};
}

DropResult FilesTransfers::DropOnRemotePane(const QMimeData& data, int32_t directoryId,
                                            int32_t position) {
    std::optional<RemoteEntry> onto =
        position >= 0 ? cache_.Entry(directoryId, position) : std::nullopt;
    if (onto && !isDirectory(*onto) && !isSymLink(*onto)) {
        onto.reset();  // a file entry: the drop is onto the view
    }
    if (std::optional<RemoteEntriesDrag> drag = DecodeRemoteEntries(data)) {
        // Remote entries within the remote pane are no transfer; a folder onto itself or
        // into its own subtree is said to be wrong.
        const std::string viewed = cache_.PathOf(directoryId).value_or("");
        const std::string target = onto ? RemoteChildPath(viewed, onto->name) : viewed;
        const std::string source = cache_.PathOf(drag->directoryId).value_or("");
        for (size_t i = 0; i < drag->positions.size(); ++i) {
            std::optional<RemoteEntry> entry = cache_.Entry(
                drag->directoryId,
                cache_.Relocate(drag->directoryId, drag->positions[i], drag->names[i]));
            if (entry && (isDirectory(*entry) || isSymLink(*entry)) && !target.empty() &&
                WithinRemoteTree(target, RemoteChildPath(source, entry->name))) {
                return Refuse(kOwnTreeProblem + Text(entry->name));
            }
        }
        return {};
    }
    LocalDrop local = DecodeLocalPaths(data);
    if (!local.problem.isEmpty()) {
        return Refuse(local.problem);
    }
    UploadRequest request;
    request.directoryId = directoryId;
    request.paths = std::move(local.paths);
    request.folderEntry = onto ? onto->name : std::string();
    if (!Upload(request)) {
        return Refuse(kNoSessionProblem);
    }
    DropResult result;
    result.outcome = DropOutcome::Queued;
    return result;
}

DropResult FilesTransfers::RefuseFolder(const QString& problem) {
    logRaw(kInvalidDropFolderLine);
    return Refuse(problem, kGetFilesTitle);
}

DropResult FilesTransfers::Refuse(const QString& problem, const char* title) {
    ShowTransferProblem(window_, runner_, title, problem);
    DropResult result;
    result.outcome = DropOutcome::Refused;
    result.problem = problem;
    return result;
}

}  // namespace qvex
