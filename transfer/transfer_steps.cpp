#include "transfer/transfer_steps.h"

#include <algorithm>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
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

}  // namespace qvex
