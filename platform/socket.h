#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvex::platform {

// Blocking IPv4 and IPv6 stream sockets.
//
// A handle is the system's descriptor plus one, so that the engine's empty state 0 can never
// be a real socket (descriptor 0 is a valid socket when standard input was closed).
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = 0;

// Flag for SendBytes: send as urgent ("out-of-band") data.
inline constexpr int kSendUrgent = 0x1;
// Flag for SendBytes and ReceiveBytes: move what can move now and never block; with nothing
// to move the result is -1 with WSAEWOULDBLOCK.
inline constexpr int kNoWait = 0x2;

// What ParseDottedAddress gives for text that is no address; also the bytes of
// 255.255.255.255, which therefore can never be used as a destination.
inline constexpr uint32_t kAddressNone = 0xFFFFFFFF;
inline constexpr uint32_t kAddressAny = 0;

// An IPv4 or an IPv6 address. An IPv4 address (network order) converts to one implicitly,
// so the IPv4 calls read as they always did; the default is the IPv4 "any" address.
struct NetAddress {
    NetAddress() = default;
    NetAddress(uint32_t ipv4NetworkOrder);  // NOLINT(google-explicit-constructor)
    static NetAddress Ipv6(const uint8_t (&bytes)[16]);
    // The IPv4 address in network order; 0 for an IPv6 address.
    [[nodiscard]] uint32_t ipv4() const;
    bool operator==(const NetAddress&) const = default;

    bool ipv6 = false;
    // IPv4: the first 4 bytes; IPv6: all 16.
    std::array<uint8_t, 16> bytes{};
    // The zone of a link-local IPv6 address (RFC 4007 section 6): the index of the interface
    // it is reached through; 0 for none.
    uint32_t scope = 0;
};
// Room for any address as text ("a.b.c.d", the longest IPv6 form, or a link-local address
// with "%" and its zone, an interface name of up to 15 bytes or an index) and its NUL.
inline constexpr size_t kAddressTextSize = 62;

// Failures leave a Windows Sockets error code (10061 for a refused connection, 11001 for an
// unknown host, ...) as the calling thread's last socket error, so that log lines name
// errors the same way on every system. A system error without such a code is passed on as
// its own number.
inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEfault = 10014;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEnotsock = 10038;
inline constexpr int kWsaEmsgsize = 10040;
inline constexpr int kWsaEaddrnotavail = 10049;
inline constexpr int kWsaEnobufs = 10055;
inline constexpr int kWsaEwouldblock = 10035;
inline constexpr int kWsaEconnaborted = 10053;
inline constexpr int kWsaEtimedout = 10060;

[[nodiscard]] int LastSocketError();
void SetLastSocketError(int code);
// The translations behind LastSocketError: a system error number (errno here) and a
// resolver result (getaddrinfo here).
[[nodiscard]] int TranslateSystemError(int systemError);
[[nodiscard]] int TranslateResolverError(int resolverError);

// A new IPv4 (or IPv6) stream socket, not inherited by started programs; kNoSocket on
// failure.
[[nodiscard]] SocketHandle OpenStreamSocket(bool ipv6 = false);
// Two connected stream sockets of the local kind (not TCP), for feeding a reader.
[[nodiscard]] bool OpenSocketPair(SocketHandle* first, SocketHandle* second);
// Addresses are in network order, ports in host order.
// The address's family must be the socket's.
[[nodiscard]] bool BindSocket(SocketHandle socket, const NetAddress& address, uint16_t port);
[[nodiscard]] bool ConnectSocket(SocketHandle socket, const NetAddress& address, uint16_t port);
// A connect that does not wait: true when the connection is made (`*pending` false) or under
// way (`*pending` true: wait until the socket is writable, then FinishConnect).
[[nodiscard]] bool StartConnect(SocketHandle socket, const NetAddress& address, uint16_t port,
                                bool* pending);
// The outcome of a connect that was under way; the socket blocks again afterwards, also when
// the wait was given up.
[[nodiscard]] bool FinishConnect(SocketHandle socket);
[[nodiscard]] bool ListenSocket(SocketHandle socket, int backlog);
// Waits for one connection; kNoSocket on failure.
[[nodiscard]] SocketHandle AcceptSocket(SocketHandle listening);
// One send (never raising a signal when the peer has gone): the bytes sent or -1.
[[nodiscard]] long SendBytes(SocketHandle socket, const void* bytes, size_t length, int flags);
// One receive: the bytes received, 0 when the peer has closed, or -1. `flags`: 0 or kNoWait.
[[nodiscard]] long ReceiveBytes(SocketHandle socket, void* buffer, size_t length, int flags = 0);
// What WaitSockets gives when its time ran out.
inline constexpr int kWaitTimedOut = -2;
// Waits until one of `count` sockets can be read (bytes, a caller to accept, the peer's end or
// an error) or, `forWriting`, written (also the end of a connect under way). The index of the
// first ready socket, kWaitTimedOut after `milliseconds` (a negative value waits without
// limit), or -1 on error.
[[nodiscard]] int WaitSockets(const SocketHandle* sockets, int count, bool forWriting,
                              int milliseconds);
// Ends both directions; a blocked receive or accept on another thread returns.
void ShutdownSocket(SocketHandle socket);
void CloseSocket(SocketHandle socket);
// Closes so that the peer sees a reset instead of an orderly end.
void AbortSocket(SocketHandle socket);

// The IPv4 forms fail (WSAEAFNOSUPPORT) on an IPv6 socket.
[[nodiscard]] bool PeerName(SocketHandle socket, uint32_t* address, uint16_t* port);
[[nodiscard]] bool LocalName(SocketHandle socket, uint32_t* address, uint16_t* port);
[[nodiscard]] bool PeerNetName(SocketHandle socket, NetAddress* address, uint16_t* port);
[[nodiscard]] bool LocalNetName(SocketHandle socket, NetAddress* address, uint16_t* port);
// Bytes that can be read without blocking.
[[nodiscard]] bool ReadableBytes(SocketHandle socket, int32_t* count);
[[nodiscard]] bool SetNoDelay(SocketHandle socket, bool on);
// Probes an idle connection, so that a peer that vanished is reported in the end.
[[nodiscard]] bool SetKeepAlive(SocketHandle socket, bool on);
// Keeps urgent data in the ordinary byte stream.
[[nodiscard]] bool SetUrgentInline(SocketHandle socket, bool on);

// The classic dotted-address parser (also "10.1", octal and hexadecimal parts): the address
// in network order, kAddressNone for anything else.
[[nodiscard]] uint32_t ParseDottedAddress(const char* text);
// Writes "a.b.c.d" into `text`, which holds at least 16 bytes.
[[nodiscard]] bool FormatDottedAddress(uint32_t address, char* text, size_t size);
// An IPv6 address in its text form ("::1", "2001:db8::7"), without brackets. A link-local
// address (fe80::/10) may name its zone after a "%" (RFC 4007 section 11): an interface's
// name ("fe80::1%eth0") or index ("fe80::1%2"). A zone on any other address, an empty zone
// and the name of no interface fail.
[[nodiscard]] bool ParseIpv6Address(const char* text, NetAddress* address);
// Writes "a.b.c.d" or the IPv6 text form into `text`, which holds at least kAddressTextSize
// bytes; a zone follows its address as "%" and the interface's name (its index when the
// interface has gone).
[[nodiscard]] bool FormatAddress(const NetAddress& address, char* text, size_t size);
// The first IPv4 address of a host name.
[[nodiscard]] bool LookupHost(const char* name, uint32_t* address);
// Every IPv4 and IPv6 address of a host name, in the order the system prefers them.
[[nodiscard]] bool LookupHostAddresses(const char* name, std::vector<NetAddress>* addresses);

}  // namespace qvex::platform
