#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qvex::platform {
namespace {

thread_local int lastError = 0;

struct ErrorCode {
    int system;
    int code;
};

// errno values and the Windows Sockets codes that mean the same.
constexpr ErrorCode kErrnoCodes[] = {
    {EINTR, 10004},            // WSAEINTR
    {EBADF, 10038},            // WSAENOTSOCK: a handle that is no open socket
    {EFAULT, 10014},           // WSAEFAULT
    {EINVAL, 10022},           // WSAEINVAL
    {EMFILE, 10024},           // WSAEMFILE
    {ENFILE, 10024},           // WSAEMFILE
    {EWOULDBLOCK, 10035},      // WSAEWOULDBLOCK (also EAGAIN)
    {EINPROGRESS, 10036},      // WSAEINPROGRESS
    {EALREADY, 10037},         // WSAEALREADY
    {ENOTSOCK, 10038},         // WSAENOTSOCK
    {EDESTADDRREQ, 10039},     // WSAEDESTADDRREQ
    {EMSGSIZE, 10040},         // WSAEMSGSIZE
    {EPROTOTYPE, 10041},       // WSAEPROTOTYPE
    {ENOPROTOOPT, 10042},      // WSAENOPROTOOPT
    {EPROTONOSUPPORT, 10043},  // WSAEPROTONOSUPPORT
    {ESOCKTNOSUPPORT, 10044},  // WSAESOCKTNOSUPPORT
    {EOPNOTSUPP, 10045},       // WSAEOPNOTSUPP
    {EPFNOSUPPORT, 10046},     // WSAEPFNOSUPPORT
    {EAFNOSUPPORT, 10047},     // WSAEAFNOSUPPORT
    {EADDRINUSE, 10048},       // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},    // WSAEADDRNOTAVAIL
    {ENETDOWN, 10050},         // WSAENETDOWN
    {ENETUNREACH, 10051},      // WSAENETUNREACH
    {ENETRESET, 10052},        // WSAENETRESET
    {ECONNABORTED, 10053},     // WSAECONNABORTED
    {ECONNRESET, 10054},       // WSAECONNRESET
    {EPIPE, 10054},            // WSAECONNRESET: sending after the peer reset
    {ENOBUFS, 10055},          // WSAENOBUFS
    {ENOMEM, 10055},           // WSAENOBUFS
    {EISCONN, 10056},          // WSAEISCONN
    {ENOTCONN, 10057},         // WSAENOTCONN
    {ESHUTDOWN, 10058},        // WSAESHUTDOWN
    {ETOOMANYREFS, 10059},     // WSAETOOMANYREFS
    {ETIMEDOUT, 10060},        // WSAETIMEDOUT
    {ECONNREFUSED, 10061},     // WSAECONNREFUSED
    {ELOOP, 10062},            // WSAELOOP
    {ENAMETOOLONG, 10063},     // WSAENAMETOOLONG
    {EHOSTDOWN, 10064},        // WSAEHOSTDOWN
    {EHOSTUNREACH, 10065},     // WSAEHOSTUNREACH
    {ENOTEMPTY, 10066},        // WSAENOTEMPTY
    {EUSERS, 10068},           // WSAEUSERS
    {EDQUOT, 10069},           // WSAEDQUOT
    {ESTALE, 10070},           // WSAESTALE
    {EREMOTE, 10071},          // WSAEREMOTE
};

// getaddrinfo results and their Windows Sockets codes.
constexpr ErrorCode kResolverCodes[] = {
    {EAI_NONAME, 11001},      // WSAHOST_NOT_FOUND
    {EAI_AGAIN, 11002},       // WSATRY_AGAIN
    {EAI_FAIL, 11003},        // WSANO_RECOVERY
    {EAI_NODATA, 11004},      // WSANO_DATA: the name exists but has no address
    {EAI_ADDRFAMILY, 11004},  // WSANO_DATA: no IPv4 address
    {EAI_MEMORY, 10055},      // WSAENOBUFS
    {EAI_FAMILY, 10047},      // WSAEAFNOSUPPORT
    {EAI_SOCKTYPE, 10044},    // WSAESOCKTNOSUPPORT
    {EAI_BADFLAGS, 10022},    // WSAEINVAL
};

constexpr int kWsaNoRecovery = 11003;

int Descriptor(SocketHandle socket) {
    return socket - 1;
}
SocketHandle Handle(int descriptor) {
    return descriptor + 1;
}

bool Fail() {
    lastError = TranslateSystemError(errno);
    return false;
}

// Operations on kNoSocket fail as the system fails them for a closed descriptor.
bool NoSocket(SocketHandle socket) {
    if (socket > kNoSocket) {
        return false;
    }
    lastError = kWsaEnotsock;
    return true;
}

// A socket address of either family, with the length the system expects for it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress MakeAddress(const NetAddress& address, uint16_t port) {
    SocketAddress made;
    if (address.ipv6) {
        auto* internet = reinterpret_cast<sockaddr_in6*>(&made.storage);
        internet->sin6_family = AF_INET6;
        std::memcpy(&internet->sin6_addr, address.bytes.data(), 16);
        internet->sin6_port = htons(port);
        internet->sin6_scope_id = address.scope;
        made.length = sizeof(sockaddr_in6);
    } else {
        auto* internet = reinterpret_cast<sockaddr_in*>(&made.storage);
        internet->sin_family = AF_INET;
        internet->sin_addr.s_addr = address.ipv4();
        internet->sin_port = htons(port);
        made.length = sizeof(sockaddr_in);
    }
    return made;
}

// False for a family other than IPv4 and IPv6.
bool ReadAddress(const sockaddr* socketAddress, NetAddress* address, uint16_t* port) {
    NetAddress read;
    uint16_t readPort = 0;
    if (socketAddress->sa_family == AF_INET6) {
        const auto* internet = reinterpret_cast<const sockaddr_in6*>(socketAddress);
        read.ipv6 = true;
        std::memcpy(read.bytes.data(), &internet->sin6_addr, 16);
        read.scope = internet->sin6_scope_id;
        readPort = ntohs(internet->sin6_port);
    } else if (socketAddress->sa_family == AF_INET) {
        const auto* internet = reinterpret_cast<const sockaddr_in*>(socketAddress);
        read = NetAddress(internet->sin_addr.s_addr);
        readPort = ntohs(internet->sin_port);
    } else {
        return false;
    }
    if (address != nullptr) {
        *address = read;
    }
    if (port != nullptr) {
        *port = readPort;
    }
    return true;
}

// The outcome of a connect that went on in the background.
bool ConnectOutcome(int descriptor) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return Fail();
    }
    if (error != 0) {
        lastError = TranslateSystemError(error);
        return false;
    }
    // Writable without an error, yet not connected: the connect was cut short (a shutdown
    // from another thread).
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        return Fail();
    }
    return true;
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
bool FinishInterruptedConnect(int descriptor) {
    pollfd waiting{descriptor, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&waiting, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return Fail();
    }
    return ConnectOutcome(descriptor);
}

bool SetNonBlocking(int descriptor, bool on) {
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return ::fcntl(descriptor, F_SETFL, flags) == 0;
}

bool SetFlag(SocketHandle socket, int level, int option, bool on) {
    if (NoSocket(socket)) {
        return false;
    }
    int value = on ? 1 : 0;
    if (::setsockopt(Descriptor(socket), level, option, &value, sizeof value) != 0) {
        return Fail();
    }
    return true;
}

using NameQuery = int (*)(int, sockaddr*, socklen_t*);

bool QueryName(NameQuery query, SocketHandle socket, NetAddress* address, uint16_t* port) {
    if (NoSocket(socket)) {
        return false;
    }
    sockaddr_storage socketAddress{};
    socklen_t length = sizeof socketAddress;
    if (query(Descriptor(socket), reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
        return Fail();
    }
    if (!ReadAddress(reinterpret_cast<const sockaddr*>(&socketAddress), address, port)) {
        lastError = TranslateSystemError(EAFNOSUPPORT);
        return false;
    }
    return true;
}

// The IPv4 form of a name query: an IPv6 socket has no such name.
bool QueryIpv4Name(NameQuery query, SocketHandle socket, uint32_t* address, uint16_t* port) {
    NetAddress read;
    if (!QueryName(query, socket, &read, port)) {
        return false;
    }
    if (read.ipv6) {
        lastError = TranslateSystemError(EAFNOSUPPORT);
        return false;
    }
    if (address != nullptr) {
        *address = read.ipv4();
    }
    return true;
}

// The addresses of a name of one family (AF_UNSPEC: both), in the resolver's order.
bool LookupFamily(const char* name, int family, std::vector<NetAddress>* addresses) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    int result = ::getaddrinfo(name, nullptr, &hints, &answer);
    if (result != 0) {
        lastError = TranslateResolverError(result);
        return false;
    }
    addresses->clear();
    for (const addrinfo* entry = answer; entry != nullptr; entry = entry->ai_next) {
        NetAddress address;
        if (entry->ai_addr != nullptr && ReadAddress(entry->ai_addr, &address, nullptr)) {
            addresses->push_back(address);
        }
    }
    ::freeaddrinfo(answer);
    if (addresses->empty()) {
        lastError = TranslateResolverError(EAI_NODATA);
        return false;
    }
    return true;
}

// A zone's interface: by name, else by decimal index; 0 when it names none.
uint32_t ZoneIndex(const char* zone) {
    if (*zone == '\0') {
        return 0;
    }
    if (uint32_t index = ::if_nametoindex(zone); index != 0) {
        return index;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long index = std::strtoul(zone, &end, 10);
    if (*end != '\0' || zone[0] < '0' || zone[0] > '9' || errno != 0 || index > UINT32_MAX) {
        return 0;
    }
    return static_cast<uint32_t>(index);
}

}  // namespace

NetAddress::NetAddress(uint32_t ipv4NetworkOrder) {
    std::memcpy(bytes.data(), &ipv4NetworkOrder, 4);
}

NetAddress NetAddress::Ipv6(const uint8_t (&address)[16]) {
    NetAddress made;
    made.ipv6 = true;
    std::memcpy(made.bytes.data(), address, 16);
    return made;
}

uint32_t NetAddress::ipv4() const {
    uint32_t address = 0;
    if (!ipv6) {
        std::memcpy(&address, bytes.data(), 4);
    }
    return address;
}

int LastSocketError() {
    return lastError;
}

void SetLastSocketError(int code) {
    lastError = code;
}

int TranslateSystemError(int systemError) {
    for (const ErrorCode& entry : kErrnoCodes) {
        if (entry.system == systemError) {
            return entry.code;
        }
    }
    return systemError;
}

int TranslateResolverError(int resolverError) {
    if (resolverError == EAI_SYSTEM) {
        return TranslateSystemError(errno);
    }
    for (const ErrorCode& entry : kResolverCodes) {
        if (entry.system == resolverError) {
            return entry.code;
        }
    }
    return kWsaNoRecovery;
}

SocketHandle OpenStreamSocket(bool ipv6) {
    int descriptor = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        Fail();
        return kNoSocket;
    }
    return Handle(descriptor);
}

bool OpenSocketPair(SocketHandle* first, SocketHandle* second) {
    int descriptors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors) != 0) {
        return Fail();
    }
    *first = Handle(descriptors[0]);
    *second = Handle(descriptors[1]);
    return true;
}

bool BindSocket(SocketHandle socket, const NetAddress& address, uint16_t port) {
    if (NoSocket(socket)) {
        return false;
    }
    SocketAddress socketAddress = MakeAddress(address, port);
    if (::bind(Descriptor(socket), socketAddress.get(), socketAddress.length) != 0) {
        return Fail();
    }
    return true;
}

bool ConnectSocket(SocketHandle socket, const NetAddress& address, uint16_t port) {
    if (NoSocket(socket)) {
        return false;
    }
    SocketAddress socketAddress = MakeAddress(address, port);
    if (::connect(Descriptor(socket), socketAddress.get(), socketAddress.length) == 0) {
        return true;
    }
    if (errno == EINTR) {
        return FinishInterruptedConnect(Descriptor(socket));
    }
    return Fail();
}

bool StartConnect(SocketHandle socket, const NetAddress& address, uint16_t port, bool* pending) {
    *pending = false;
    if (NoSocket(socket)) {
        return false;
    }
    const int descriptor = Descriptor(socket);
    if (!SetNonBlocking(descriptor, true)) {
        return Fail();
    }
    SocketAddress socketAddress = MakeAddress(address, port);
    if (::connect(descriptor, socketAddress.get(), socketAddress.length) == 0) {
        return SetNonBlocking(descriptor, false) || Fail();
    }
    if (errno == EINPROGRESS || errno == EINTR) {
        *pending = true;
        return true;
    }
    Fail();
    (void)SetNonBlocking(descriptor, false);
    return false;
}

bool FinishConnect(SocketHandle socket) {
    if (NoSocket(socket)) {
        return false;
    }
    const int descriptor = Descriptor(socket);
    if (!SetNonBlocking(descriptor, false)) {
        return Fail();
    }
    return ConnectOutcome(descriptor);
}

bool ListenSocket(SocketHandle socket, int backlog) {
    if (NoSocket(socket)) {
        return false;
    }
    if (::listen(Descriptor(socket), backlog) != 0) {
        return Fail();
    }
    return true;
}

SocketHandle AcceptSocket(SocketHandle listening) {
    if (NoSocket(listening)) {
        return kNoSocket;
    }
    int descriptor;
    do {
        descriptor = ::accept4(Descriptor(listening), nullptr, nullptr, SOCK_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        Fail();
        return kNoSocket;
    }
    return Handle(descriptor);
}

long SendBytes(SocketHandle socket, const void* bytes, size_t length, int flags) {
    if (NoSocket(socket)) {
        return -1;
    }
    int systemFlags = MSG_NOSIGNAL;
    if ((flags & kSendUrgent) != 0) {
        systemFlags |= MSG_OOB;
    }
    if ((flags & kNoWait) != 0) {
        systemFlags |= MSG_DONTWAIT;
    }
    ssize_t sent;
    do {
        sent = ::send(Descriptor(socket), bytes, length, systemFlags);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        Fail();
        return -1;
    }
    return static_cast<long>(sent);
}

long ReceiveBytes(SocketHandle socket, void* buffer, size_t length, int flags) {
    if (NoSocket(socket)) {
        return -1;
    }
    const int systemFlags = (flags & kNoWait) != 0 ? MSG_DONTWAIT : 0;
    ssize_t received;
    do {
        received = ::recv(Descriptor(socket), buffer, length, systemFlags);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        Fail();
        return -1;
    }
    return static_cast<long>(received);
}

int WaitSockets(const SocketHandle* sockets, int count, bool forWriting, int milliseconds) {
    constexpr int kMostSockets = 4;
    if (count < 1 || count > kMostSockets) {
        lastError = kWsaEinval;
        return -1;
    }
    pollfd waiting[kMostSockets] = {};
    for (int index = 0; index < count; ++index) {
        if (NoSocket(sockets[index])) {
            return -1;
        }
        waiting[index].fd = Descriptor(sockets[index]);
        waiting[index].events = forWriting ? POLLOUT : POLLIN;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    int left = milliseconds;
    for (;;) {
        int ready = ::poll(waiting, static_cast<nfds_t>(count), left);
        if (ready > 0) {
            break;
        }
        if (ready == 0) {
            return kWaitTimedOut;
        }
        if (errno != EINTR) {
            Fail();
            return -1;
        }
        if (milliseconds >= 0) {
            auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            left = remaining > 0 ? static_cast<int>(remaining) : 0;
        }
    }
    for (int index = 0; index < count; ++index) {
        if (waiting[index].revents != 0) {
            return index;
        }
    }
    return -1;
}

void ShutdownSocket(SocketHandle socket) {
    if (socket > kNoSocket) {
        ::shutdown(Descriptor(socket), SHUT_RDWR);
    }
}

void CloseSocket(SocketHandle socket) {
    if (socket > kNoSocket) {
        ::close(Descriptor(socket));
    }
}

void AbortSocket(SocketHandle socket) {
    if (socket > kNoSocket) {
        // A zero linger time makes close discard unsent data and send a reset.
        linger immediate{1, 0};
        ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
        ::close(Descriptor(socket));
    }
}

bool PeerName(SocketHandle socket, uint32_t* address, uint16_t* port) {
    return QueryIpv4Name(::getpeername, socket, address, port);
}

bool LocalName(SocketHandle socket, uint32_t* address, uint16_t* port) {
    return QueryIpv4Name(::getsockname, socket, address, port);
}

bool PeerNetName(SocketHandle socket, NetAddress* address, uint16_t* port) {
    return QueryName(::getpeername, socket, address, port);
}

bool LocalNetName(SocketHandle socket, NetAddress* address, uint16_t* port) {
    return QueryName(::getsockname, socket, address, port);
}

bool ReadableBytes(SocketHandle socket, int32_t* count) {
    if (NoSocket(socket)) {
        return false;
    }
    int available = 0;
    if (::ioctl(Descriptor(socket), FIONREAD, &available) != 0) {
        return Fail();
    }
    *count = available;
    return true;
}

bool SetNoDelay(SocketHandle socket, bool on) {
    return SetFlag(socket, IPPROTO_TCP, TCP_NODELAY, on);
}

bool SetKeepAlive(SocketHandle socket, bool on) {
    return SetFlag(socket, SOL_SOCKET, SO_KEEPALIVE, on);
}

bool SetUrgentInline(SocketHandle socket, bool on) {
    return SetFlag(socket, SOL_SOCKET, SO_OOBINLINE, on);
}

uint32_t ParseDottedAddress(const char* text) {
    if (text == nullptr) {
        return kAddressNone;
    }
    return ::inet_addr(text);
}

bool FormatDottedAddress(uint32_t address, char* text, size_t size) {
    if (text == nullptr || size < INET_ADDRSTRLEN) {
        lastError = kWsaEfault;  // as for any output buffer that is too small
        return false;
    }
    in_addr internet{};
    internet.s_addr = address;
    if (::inet_ntop(AF_INET, &internet, text, INET_ADDRSTRLEN) == nullptr) {
        return Fail();
    }
    return true;
}

bool ParseIpv6Address(const char* text, NetAddress* address) {
    if (text == nullptr) {
        return false;
    }
    const char* percent = std::strchr(text, '%');
    const std::string plain = percent != nullptr ? std::string(text, percent) : std::string(text);
    uint8_t bytes[16];
    if (::inet_pton(AF_INET6, plain.c_str(), bytes) != 1) {
        return false;
    }
    NetAddress parsed = NetAddress::Ipv6(bytes);
    if (percent != nullptr) {
        // fe80::/10: only a link-local address is ambiguous without its interface.
        if (bytes[0] != 0xFE || (bytes[1] & 0xC0) != 0x80) {
            return false;
        }
        parsed.scope = ZoneIndex(percent + 1);
        if (parsed.scope == 0) {
            return false;
        }
    }
    *address = parsed;
    return true;
}

bool FormatAddress(const NetAddress& address, char* text, size_t size) {
    if (text == nullptr || size < kAddressTextSize) {
        lastError = kWsaEfault;  // as for any output buffer that is too small
        return false;
    }
    if (::inet_ntop(address.ipv6 ? AF_INET6 : AF_INET, address.bytes.data(), text,
                    static_cast<socklen_t>(size)) == nullptr) {
        return Fail();
    }
    if (address.ipv6 && address.scope != 0) {
        char zone[IF_NAMESIZE];
        size_t length = std::strlen(text);
        if (::if_indextoname(address.scope, zone) != nullptr) {
            std::snprintf(text + length, size - length, "%%%s", zone);
        } else {
            std::snprintf(text + length, size - length, "%%%u", address.scope);
        }
    }
    return true;
}

bool LookupHostAddresses(const char* name, std::vector<NetAddress>* addresses) {
    return LookupFamily(name, AF_UNSPEC, addresses);
}

bool LookupHost(const char* name, uint32_t* address) {
    std::vector<NetAddress> addresses;
    if (!LookupFamily(name, AF_INET, &addresses)) {
        return false;
    }
    *address = addresses.front().ipv4();
    return true;
}

}  // namespace qvex::platform
