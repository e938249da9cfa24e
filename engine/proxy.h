#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace qvex {

struct SessionWorker;
class TcpSocket;

// Opens the control connection: directly, through an FTP proxy (which then expects the
// "user@host" login), or through a SOCKS4 or SOCKS5 proxy that must grant the CONNECT.
[[nodiscard]] bool ConnectControl(SessionWorker& session);

// The SOCKS5 greeting and, when the proxy asks for it, the user-name and password
// exchange (RFC 1928 section 3, RFC 1929) on an open connection to the proxy.
[[nodiscard]] bool Socks5Negotiate(SessionWorker& session, TcpSocket& socket);

// The SOCKS requests name the server by `hostAddress`: IPv4, or IPv6 through SOCKS5 only
// (SOCKS4 gets a "***" line and nothing is sent).
//
// Active transfers through SOCKS: opens `data` to the proxy and asks it to BIND; returns the
// address and port the proxy listens on, for the PORT (or, IPv6, EPRT) command.
[[nodiscard]] bool SocksBindData(SessionWorker& session, platform::NetAddress* address,
                                 uint16_t* port);
// Waits for the proxy's second BIND reply, sent once the server has connected.
[[nodiscard]] bool SocksAwaitData(SessionWorker& session);
// Passive transfers through SOCKS: connects the already created `data` socket to the proxy
// and asks it to CONNECT to the address and port of the 227 reply (the server's address
// and the port of a 229 reply).
[[nodiscard]] bool SocksConnectData(SessionWorker& session, const platform::NetAddress& address,
                                    uint16_t port);

// The default port of each proxy type: none, FTP proxy, SOCKS4, SOCKS5.
uint16_t DefaultProxyPort(int32_t proxyType);
// A decimal port text as a number; 0 when it is empty, not decimal or above 65535.
uint16_t PortNumber(const char* text);

}  // namespace qvex
