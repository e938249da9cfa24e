#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

namespace qvex::test {

// The loopback sockets and server-side TLS that the hand-written TLS peers share.

// A listening socket on 127.0.0.1 at a port the system picks (stored in *port); -1 when
// none could be made.
int ListenOnLoopback(uint16_t* port);
// A connection to the IPv4 address `dotted`; -1 when it failed.
int ConnectIpv4(const std::string& dotted, uint16_t port);
// Bounds every receive and send on `fd`, so a peer never waits for ever.
void SetWaitLimit(int fd, int milliseconds);
// A server context with the certificate (and chain) and key of a PEM file, whose sessions
// the client's data connections may resume; nullptr when the file did not load.
SSL_CTX* NewServerTlsContext(const std::string& certificate);
// The last reason the TLS library queued (its queue is emptied).
std::string TlsLibraryError();

}  // namespace qvex::test
