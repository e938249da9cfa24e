#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace qvex::platform {

// The echo service of ping and traceroute: one ICMP echo at a time, with an optional
// time-to-live and a time-out. Built on an ICMP datagram ("ping") socket where the system
// allows one to this user, else on a raw ICMP socket; when neither opens the service is
// not there at all, exactly as when the designed library is missing.
//
// A handle is the system's descriptor plus one, so that 0 can never be a real handle.
using IcmpHandle = int;
inline constexpr IcmpHandle kNoIcmp = 0;

// Echo statuses: the designed IP status values, so that every system reports alike.
inline constexpr uint32_t kIpSuccess = 0;
inline constexpr uint32_t kIpDestNetUnreachable = 11002;
inline constexpr uint32_t kIpDestHostUnreachable = 11003;
inline constexpr uint32_t kIpDestProtUnreachable = 11004;
inline constexpr uint32_t kIpDestPortUnreachable = 11005;
inline constexpr uint32_t kIpPacketTooBig = 11009;
inline constexpr uint32_t kIpReqTimedOut = 11010;
inline constexpr uint32_t kIpBadRoute = 11012;
inline constexpr uint32_t kIpTtlExpiredTransit = 11013;
inline constexpr uint32_t kIpTtlExpiredReassem = 11014;
inline constexpr uint32_t kIpParamProblem = 11015;
inline constexpr uint32_t kIpGeneralFailure = 11050;

// The most echo data one request carries (an IPv4 datagram of 65,535 bytes less the IP
// and ICMP headers).
inline constexpr uint16_t kMaxEchoData = 65507;

// What one echo brought back. A default reply is a failure, never a success, so a reply
// that nobody filled in cannot be taken for an answer.
struct EchoReply {
    uint32_t address = 0;  // who answered, the target or a router (network order)
    uint32_t status = kIpGeneralFailure;
    uint32_t roundTripTime = 0;  // milliseconds
    uint16_t dataSize = 0;       // echo data bytes in the reply
    uint8_t ttl = 0;             // the reply's own time-to-live or hop limit (echo replies only)
};

enum class IcmpSocketKind {
    None,
    Datagram,
    Raw,
};

// A new echo handle; kNoIcmp when neither kind of socket can be opened.
[[nodiscard]] IcmpHandle IcmpCreateFile();
void IcmpCloseHandle(IcmpHandle handle);
// Sends one echo request carrying `data` to `destination` (network order) with the given
// time-to-live (0: the system's default) and waits up to `timeout` milliseconds for what
// answers it. Returns 1 when an ICMP message answered this echo (an echo reply or an
// error such as "TTL expired in transit" or "net unreachable"), 0 when none did (time-out,
// a send the system refused, a bad argument). `reply` is filled in completely either way.
// Several handles may be used at once by several threads; one handle by one thread.
[[nodiscard]] uint32_t IcmpSendEcho(IcmpHandle handle, uint32_t destination, const void* data,
                                    uint16_t size, uint8_t ttl, uint32_t timeout, EchoReply* reply);
// The same for IPv6 (RFC 4443 echo): a handle of its own, and the hop limit in place of the
// time-to-live; who answered is `*answerer` (reply->address stays 0). A handle of one
// family cannot send to the other.
[[nodiscard]] IcmpHandle Icmp6CreateFile();
[[nodiscard]] uint32_t Icmp6SendEcho(IcmpHandle handle, const NetAddress& destination,
                                     const void* data, uint16_t size, uint8_t hopLimit,
                                     uint32_t timeout, EchoReply* reply, NetAddress* answerer);
// Which kind of socket a handle uses (None for kNoIcmp or a closed handle).
[[nodiscard]] IcmpSocketKind IcmpSocketKindOf(IcmpHandle handle);
// Whether this process can open an echo handle now.
[[nodiscard]] bool IcmpAvailable();

// A host as the name service lists it: its official name and its first IPv4 address.
struct NameServiceEntry {
    std::string name;
    uint32_t address = 0;  // network order
};

// Forward and reverse lookups by the system's name service (hosts file, DNS, ...). On
// failure the thread's last socket error holds the name service's reason: 11001
// (WSAHOST_NOT_FOUND), 11002 (WSATRY_AGAIN), 11003 (WSANO_RECOVERY) or 11004 (WSANO_DATA:
// the name or address is known but has no entry of the kind asked for).
[[nodiscard]] bool LookupHostByName(const char* name, NameServiceEntry* entry);
[[nodiscard]] bool LookupHostByAddress(uint32_t address, NameServiceEntry* entry);
// The official name of an IPv6 address, from the same name service with the same failure
// codes (a zone plays no part).
[[nodiscard]] bool LookupHostByIpv6Address(const NetAddress& address, std::string* name);

}  // namespace qvex::platform
