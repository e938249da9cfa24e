#include "transfer/transfer_queue.h"

#include <memory>
#include <mutex>
#include <utility>

#include "engine/control_connection.h"
#include "engine/session.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "platform/local_file.h"
#include "state/settings.h"
#include "transfer/download.h"
#include "transfer/listing_cache.h"
#include "transfer/remote_entry.h"
#include "transfer/transfer_progress.h"

namespace qvex {
namespace {

// ABOR once per command, and only while data flows: whether this call is the one to send it.
bool claimAbort(SessionWorker& session) {
    return session.transferActive.load() && !session.abortSent.exchange(true);
}

}  // namespace

void abortTransfers(SessionWorker& session) {
    // abortSent is up before abortRequested: a worker that ends its transfer on the request
    // and reads the server's answer to the broken transfer then knows that the answer to ABOR
    // follows, even when this thread has not sent ABOR yet.
    bool aborted = claimAbort(session);
    session.abortRequested = true;
    if (aborted) {
        (void)SendUrgentCommand(session, "ABOR");
    }

    size_t removed = 0;
    {
        std::lock_guard guard(session.queueLock);
        removed = session.queue.size();
        // Each command's payload (position list, name, path list) goes with it.
        session.queue.clear();
        for (size_t count = 0; count < removed; ++count) {
            (void)session.commandSignal.try_acquire();
        }
        session.quitQueued = false;
    }

    // A transfer may have started meanwhile.
    if (claimAbort(session)) {
        (void)SendUrgentCommand(session, "ABOR");
        aborted = true;
    }
    if (!aborted && removed == 0) {
        return;
    }
    publishTitle("");
    if (aborted) {
        logExt(removed != 0 ? "Transfer terminated, queue flushed" : "Transfer terminated");
    } else {
        logExt("Queue flushed");
    }
}

void TransferModeModel::SetMode(TransferType type) {
    forceText_ = type == TransferType::Text;
    forceImage_ = type == TransferType::Image;
}

TransferType TransferModeModel::currentTransferMode() const {
    if (forceText_ != forceImage_) {
        return forceText_ ? TransferType::Text : TransferType::Image;
    }
    return TransferType::Smart;
}

std::string overwriteQuestion(const std::string& localPath, bool isFolder) {
    return localPath + (isFolder ? "\r\nThis directory already exists.\r\n\r\nReplace contained "
                                   "existing files?"
                                 : "\r\nThis file already exists.\r\n\r\nReplace existing file?");
}

DownloadComposition composeDownload(SessionWorker& session, ListingCache& cache, Settings& settings,
                                    const TransferModeModel& toggles,
                                    const DownloadSelection& selection,
                                    const ConfirmOverwrite& confirm) {
    return composeDownloads(session, cache, settings, toggles, {selection}, confirm).front();
}

std::vector<DownloadComposition> composeDownloads(SessionWorker& session, ListingCache& cache,
                                                  Settings& settings,
                                                  const TransferModeModel& toggles,
                                                  const std::vector<DownloadSelection>& selections,
                                                  const ConfirmOverwrite& confirm) {
    std::vector<DownloadComposition> results(selections.size());
    const TransferType mode = toggles.currentTransferMode();
    struct Kept {
        std::vector<int32_t> positions;
        std::vector<std::string> names;
    };
    std::vector<Kept> kept(selections.size());
    for (size_t at = 0; at < selections.size(); ++at) {
        const DownloadSelection& selection = selections[at];
        auto folderStatus = platform::LocalPathStatus(selection.folder);
        if (selection.folder.empty() || !folderStatus || !folderStatus->isFolder) {
            logRaw("@@@ Invalid drop folder");
            return std::vector<DownloadComposition>(selections.size());
        }
        settings.SetInt("LastXMode", static_cast<int32_t>(mode));
        if (settings.GetString("LastXDir") != selection.folder) {
            settings.SetString("LastXDir", selection.folder);
        }

        const char* overwriteSetting =
            selection.origin == DownloadOrigin::RemoteView ? "LocalOverwrite1" : "LocalOverwrite2";
        for (int32_t position : selection.positions) {
            std::optional<RemoteEntry> entry = cache.Entry(selection.directoryId, position);
            if (!entry || entry->name.empty()) {
                continue;
            }
            if (!toggles.updateOnly() && settings.GetInt(overwriteSetting) != 0 && confirm) {
                std::string localPath = joinLocalPath(selection.folder, localNameOf(*entry));
                if (auto existing = platform::LocalPathStatus(localPath)) {
                    switch (
                        confirm(kGetFilesTitle, overwriteQuestion(localPath, existing->isFolder))) {
                        case OverwriteAnswer::Cancel:
                            return std::vector<DownloadComposition>(selections.size());
                        case OverwriteAnswer::No:
                            results[at].deselected.push_back(position);
                            continue;
                        case OverwriteAnswer::Yes:
                            break;
                    }
                }
            }
            kept[at].positions.push_back(position);
            kept[at].names.push_back(entry->name);
        }
    }

    for (size_t at = 0; at < selections.size(); ++at) {
        const DownloadSelection& selection = selections[at];
        if (kept[at].positions.empty()) {
            continue;
        }
        const bool fromResults = selection.origin == DownloadOrigin::SearchResults;
        int32_t flags = makeTransferFlags(mode, toggles.updateOnly(), fromResults ? 2 : 0);
        std::unique_ptr<CommandPayload> payload;
        if (fromResults) {
            payload = std::make_unique<NameList>(std::move(kept[at].names));
        } else {
            auto list = std::make_unique<PositionList>();
            list->positions = std::move(kept[at].positions);
            list->names = std::move(kept[at].names);
            payload = std::move(list);
        }
        PostCommand(session, kCommandGet, selection.folder, 0, flags, selection.directoryId,
                    std::move(payload));
        results[at].queued = true;
    }
    return results;
}

}  // namespace qvex
