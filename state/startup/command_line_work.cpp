#include "state/startup/command_line_work.h"

#include <memory>
#include <utility>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "platform/local_file.h"
#include "platform/paths.h"
#include "state/hosts/host_list.h"
#include "state/settings.h"
#include "state/url_grammar.h"
#include "transfer/download.h"
#include "transfer/listing_cache.h"

namespace qvex {
namespace {

bool QueueUpload(SessionWorker& session, const CommandLineRequest& request, TransferType mode,
                 bool updateOnly) {
    CommandLineFiles files = CommandLineUploadFiles(request);
    if (!files.failure.empty()) {
        logRaw(files.failure.c_str());
        return false;
    }
    if (files.paths.empty()) {
        logRaw("@@@ No local files to upload");
        return false;
    }
    // Full paths into the folder the session has just entered.
    PostCommand(session, kCommandPut, {}, 0, makeTransferFlags(mode, updateOnly, 3), -1,
                std::make_unique<NameList>(std::move(files.paths)));
    return true;
}

bool QueueFetch(SessionWorker& session, const CommandLineRequest& request, TransferType mode,
                bool updateOnly, const std::string& folder) {
    std::optional<SessionRequest> url = ParseUrl(request.url());
    if (!url) {
        logExt("*** Invalid URL: ", MaskUrlPassword(request.url()).c_str());
        return false;
    }
    std::string path = DecodeUrlEscapes(url->path).value_or(url->path);
    // A folder named on the command line is made when it is not there yet.
    if (!folder.empty() && !platform::LocalPathStatus(folder)) {
        logExt("Creating LOCAL directory ", folder.c_str());
        if (!platform::MakeFolders(folder, 0777)) {
            logRaw("@@@ Unable to create [directory] ", folder.c_str());
            return false;
        }
    }
    if (request.kind == CommandLineKind::Fetch && url->typeCode == 'd') {
        PostCommand(session, kCommandListToFile, joinLocalPath(folder, url->host + ".txt"), 0, 0,
                    -1, std::make_unique<TextPayload>(std::move(path)));
        return true;
    }
    if (url->typeCode == 'a') {
        mode = TransferType::Text;
    } else if (url->typeCode == 'i') {
        mode = TransferType::Image;
    }
    PostCommand(session, kCommandGet, folder, 0,
                makeTransferFlags(mode, updateOnly, kGetRemotePath), -1,
                std::make_unique<TextPayload>(std::move(path)));
    return true;
}

}  // namespace

TransferType CommandLineTransferMode(const Settings& settings, std::string_view hostUrl) {
    if (auto mode = transferTypeFromOption(settings.GetInt("CLXMode"))) {
        return *mode;
    }
    uint32_t perHost = settings.GetPerHostOption(hostUrl, kPerHostTransferType);
    if (auto mode = transferTypeFromOption(static_cast<int32_t>(perHost))) {
        return *mode;
    }
    if (settings.GetInt("KeepXMode") != 0) {
        int32_t last = settings.GetInt("LastXMode");
        if (last >= 0 && last <= 2) {
            return static_cast<TransferType>(last);
        }
    }
    return TransferType::Text;
}

std::string CommandLineLocalFolder(const Settings& settings) {
    std::string folder = settings.GetString("CLXDir");
    if (folder.empty() && settings.GetInt("KeepXDir") != 0) {
        folder = settings.GetString("LastXDir");
    }
    return folder;
}

bool QueueCommandLineWork(SessionWorker& session, const CommandLineRequest& request,
                          const Settings& settings, bool quitWhenDone) {
    const TransferType mode = CommandLineTransferMode(settings, session.sessionUrl);
    const bool updateOnly =
        (static_cast<uint32_t>(settings.GetInt("CLXFlags")) & kCommandLineUpdateOnly) != 0;
    const std::string folder = CommandLineLocalFolder(settings);
    bool queued = false;
    switch (request.kind) {
        case CommandLineKind::Upload:
        case CommandLineKind::UploadOnly:
            queued = QueueUpload(session, request, mode, updateOnly);
            break;
        case CommandLineKind::Fetch:
        case CommandLineKind::DownloadOnly:
            queued = QueueFetch(session, request, mode, updateOnly, folder);
            break;
        default:
            break;
    }
    if (quitWhenDone) {
        SetQuitWhenDone(session, true);
    }
    return queued;
}

uint32_t UnqueuedWorkOutcome(CommandLineKind kind) {
    const bool upload = kind == CommandLineKind::Upload || kind == CommandLineKind::UploadOnly;
    return upload ? kOutcomeUploadFailed : kOutcomeDownloadFailed;
}

}  // namespace qvex
