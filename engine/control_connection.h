#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvex {

struct SessionWorker;

// One reply read from the control connection (RFC 959 section 4.2).
struct FtpReply {
    // The first three characters of the first line; "421" before reading and after a
    // receive failure.
    std::array<char, 4> codeText{'4', '2', '1', '\0'};
    int32_t code = 421;
    // The line that completed the reply, when the caller asked for it.
    std::array<char, 512> lastLine{};
    // When set, every line of the reply is put here, each followed by LF (FEAT's answer is
    // in the lines between the first and the last).
    std::string* lines = nullptr;
};

// Takes the first line off `lines` as FtpReply::lines collects them: without its LF, and
// without a CR before it.
inline std::string_view TakeReplyLine(std::string_view& lines) {
    const size_t end = lines.find('\n');
    std::string_view line = lines.substr(0, end);
    lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return line;
}

// The engine's own code for a lost control connection; a handler returning it ends the session.
inline constexpr int kReplyConnectionLost = 421;
// The longest command line, verb and argument together, that fits a 512-byte line with CR LF.
inline constexpr size_t kMaxCommandLength = 510;

// Sends one command line ("VERB argument" CR LF) and logs it, PASS masked as "<PASS ****".
// A command whose text holds CR, LF or NUL, or is longer than 510 characters, is refused:
// it could smuggle a second command or name another file when cut. Returns false when the
// command was refused or its send failed.
bool SendCommand(SessionWorker& session, std::string_view verb);
bool SendCommand(SessionWorker& session, std::string_view verb, std::string_view argument);
// The abort's form: the Telnet IP and DM sequence first, DM as urgent data (RFC 959
// section 4.1.3), then the command, all under the send lock.
bool SendUrgentCommand(SessionWorker& session, std::string_view verb);

// Reads one complete reply, logging each line of four or more characters; returns its code,
// or 421 when the connection failed or the first line was shorter than four characters.
// A reply that can never end well is a protocol error ("***" line, 421, the connection given
// up): a first line that is no reply ("22 hello", "2200 hello"), a multi-line reply ended by
// another code, or a reply of more than 1,000 lines or 64 KiB.
int ReadReply(SessionWorker& session, FtpReply& reply, bool wantLastLine);

// Gives the control connection up after a time-out or a protocol error: every later read
// fails, so the running command ends as with a lost connection (421) and the session with
// it. Worker thread only.
void AbandonConnection(SessionWorker& session);

// "@@@ <text> -> <socket error name>", a non-protocol error line.
void LogNetFailure(const char* text);

// Logs a proxy message: `format` holds "%s:%u" for the proxy's host and port, and may hold
// a third conversion for `extra` (the proxy's result byte).
void LogProxyLine(const SessionWorker& session, const char* format, int extra = 0);

// The summary line after a transfer: publishes the byte count under "Xfer", tells the
// observer that the transfer ended, adds bytes and time to the session's meter, and logs
// "... <verb> <size> in <time> (<rate>)".
void LogTransferSummary(SessionWorker& session, const char* verb, uint64_t bytes,
                        uint32_t startTick);
// The same with the tick counter's reading given (tests use a fixed clock).
void LogTransferSummaryAt(SessionWorker& session, const char* verb, uint64_t bytes,
                          uint32_t startTick, uint32_t now);

// The user's switch for logging raw listing lines.
void ToggleRawListingLog(SessionWorker& session);

}  // namespace qvex
