#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/icmp.h"

namespace qvex {

// Every echo carries these 32 bytes: the text and its terminating NUL.
inline constexpr char kEchoData[] = "abcdefghijklmnopqrstuvwxyz01234";
static_assert(sizeof kEchoData == 32);
inline constexpr uint32_t kEchoTimeout = 1000;  // milliseconds per echo
inline constexpr int kPingEchoes = 4;
inline constexpr int kTraceMaxHops = 30;
inline constexpr int kTraceProbes = 3;

// What one echo, ping or hop came to; indexes the status texts.
enum class EchoResult {
    Success,
    TimedOut,
    NetUnreachable,
    Aborted,
};
// "" for Success, "<timed out>", "<net unreachable>", "<aborted>".
[[nodiscard]] const char* StatusText(EchoResult result);

// The echo service's three entry points. `loaded` is false when the system offers no echo
// service to this process; ping and traceroute are then unavailable. Tests put their own
// functions in.
struct IcmpBinding {
    std::function<platform::IcmpHandle()> createFile;
    std::function<uint32_t(platform::IcmpHandle handle, uint32_t destination, const void* data,
                           uint16_t size, uint8_t ttl, uint32_t timeout,
                           platform::EchoReply* reply)>
        sendEcho;
    std::function<void(platform::IcmpHandle handle)> closeHandle;
    bool loaded = false;
    // ICMPv6 echo for IPv6 hosts; closeHandle closes its handles too. Empty, or a handle of
    // kNoIcmp: this process may not send ICMPv6 echoes.
    std::function<platform::IcmpHandle()> createFile6;
    std::function<uint32_t(platform::IcmpHandle handle, const platform::NetAddress& destination,
                           const void* data, uint16_t size, uint8_t hopLimit, uint32_t timeout,
                           platform::EchoReply* reply, platform::NetAddress* answerer)>
        sendEcho6;
};
// The system's echo service, bound once when the Host page starts.
[[nodiscard]] IcmpBinding LoadIcmpBinding();

// Forward and reverse name lookups; on failure the thread's last socket error says why
// (platform/icmp.h). The system's name service unless a test puts its own in.
// The first IPv6 address of a name (the system's resolver).
[[nodiscard]] bool LookupIpv6Host(const char* name, platform::NetAddress* address);

struct NameService {
    std::function<bool(const char* name, platform::NameServiceEntry* entry)> byName =
        platform::LookupHostByName;
    std::function<bool(uint32_t address, platform::NameServiceEntry* entry)> byAddress =
        platform::LookupHostByAddress;
    std::function<bool(const platform::NetAddress& address, std::string* name)> byAddress6 =
        platform::LookupHostByIpv6Address;
    // Asked when byName knows the name but has no IPv4 address for it (WSANO_DATA).
    std::function<bool(const char* name, platform::NetAddress* address)> byName6 = LookupIpv6Host;
};

// A host text as resolved for a run: the name to show and the address to send to.
struct ResolvedHost {
    std::string name;
    uint32_t address = 0;  // network order
    std::string dotted;    // the address as "a.b.c.d", or an IPv6 address's text
    // An IPv6 host: `address6` is where echoes go, over ICMPv6.
    bool ipv6 = false;
    platform::NetAddress address6;
    bool operator==(const ResolvedHost&) const = default;
};

// Longest host text that is looked up at all (RFC 1035 2.3.4 caps a name at 255 octets);
// longer text is unresolved without asking the name service.
inline constexpr size_t kMaxHostText = 255;

// Resolves the host text of a ping or trace. Text made only of digits and dots is a dotted
// address and text with a ":" an IPv6 address (with a zone when link-local), each named by a
// reverse lookup while `reverseLookup` is on (a lookup that fails for another reason than
// WSANO_DATA switches it off for the rest of the run) and by itself otherwise; anything else
// is looked up by name, and a name with IPv6 addresses alone is an IPv6 host. nullopt:
// unresolved (also empty, over-long or NUL-holding text and dotted or IPv6 text that is no
// address).
[[nodiscard]] std::optional<ResolvedHost> ResolveHostText(const std::string& text,
                                                          const NameService& names,
                                                          bool& reverseLookup);
// The name shown for an address that answered: while `reverseLookup` is on and the lookup
// succeeds, the reverse lookup's official name, and for IPv4 the first address of its entry;
// else the address's text.
[[nodiscard]] ResolvedHost NameAddress(const platform::NetAddress& address,
                                       const NameService& names, bool& reverseLookup);

// One row of the "Pinging" pane.
struct PingRow {
    std::string address;  // who replied, dotted; "" when nobody did
    std::string time;     // round-trip milliseconds of a reply
    std::string ttl;      // the reply's time-to-live
    std::string status;   // "" for a reply, else a status text
    bool operator==(const PingRow&) const = default;
};

// One row of the "Tracing Routes" pane.
struct TraceRow {
    int hop = 0;
    // Milliseconds per probe, "*" for a probe that got no usable answer, "" for one that was
    // not sent.
    std::array<std::string, kTraceProbes> times;
    std::string host;  // "name [address]" of the last answer, or a status text
    bool operator==(const TraceRow&) const = default;
};

// What a run tells its pane. Calls come on the worker's thread; the window turns each into
// a queued call on its own thread.
class DiagObserver {
  public:
    virtual ~DiagObserver() = default;
    // The pane's title: "name [address]" or "Unable to resolve ...".
    virtual void OnTitle(const std::string& /*title*/) {}
    virtual void OnPingRow(const PingRow& /*row*/) {}
    virtual void OnTraceRow(const TraceRow& /*row*/) {}
    // The worker has ended; its button can be enabled again.
    virtual void OnEnded() {}
};

// Everything one run works with. `stop` is read between echoes.
struct DiagRun {
    const IcmpBinding& icmp;
    const NameService& names;
    const std::atomic<bool>& stop;
    DiagObserver& observer;
    uint32_t echoTimeout = kEchoTimeout;
};

// The workers, run on the calling thread: each resolves the host text, tells the observer
// its title and rows, and writes every result line to the session log ("LogExt").
// Up to 4 echoes, none after the stop flag is seen.
void RunPing(const std::string& hostText, const DiagRun& run);
// Hops 1 to 30, 3 probes each with the hop as time-to-live, until the destination answers,
// a network is unreachable or the stop flag is seen.
void RunTraceroute(const std::string& hostText, const DiagRun& run);

}  // namespace qvex
