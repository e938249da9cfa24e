#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qvex {

struct SessionWorker;

enum DataResult : int {
    kDataOpen = 0,    // `data` is connected and the transfer command got a 1xx reply
    kDataFailed = 1,  // no data connection; the transfer failed, the session goes on
    kDataClosed = 2,  // the server closed the session (421); the caller returns 421
};

// Opens the data connection for one transfer command ("LIST", "RETR name", ...): passive
// (PASV, we connect) or active (PORT, the server connects), directly or through SOCKS, with
// REST when a resumed transfer asks for it, then sends the command and reads its first
// reply. `lastLine`, when given, receives that reply's last line.
int OpenDataConnection(SessionWorker& session, std::string_view commandLine,
                       std::array<char, 512>* lastLine = nullptr);

// The address and port of a "227" reply line, found by the session's pattern; false when the
// line holds no six numbers or they are out of range.
struct PassiveAddress {
    uint8_t bytes[4];
    uint16_t port;
};
[[nodiscard]] bool ParsePassiveReply(const SessionWorker& session, std::string_view line,
                                     PassiveAddress* address);

}  // namespace qvex
