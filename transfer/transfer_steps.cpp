#include "transfer/transfer_steps.h"

#include <algorithm>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "platform/local_file.h"

namespace qvex {
namespace {

constexpr size_t kMaxErrorText = 383;

}  // namespace

bool stopsCommand(int code) {
    return code < 0 || code == kReplyConnectionLost;
}

RestartDatabase* restartRecordOf(const SessionWorker& session) {
    return session.restartEnabled ? session.restartDatabase : nullptr;
}

std::string_view localNamePart(std::string_view path) {
    size_t cut = path.find_last_of('/');
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string lastFileErrorText() {
    std::string reason = platform::FileErrorText(platform::LastFileError());
    reason.resize(std::min(reason.size(), kMaxErrorText));
    return reason;
}

TrailStep enterFolder(DirectoryTrail& trail, const std::string& remotePath) {
    if (std::find(trail.path.begin(), trail.path.end(), remotePath) != trail.path.end()) {
        logExt("*** Directory loop on the server; not descending into ", remotePath.c_str());
        return TrailStep::Skip;
    }
    if (trail.path.size() > kMaxTreeDepth) {
        logExt("*** Directory tree too deep; not descending into ", remotePath.c_str());
        return TrailStep::Skip;
    }
    if (trail.entered >= trail.folderLimit) {
        logExt("*** Too many folders for one command; stopped at ", remotePath.c_str());
        return TrailStep::Stopped;
    }
    ++trail.entered;
    trail.path.push_back(remotePath);
    return TrailStep::Enter;
}

void leaveFolder(DirectoryTrail& trail) {
    trail.path.pop_back();
}

}  // namespace qvex
