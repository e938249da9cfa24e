#include "engine/control_connection.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/session_worker.h"
#include "log/log_sink.h"
#include "platform/tick.h"
#include "state/shared_heap.h"
#include "util/format.h"

namespace qvex {
namespace {

// Bounds of one reply: a server that never ends its reply must not keep the session reading
// (and logging) for ever.
constexpr int kMaxReplyLines = 1000;
constexpr uint32_t kMaxReplyBytes = 64 * 1024;

// Telnet "interrupt process" then "data mark" (RFC 959 section 4.1.3, RFC 854).
constexpr unsigned char kTelnetInterrupt[] = {0xFF, 0xF4};
constexpr unsigned char kTelnetDataMark[] = {0xFF, 0xF2};

bool HoldsLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Refuses a command that must not reach the wire, saying why; the argument is never logged
// here since it may hold a password.
bool RefuseUnsafeCommand(std::string_view verb, std::string_view argument, bool hasArgument) {
    const char* problem = nullptr;
    if (HoldsLineBreakOrNul(verb) || HoldsLineBreakOrNul(argument)) {
        problem = "its text holds CR, LF or NUL";
    } else if (verb.size() + (hasArgument ? 1 + argument.size() : 0) > kMaxCommandLength) {
        problem = "it is longer than 510 characters";
    } else if (verb.empty()) {
        problem = "it has no verb";
    }
    if (problem == nullptr) {
        return false;
    }
    std::string line = "*** command ";
    line.append(verb.substr(0, 16));
    line.append(" not sent: ");
    line.append(problem);
    logExt(line.c_str());
    return true;
}

bool SendCommandLine(SessionWorker& session, std::string_view verb, std::string_view argument,
                     bool hasArgument, bool urgent) {
    if (RefuseUnsafeCommand(verb, argument, hasArgument)) {
        return false;
    }
    std::string line;
    line.reserve(kMaxCommandLength + 1);
    line.push_back('<');
    line.append(verb);
    if (hasArgument) {
        line.push_back(' ');
        line.append(argument);
    }
    logCmd(verb == "PASS" ? "<PASS ****" : line.c_str());

    long sent;
    {
        std::lock_guard guard(session.sendLock);
        // Under TLS the Telnet sequence cannot go as urgent data (it would break the
        // record stream); ABOR alone goes, as RFC 4217 clients do.
        if (urgent && !session.control.secure()) {
            (void)session.control.Send(kTelnetInterrupt, sizeof kTelnetInterrupt, 0);
            (void)session.control.Send(kTelnetDataMark, sizeof kTelnetDataMark,
                                       platform::kSendUrgent);
        }
        sent = session.control.SendLine(line.c_str() + 1);
    }
    if (sent < 0) {
        LogNetFailure("Send failed");
        return false;
    }
    return true;
}

int DecimalPrefix(const char* text) {
    int value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
    }
    return value;
}

bool IsDigit(char character) {
    return character >= '0' && character <= '9';
}

// RFC 959 section 4.2: a reply begins with a code of three digits, the first 1 to 5, and a
// blank (the only line) or "-" (more lines follow).
bool BeginsReply(const char* line) {
    return line[0] >= '1' && line[0] <= '5' && IsDigit(line[1]) && IsDigit(line[2]) &&
           (line[3] == ' ' || line[3] == '-');
}

// A body line that would end a reply with another code: servers must pad such lines
// (RFC 959 section 4.2), so this is no body line.
bool EndsAnotherReply(const char* line) {
    return IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) && line[3] == ' ';
}

// Bytes taken from the socket's input so far.
uint32_t Consumed(const TcpSocket& socket) {
    return socket.bytesReceived() - static_cast<uint32_t>(socket.count());
}

enum class ReplyEnd {
    Complete,
    ReceiveFailed,
    ProtocolError,
};

ReplyEnd ProtocolError(SessionWorker& session, const char* what) {
    std::string line = "*** Protocol error: ";
    line.append(what);
    line.append("; connection closed");
    logExt(line.c_str());
    AbandonConnection(session);
    // What a later failure line names: we ended the connection.
    platform::SetLastSocketError(platform::kWsaEconnaborted);
    return ReplyEnd::ProtocolError;
}

// Reads lines until one completes the reply.
ReplyEnd ReadOneReply(SessionWorker& session, FtpReply& reply, char* line) {
    bool firstLineSeen = false;
    bool multiLine = false;
    char endMarker[4] = {};
    int lines = 0;
    const uint32_t start = Consumed(session.control);
    if (reply.lines != nullptr) {
        reply.lines->clear();
    }
    for (;;) {
        int length = session.control.ReadLine(line);
        if (length < 0) {
            return ReplyEnd::ReceiveFailed;
        }
        if (++lines > kMaxReplyLines) {
            return ProtocolError(session, "a reply of more than 1,000 lines");
        }
        if (Consumed(session.control) - start > kMaxReplyBytes) {
            return ProtocolError(session, "a reply of more than 64 KiB");
        }
        if (length < 4) {
            // Short lines inside a multi-line body are skipped; as a first line they are
            // no reply at all.
            if (multiLine) {
                continue;
            }
            return ReplyEnd::ReceiveFailed;
        }
        std::string logged = ">";
        logged.append(line, static_cast<size_t>(length));
        if (!firstLineSeen) {
            if (!BeginsReply(line)) {
                logCmd(logged.c_str());
                return ProtocolError(session, "a line that is no FTP reply");
            }
            std::memcpy(reply.codeText.data(), line, 3);
            reply.codeText[3] = '\0';
            std::memcpy(endMarker, line, 3);
            endMarker[3] = ' ';
            multiLine = line[3] == '-';
            firstLineSeen = true;
        }
        logCmd(logged.c_str());
        if (reply.lines != nullptr) {
            reply.lines->append(line, static_cast<size_t>(length)).push_back('\n');
        }
        if (std::memcmp(line, endMarker, 4) == 0) {
            return ReplyEnd::Complete;
        }
        if (EndsAnotherReply(line)) {
            std::string what = "reply ";
            what.append(endMarker, 3);
            what.append(" ended by code ");
            what.append(line, 3);
            return ProtocolError(session, what.c_str());
        }
    }
}

}  // namespace

bool SendCommand(SessionWorker& session, std::string_view verb) {
    return SendCommandLine(session, verb, {}, false, false);
}

bool SendCommand(SessionWorker& session, std::string_view verb, std::string_view argument) {
    return SendCommandLine(session, verb, argument, true, false);
}

bool SendUrgentCommand(SessionWorker& session, std::string_view verb) {
    return SendCommandLine(session, verb, {}, false, true);
}

int ReadReply(SessionWorker& session, FtpReply& reply, bool wantLastLine) {
    char line[512];
    bool passedOver = false;
    for (;;) {
        std::memcpy(reply.codeText.data(), "421", 4);
        ReplyEnd end = ReadOneReply(session, reply, line);
        if (end != ReplyEnd::Complete) {
            if (end == ReplyEnd::ReceiveFailed) {
                LogNetFailure("[CONTROL] Receive failed");
            }
            std::memcpy(reply.codeText.data(), "421", 4);
            reply.code = kReplyConnectionLost;
            return reply.code;
        }
        // After ABOR the server answers the aborted transfer first (426 or 225); the
        // reply that counts is the one after it. Only one is passed over: a server that
        // answers 426 and then "225 No transfer to ABOR" sends nothing more.
        bool abortAnswer = std::strcmp(reply.codeText.data(), "426") == 0 ||
                           std::strcmp(reply.codeText.data(), "225") == 0;
        if (passedOver || !(session.abortSent.load(std::memory_order_relaxed) && abortAnswer)) {
            break;
        }
        passedOver = true;
    }
    if (wantLastLine) {
        std::memcpy(reply.lastLine.data(), line, std::strlen(line) + 1);
    }
    reply.code = DecimalPrefix(reply.codeText.data());
    return reply.code;
}

void AbandonConnection(SessionWorker& session) {
    session.controlLost = true;
    session.control.Abandon();
}

void LogNetFailure(const char* text) {
    char line[512];
    std::snprintf(line, sizeof line, "@@@ %s -> %s", text, WsaErrorName());
    logRaw(line);
}

void LogProxyLine(const SessionWorker& session, const char* format, int extra) {
    char line[512];
    unsigned port = 0;
    for (char digit : session.proxy.port) {
        port = port * 10 + static_cast<unsigned>(digit - '0');
    }
    // The formats are the engine's own constants, each with "%s:%u" and at most one
    // conversion for `extra`.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(line, sizeof line, format, session.proxy.host.c_str(), port, extra);
#pragma GCC diagnostic pop
    logExt(line);
}

void LogTransferSummary(SessionWorker& session, const char* verb, uint64_t bytes,
                        uint32_t startTick) {
    LogTransferSummaryAt(session, verb, bytes, startTick, platform::TickCount());
}

void LogTransferSummaryAt(SessionWorker& session, const char* verb, uint64_t bytes,
                          uint32_t startTick, uint32_t now) {
    if (SharedHeap* heap = ProcessHeap()) {
        (void)heap->PublishIntPair("Xfer", static_cast<int32_t>(bytes & 0xFFFFFFFFu),
                                   static_cast<int32_t>(bytes >> 32));
    }
    if (session.observer != nullptr) {
        session.observer->OnTransferEnded(now);
    }
    uint32_t elapsed = now - startTick;
    session.meter.endedBytes.fetch_add(bytes, std::memory_order_relaxed);
    session.meter.endedMilliseconds.fetch_add(elapsed, std::memory_order_relaxed);
    std::string size = FormatSize(static_cast<int64_t>(bytes), 2);
    std::string duration = FormatDuration(elapsed, 1);
    char line[512];
    if (elapsed != 0) {
        std::string rate = FormatRate(static_cast<double>(bytes) / static_cast<double>(elapsed), 1);
        std::snprintf(line, sizeof line, "... %s %s in %s (%s)", verb, size.c_str(),
                      duration.c_str(), rate.c_str());
    } else {
        std::snprintf(line, sizeof line, "... %s %s in %s", verb, size.c_str(), duration.c_str());
    }
    logExt(line);
}

void ToggleRawListingLog(SessionWorker& session) {
    bool on = !session.rawListingLog.load();
    session.rawListingLog.store(on);
    char line[64];
    std::snprintf(line, sizeof line, "[\"raw\" directory data logging %s]", on ? "ON" : "OFF");
    logExt(line);
    if (on) {
        std::snprintf(line, sizeof line, "[Using language ID 0x%04x]",
                      static_cast<unsigned>(session.listingLanguage));
        logExt(line);
    }
}

}  // namespace qvex
