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
// (PASV, or EPSV over IPv6 or after a PASV answered 500: we connect) or active (PORT, or
// EPRT over IPv6: the server connects), directly or through SOCKS, with
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

// The port of an EPSV reply (RFC 2428 section 3), "229 Entering Extended Passive Mode
// (|||6446|)": in the first parentheses, three delimiters, the port, a fourth delimiter. The
// delimiter is any one printable character other than a digit, the same all four times.
// False for any other form and for port 0 or a port above 65535.
[[nodiscard]] bool ParseExtendedPassiveReply(std::string_view line, uint16_t* port);

}  // namespace qvex
