#include "platform/icmp.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/socket.h"

namespace qvex::platform {
namespace {

// ICMP message types and codes (RFC 792).
constexpr uint8_t kEchoReplyType = 0;
constexpr uint8_t kDestUnreachableType = 3;
constexpr uint8_t kEchoRequestType = 8;
constexpr uint8_t kTimeExceededType = 11;
constexpr uint8_t kParameterProblemType = 12;

// The raw socket's receive filter (linux/icmp.h): a set bit drops that message type. Only
// echo replies are read as data; errors come through the error queue.
constexpr int kIcmpFilterOption = 1;
struct IcmpFilter {
    uint32_t blocked;
};

// ICMPv6 message types (RFC 4443).
constexpr uint8_t kIcmp6DestUnreachableType = 1;
constexpr uint8_t kIcmp6PacketTooBigType = 2;
constexpr uint8_t kIcmp6TimeExceededType = 3;
constexpr uint8_t kIcmp6ParameterProblemType = 4;
constexpr uint8_t kIcmp6EchoRequestType = 128;
constexpr uint8_t kIcmp6EchoReplyType = 129;

constexpr size_t kIcmpHeaderSize = 8;
constexpr size_t kReceiveBufferSize = 65536;

constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaNoData = 11004;

int Descriptor(IcmpHandle handle) {
    return handle - 1;
}

// Sequence numbers are unique in the process, so a late answer to an earlier echo (of this
// handle or of another one running at the same time) is never taken for the current one.
std::atomic<uint16_t> nextSequence{1};

// A raw socket sees every ICMP message of the host, so its echoes carry the process's own
// identifier. A datagram socket gets its identifier from the system, which also delivers it
// only what matches it.
uint16_t RawIdentifier() {
    return static_cast<uint16_t>(::getpid());
}

uint16_t ReadShort(const unsigned char* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void WriteShort(unsigned char* bytes, uint16_t value) {
    bytes[0] = static_cast<unsigned char>(value >> 8);
    bytes[1] = static_cast<unsigned char>(value & 0xFF);
}

// The Internet checksum (RFC 1071) over the message, its checksum field being zero.
uint16_t Checksum(const unsigned char* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t index = 0; index + 1 < length; index += 2) {
        sum += ReadShort(bytes + index);
    }
    if (length % 2 != 0) {
        sum += static_cast<uint32_t>(bytes[length - 1]) << 8;
    }
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

int SocketType(int descriptor) {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        return -1;
    }
    return type;
}

bool SetOption(int descriptor, int level, int option, int value) {
    return ::setsockopt(descriptor, level, option, &value, sizeof value) == 0;
}

// Both kinds report ICMP errors for our echoes through the error queue, and the datagram
// kind hands over each reply's time-to-live beside its data.
bool PrepareSocket(int descriptor, bool raw) {
    if (!SetOption(descriptor, IPPROTO_IP, IP_RECVERR, 1)) {
        return false;
    }
    if (raw) {
        IcmpFilter filter{~(1u << kEchoReplyType)};
        return ::setsockopt(descriptor, SOL_RAW, kIcmpFilterOption, &filter, sizeof filter) == 0;
    }
    return SetOption(descriptor, IPPROTO_IP, IP_RECVTTL, 1);
}

// The same for ICMPv6: errors through the error queue, the hop limit beside each reply
// (a raw ICMPv6 socket reads no IP header), and on a raw socket echo replies alone as data.
bool PrepareSocket6(int descriptor, bool raw) {
    if (!SetOption(descriptor, IPPROTO_IPV6, IPV6_RECVERR, 1) ||
        !SetOption(descriptor, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1)) {
        return false;
    }
    if (raw) {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(kIcmp6EchoReplyType, &filter);
        return ::setsockopt(descriptor, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) == 0;
    }
    return true;
}

int OpenIcmpSocket(int type, bool ipv6 = false) {
    int descriptor = ipv6 ? ::socket(AF_INET6, type | SOCK_CLOEXEC, IPPROTO_ICMPV6)
                          : ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (descriptor < 0) {
        return -1;
    }
    if (!(ipv6 ? PrepareSocket6(descriptor, type == SOCK_RAW)
               : PrepareSocket(descriptor, type == SOCK_RAW))) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

// A send the system refused before anything left the host.
uint32_t StatusOfSendError(int error) {
    switch (error) {
        case ENETUNREACH:
            return kIpDestNetUnreachable;
        case EHOSTUNREACH:
            return kIpDestHostUnreachable;
        case EMSGSIZE:
            return kIpPacketTooBig;
        default:
            return kIpGeneralFailure;
    }
}

// The designed status of an ICMP error message (RFC 792, RFC 1812 5.2.7.1 for the codes).
uint32_t StatusOfIcmpError(uint8_t type, uint8_t code) {
    switch (type) {
        case kDestUnreachableType:
            switch (code) {
                case 0:   // net unreachable
                case 6:   // destination network unknown
                case 9:   // network administratively prohibited
                case 11:  // network unreachable for the type of service
                    return kIpDestNetUnreachable;
                case 2:
                    return kIpDestProtUnreachable;
                case 3:
                    return kIpDestPortUnreachable;
                case 4:  // fragmentation needed and DF set
                    return kIpPacketTooBig;
                case 5:
                    return kIpBadRoute;
                default:
                    return kIpDestHostUnreachable;
            }
        case kTimeExceededType:
            return code == 0 ? kIpTtlExpiredTransit : kIpTtlExpiredReassem;
        case kParameterProblemType:
            return kIpParamProblem;
        default:
            return kIpGeneralFailure;
    }
}

// The ICMPv6 error messages as the designed statuses (RFC 4443 section 3).
uint32_t StatusOfIcmp6Error(uint8_t type, uint8_t code) {
    switch (type) {
        case kIcmp6DestUnreachableType:
            switch (code) {
                case 0:  // no route to destination
                case 1:  // administratively prohibited
                case 5:  // source address failed policy
                case 6:  // reject route to destination
                    return kIpDestNetUnreachable;
                case 4:
                    return kIpDestPortUnreachable;
                default:
                    return kIpDestHostUnreachable;
            }
        case kIcmp6PacketTooBigType:
            return kIpPacketTooBig;
        case kIcmp6TimeExceededType:
            return code == 0 ? kIpTtlExpiredTransit : kIpTtlExpiredReassem;
        case kIcmp6ParameterProblemType:
            return kIpParamProblem;
        default:
            return kIpGeneralFailure;
    }
}

NetAddress Ipv6Of(const sockaddr_in6& socketAddress) {
    uint8_t bytes[16];
    std::memcpy(bytes, &socketAddress.sin6_addr, sizeof bytes);
    NetAddress address = NetAddress::Ipv6(bytes);
    address.scope = socketAddress.sin6_scope_id;
    return address;
}

struct PendingEcho {
    int descriptor;
    bool raw;
    uint16_t identifier;
    uint16_t sequence;
    // Where an ICMPv6 answer's address goes; null for ICMP.
    NetAddress* answerer = nullptr;
    bool ipv6() const { return answerer != nullptr; }
};

// Whether the ICMP header at `header` (an echo request or reply) belongs to our echo.
bool IsOurs(const PendingEcho& echo, const unsigned char* header, uint8_t type) {
    if (header[0] != type || ReadShort(header + 6) != echo.sequence) {
        return false;
    }
    return !echo.raw || ReadShort(header + 4) == echo.identifier;
}

// Reads the error queue; true when it held the answer to our echo.
bool ReadQueuedError(const PendingEcho& echo, EchoReply* reply) {
    for (;;) {
        unsigned char payload[576];
        unsigned char control[512];
        iovec part{payload, sizeof payload};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t length = ::recvmsg(echo.descriptor, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (length < 0) {
            // Queue empty: also clear a pending socket error, so poll stops reporting it.
            int ignored = 0;
            socklen_t size = sizeof ignored;
            ::getsockopt(echo.descriptor, SOL_SOCKET, SO_ERROR, &ignored, &size);
            return false;
        }
        // The payload is the ICMP header of the echo request that the error quotes.
        if (static_cast<size_t>(length) < kIcmpHeaderSize ||
            !IsOurs(echo, payload, echo.ipv6() ? kIcmp6EchoRequestType : kEchoRequestType)) {
            continue;
        }
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
             item = CMSG_NXTHDR(&message, item)) {
            const bool ours =
                echo.ipv6() ? item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_RECVERR
                            : item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_RECVERR;
            if (!ours) {
                continue;
            }
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(item), sizeof error);
            if (error.ee_origin != (echo.ipv6() ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP)) {
                continue;
            }
            if (echo.ipv6()) {
                sockaddr_in6 offender{};
                std::memcpy(&offender, CMSG_DATA(item) + sizeof error, sizeof offender);
                *echo.answerer = Ipv6Of(offender);
                reply->status = StatusOfIcmp6Error(error.ee_type, error.ee_code);
                return true;
            }
            sockaddr_in offender{};
            std::memcpy(&offender, CMSG_DATA(item) + sizeof error, sizeof offender);
            reply->address = offender.sin_addr.s_addr;
            reply->status = StatusOfIcmpError(error.ee_type, error.ee_code);
            return true;
        }
    }
}

// Reads the data queue; true when it held the echo reply to our echo.
bool ReadQueuedReply(const PendingEcho& echo, EchoReply* reply) {
    std::vector<unsigned char> buffer(kReceiveBufferSize);
    for (;;) {
        unsigned char control[128];
        iovec part{buffer.data(), buffer.size()};
        sockaddr_in6 source{};  // room for either family
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t length = ::recvmsg(echo.descriptor, &message, MSG_DONTWAIT);
        if (length < 0) {
            return false;
        }
        size_t size = static_cast<size_t>(length);
        size_t offset = 0;
        int ttl = 0;
        if (echo.ipv6()) {
            for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
                 item = CMSG_NXTHDR(&message, item)) {
                if (item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_HOPLIMIT) {
                    std::memcpy(&ttl, CMSG_DATA(item), sizeof ttl);
                }
            }
        } else if (echo.raw) {
            // A raw socket reads the IP header too: its length, then the TTL at byte 8.
            if (size < 20) {
                continue;
            }
            offset = static_cast<size_t>(buffer[0] & 0x0F) * 4;
            ttl = buffer[8];
        } else {
            for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
                 item = CMSG_NXTHDR(&message, item)) {
                if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_TTL) {
                    std::memcpy(&ttl, CMSG_DATA(item), sizeof ttl);
                }
            }
        }
        if (size < offset + kIcmpHeaderSize ||
            !IsOurs(echo, buffer.data() + offset,
                    echo.ipv6() ? kIcmp6EchoReplyType : kEchoReplyType)) {
            continue;
        }
        if (echo.ipv6()) {
            *echo.answerer = Ipv6Of(source);
        } else {
            reply->address = reinterpret_cast<const sockaddr_in*>(&source)->sin_addr.s_addr;
        }
        reply->status = kIpSuccess;
        reply->dataSize = static_cast<uint16_t>(size - offset - kIcmpHeaderSize);
        reply->ttl = static_cast<uint8_t>(ttl);
        return true;
    }
}

using Clock = std::chrono::steady_clock;

uint32_t ElapsedMilliseconds(Clock::time_point start) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return static_cast<uint32_t>(elapsed.count());
}

// Waits for the answer to `echo` until the time-out has passed. What is already queued is
// read before the clock is looked at, so an answer that came in time is never lost to a
// late wake-up.
uint32_t AwaitAnswer(const PendingEcho& echo, Clock::time_point start, uint32_t timeout,
                     EchoReply* reply) {
    for (;;) {
        uint32_t elapsed = ElapsedMilliseconds(start);
        int wait = elapsed < timeout ? static_cast<int>(timeout - elapsed) : 0;
        pollfd waiting{echo.descriptor, POLLIN, 0};
        int ready = ::poll(&waiting, 1, wait);
        if (ready < 0 && errno != EINTR) {
            reply->status = kIpGeneralFailure;
            return 0;
        }
        if (ready > 0 && (((waiting.revents & POLLERR) != 0 && ReadQueuedError(echo, reply)) ||
                          ((waiting.revents & POLLIN) != 0 && ReadQueuedReply(echo, reply)))) {
            reply->roundTripTime = ElapsedMilliseconds(start);
            return 1;
        }
        if (wait == 0) {
            reply->status = kIpReqTimedOut;
            return 0;
        }
    }
}

bool MapLookupFailure(int hostError) {
    switch (hostError) {
        case HOST_NOT_FOUND:
            SetLastSocketError(kWsaHostNotFound);
            break;
        case TRY_AGAIN:
            SetLastSocketError(kWsaTryAgain);
            break;
        case NO_DATA:
            SetLastSocketError(kWsaNoData);
            break;
        case NETDB_INTERNAL:
            SetLastSocketError(TranslateSystemError(errno));
            break;
        default:
            SetLastSocketError(kWsaNoRecovery);
            break;
    }
    return false;
}

// Takes the official name and the first address of a name-service answer of `family`; an
// IPv6 answer leaves the entry's (IPv4) address alone.
bool TakeEntry(const hostent* host, int family, NameServiceEntry* entry) {
    const int length = family == AF_INET6 ? 16 : 4;
    if (host->h_addrtype != family || host->h_length != length || host->h_addr_list[0] == nullptr) {
        return MapLookupFailure(NO_DATA);
    }
    entry->name = host->h_name != nullptr ? host->h_name : "";
    if (family == AF_INET) {
        std::memcpy(&entry->address, host->h_addr_list[0], sizeof entry->address);
    }
    return true;
}

// Runs a reentrant name-service call, growing its scratch buffer while it asks for more.
template <typename Call>
bool RunLookup(Call call, NameServiceEntry* entry, int family = AF_INET) {
    std::vector<char> scratch(1024);
    for (;;) {
        hostent host{};
        hostent* result = nullptr;
        int hostError = 0;
        int status = call(&host, scratch.data(), scratch.size(), &result, &hostError);
        if (status == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (result == nullptr) {
            if (status != 0 && hostError == 0) {
                errno = status;
                hostError = NETDB_INTERNAL;
            }
            return MapLookupFailure(hostError);
        }
        return TakeEntry(result, family, entry);
    }
}

// One echo of either family; the destination's family must be the handle's.
uint32_t SendEcho(IcmpHandle handle, const NetAddress& destination, const void* data, uint16_t size,
                  uint8_t ttl, uint32_t timeout, EchoReply* reply, NetAddress* answerer) {
    if (reply == nullptr) {
        return 0;
    }
    *reply = EchoReply{};
    IcmpSocketKind kind = IcmpSocketKindOf(handle);
    if (kind == IcmpSocketKind::None || (data == nullptr && size > 0) || size > kMaxEchoData) {
        return 0;
    }
    PendingEcho echo{Descriptor(handle), kind == IcmpSocketKind::Raw, RawIdentifier(),
                     nextSequence.fetch_add(1, std::memory_order_relaxed),
                     destination.ipv6 ? answerer : nullptr};
    // -1 puts the system's default time-to-live back after a trace.
    if (!(echo.ipv6()
              ? SetOption(echo.descriptor, IPPROTO_IPV6, IPV6_UNICAST_HOPS, ttl == 0 ? -1 : ttl)
              : SetOption(echo.descriptor, IPPROTO_IP, IP_TTL, ttl == 0 ? -1 : ttl))) {
        return 0;
    }

    std::vector<unsigned char> packet(kIcmpHeaderSize + size);
    packet[0] = echo.ipv6() ? kIcmp6EchoRequestType : kEchoRequestType;
    WriteShort(&packet[4], echo.identifier);
    WriteShort(&packet[6], echo.sequence);
    if (size > 0) {
        std::memcpy(&packet[kIcmpHeaderSize], data, size);
    }
    if (echo.raw && !echo.ipv6()) {
        // The system fills in identifier and checksum only for datagram sockets (and the
        // checksum of every ICMPv6 message, which covers a pseudo-header it alone knows).
        WriteShort(&packet[2], Checksum(packet.data(), packet.size()));
    }

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = destination.ipv4();
    sockaddr_in6 target6{};
    target6.sin6_family = AF_INET6;
    std::memcpy(&target6.sin6_addr, destination.bytes.data(), sizeof target6.sin6_addr);
    target6.sin6_scope_id = destination.scope;
    const auto* to = echo.ipv6() ? reinterpret_cast<const sockaddr*>(&target6)
                                 : reinterpret_cast<const sockaddr*>(&target);
    const socklen_t toLength = echo.ipv6() ? sizeof target6 : sizeof target;
    Clock::time_point start = Clock::now();
    ssize_t sent;
    do {
        sent = ::sendto(echo.descriptor, packet.data(), packet.size(), MSG_NOSIGNAL, to, toLength);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        reply->status = StatusOfSendError(errno);
        return 0;
    }
    return AwaitAnswer(echo, start, timeout, reply);
}

}  // namespace

IcmpHandle IcmpCreateFile() {
    int descriptor = OpenIcmpSocket(SOCK_DGRAM);
    if (descriptor < 0) {
        descriptor = OpenIcmpSocket(SOCK_RAW);
    }
    return descriptor < 0 ? kNoIcmp : descriptor + 1;
}

void IcmpCloseHandle(IcmpHandle handle) {
    if (handle > kNoIcmp) {
        ::close(Descriptor(handle));
    }
}

IcmpSocketKind IcmpSocketKindOf(IcmpHandle handle) {
    if (handle <= kNoIcmp) {
        return IcmpSocketKind::None;
    }
    switch (SocketType(Descriptor(handle))) {
        case SOCK_DGRAM:
            return IcmpSocketKind::Datagram;
        case SOCK_RAW:
            return IcmpSocketKind::Raw;
        default:
            return IcmpSocketKind::None;
    }
}

bool IcmpAvailable() {
    IcmpHandle handle = IcmpCreateFile();
    IcmpCloseHandle(handle);
    return handle != kNoIcmp;
}

uint32_t IcmpSendEcho(IcmpHandle handle, uint32_t destination, const void* data, uint16_t size,
                      uint8_t ttl, uint32_t timeout, EchoReply* reply) {
    return SendEcho(handle, destination, data, size, ttl, timeout, reply, nullptr);
}

IcmpHandle Icmp6CreateFile() {
    int descriptor = OpenIcmpSocket(SOCK_DGRAM, true);
    if (descriptor < 0) {
        descriptor = OpenIcmpSocket(SOCK_RAW, true);
    }
    return descriptor < 0 ? kNoIcmp : descriptor + 1;
}

uint32_t Icmp6SendEcho(IcmpHandle handle, const NetAddress& destination, const void* data,
                       uint16_t size, uint8_t hopLimit, uint32_t timeout, EchoReply* reply,
                       NetAddress* answerer) {
    if (!destination.ipv6 || answerer == nullptr) {
        if (reply != nullptr) {
            *reply = EchoReply{};
        }
        return 0;
    }
    *answerer = NetAddress();
    return SendEcho(handle, destination, data, size, hopLimit, timeout, reply, answerer);
}

bool LookupHostByName(const char* name, NameServiceEntry* entry) {
    if (name == nullptr || entry == nullptr) {
        SetLastSocketError(kWsaEfault);
        return false;
    }
    return RunLookup(
        [name](hostent* host, char* scratch, size_t size, hostent** result, int* hostError) {
            return ::gethostbyname_r(name, host, scratch, size, result, hostError);
        },
        entry);
}

bool LookupHostByAddress(uint32_t address, NameServiceEntry* entry) {
    if (entry == nullptr) {
        SetLastSocketError(kWsaEfault);
        return false;
    }
    in_addr internet{};
    internet.s_addr = address;
    return RunLookup(
        [&internet](hostent* host, char* scratch, size_t size, hostent** result, int* hostError) {
            return ::gethostbyaddr_r(&internet, sizeof internet, AF_INET, host, scratch, size,
                                     result, hostError);
        },
        entry);
}

// gethostbyaddr_r and not getnameinfo: getnameinfo gives one code for "no such address" and
// "no name for it", and reverse lookups go on only after the second (WSANO_DATA).
bool LookupHostByIpv6Address(const NetAddress& address, std::string* name) {
    if (name == nullptr || !address.ipv6) {
        SetLastSocketError(kWsaEfault);
        return false;
    }
    in6_addr internet{};
    std::memcpy(&internet, address.bytes.data(), sizeof internet);
    NameServiceEntry entry;
    if (!RunLookup(
            [&internet](hostent* host, char* scratch, size_t size, hostent** result,
                        int* hostError) {
                return ::gethostbyaddr_r(&internet, sizeof internet, AF_INET6, host, scratch, size,
                                         result, hostError);
            },
            &entry, AF_INET6)) {
        return false;
    }
    *name = std::move(entry.name);
    return true;
}

}  // namespace qvex::platform
