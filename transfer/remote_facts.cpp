#include "transfer/remote_facts.h"

#include <charconv>
#include <string_view>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "transfer/listing_date.h"
#include "transfer/mlsd_parser.h"
#include "transfer/navigation.h"
#include "transfer/remote_entry.h"

namespace qvex {
namespace {

// The text after "213 " of a successful answer.
std::optional<std::string_view> AnswerOf(SessionWorker& session, std::string_view verb,
                                         const std::string& name, FtpReply& reply) {
    if (exchangeCommand(session, verb, name, reply, true) != 213) {
        return std::nullopt;
    }
    std::string_view text(reply.lastLine.data());
    if (text.size() < 5 || text[3] != ' ') {
        return std::nullopt;
    }
    text.remove_prefix(4);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::optional<int64_t> askRemoteSize(SessionWorker& session, const std::string& name) {
    if (!session.features.size) {
        return std::nullopt;
    }
    FtpReply reply;
    const std::optional<std::string_view> text = AnswerOf(session, "SIZE", name, reply);
    int64_t size = -1;
    if (!text || text->empty() ||
        std::from_chars(text->data(), text->data() + text->size(), size).ptr !=
            text->data() + text->size() ||
        size < 0) {
        return std::nullopt;
    }
    return size;
}

std::optional<int64_t> askExactRemoteTime(SessionWorker& session, const std::string& name) {
    const bool listedExactly = session.features.mlst && !session.mlsdRefused;
    if (listedExactly || !session.features.mdtm) {
        return std::nullopt;
    }
    FtpReply reply;
    const std::optional<std::string_view> text = AnswerOf(session, "MDTM", name, reply);
    const int64_t time = text ? machineTimeOf(*text) : 0;
    return time != 0 ? std::optional<int64_t>(time) : std::nullopt;
}

int compareRemoteFileToLocalTime(const SessionWorker& session, const RemoteEntry& entry,
                                 std::optional<int64_t> exactTime, int64_t localTime) {
    if (exactTime) {
        return *exactTime < localTime ? -1 : *exactTime > localTime ? 1 : 0;
    }
    return compareRemoteToLocalTime(entry, localTime, session);
}

}  // namespace qvex
