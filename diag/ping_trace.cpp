#include "diag/ping_trace.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

#include "log/log_sink.h"
#include "platform/socket.h"

namespace qvex {
namespace {

// The name service knows the address but has no name for it: worth asking again for the
// next address. Any other failure (no server, no answer) would only make every later hop
// wait for it too.
constexpr int kWsaNoData = 11004;

constexpr const char* kStatusTexts[] = {"", "<timed out>", "<net unreachable>", "<aborted>"};

[[gnu::format(printf, 1, 2)]] std::string Printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

std::string Dotted(const platform::NetAddress& address) {
    char text[platform::kAddressTextSize];
    if (!platform::FormatAddress(address, text, sizeof text)) {
        return std::string();
    }
    return text;
}

// One echo's answer, and who gave it (an ICMPv6 echo's answerer comes beside the reply).
struct Answer {
    platform::EchoReply reply;
    platform::NetAddress from;
};

// The echo handle for the target's family; for an IPv6 target that this process may not
// send ICMPv6 echoes to, kNoIcmp and the line that says so.
platform::IcmpHandle OpenEcho(const DiagRun& run, const ResolvedHost& target) {
    if (!target.ipv6) {
        return run.icmp.createFile();
    }
    platform::IcmpHandle handle = run.icmp.createFile6 ? run.icmp.createFile6() : platform::kNoIcmp;
    if (handle == platform::kNoIcmp) {
        logExt("*** ICMPv6 echo is not available to this process");
    }
    return handle;
}

std::string TitleOf(const ResolvedHost& host) {
    return Printf("%s [%s]", host.name.c_str(), host.dotted.c_str());
}

// A host text that cannot resolve; the run ends after this.
void ReportUnresolved(const std::string& hostText, const DiagRun& run) {
    std::string title = Printf("Unable to resolve %s", hostText.c_str());
    run.observer.OnTitle(title);
    logExt("*** ", title.c_str());
}

// One echo with the fixed data. The reply is cleared first and a send that reports no answer
// never counts as a success, so a failed send is never read as the reply before it.
Answer Echo(const DiagRun& run, platform::IcmpHandle handle, const ResolvedHost& target,
            uint8_t ttl) {
    Answer answer{};
    platform::EchoReply& reply = answer.reply;
    uint32_t replies =
        target.ipv6 ? run.icmp.sendEcho6(handle, target.address6, kEchoData, sizeof kEchoData, ttl,
                                         run.echoTimeout, &reply, &answer.from)
                    : run.icmp.sendEcho(handle, target.address, kEchoData, sizeof kEchoData, ttl,
                                        run.echoTimeout, &reply);
    if (replies == 0 && reply.status == platform::kIpSuccess) {
        reply.status = platform::kIpGeneralFailure;
    }
    if (!target.ipv6) {
        answer.from = reply.address;
    }
    return answer;
}

bool Stopped(const DiagRun& run) {
    return run.stop.load(std::memory_order_relaxed);
}

void PingRowAndLog(const DiagRun& run, const ResolvedHost& target, const Answer& answer) {
    const platform::EchoReply& reply = answer.reply;
    PingRow row;
    if (reply.status == platform::kIpSuccess) {
        row.address = Dotted(answer.from);
        row.time = std::to_string(reply.roundTripTime);
        row.ttl = std::to_string(reply.ttl);
        run.observer.OnPingRow(row);
        logExt(Printf("reply from %s: %u data bytes, %u ms, TTL=%u", target.dotted.c_str(),
                      unsigned{reply.dataSize}, reply.roundTripTime, unsigned{reply.ttl})
                   .c_str());
    } else if (reply.status == platform::kIpDestNetUnreachable) {
        row.address = Dotted(answer.from);
        row.status = StatusText(EchoResult::NetUnreachable);
        run.observer.OnPingRow(row);
        logExt(Printf("reply from %s: %s", row.address.c_str(), row.status.c_str()).c_str());
    } else {
        row.status = StatusText(EchoResult::TimedOut);
        run.observer.OnPingRow(row);
        logExt("*** ", row.status.c_str());
    }
}

// A hop that ends in a status text: the row and "#%02d: %s".
void HopStatus(const DiagRun& run, TraceRow& row, EchoResult result) {
    row.host = StatusText(result);
    run.observer.OnTraceRow(row);
    logExt(Printf("#%02d: %s", row.hop, row.host.c_str()).c_str());
}

enum class HopEnd {
    Next,
    Reached,
    Stop,
};

HopEnd TraceHop(const DiagRun& run, platform::IcmpHandle handle, const ResolvedHost& target,
                int hop, bool& reverseLookup) {
    TraceRow row;
    row.hop = hop;
    bool responded = false;
    bool reached = false;
    platform::NetAddress lastAddress;
    for (std::string& time : row.times) {
        // Also between the probes of a hop, so a stop takes effect within one time-out.
        if (Stopped(run)) {
            HopStatus(run, row, EchoResult::Aborted);
            return HopEnd::Stop;
        }
        const Answer answer = Echo(run, handle, target, static_cast<uint8_t>(hop));
        const platform::EchoReply& reply = answer.reply;
        if (reply.status == platform::kIpTtlExpiredTransit ||
            reply.status == platform::kIpSuccess) {
            responded = true;
            reached = reached || reply.status == platform::kIpSuccess;
            lastAddress = answer.from;
            time = std::to_string(reply.roundTripTime);
        } else if (reply.status == platform::kIpDestNetUnreachable) {
            HopStatus(run, row, EchoResult::NetUnreachable);
            return HopEnd::Stop;
        } else {
            time = "*";
        }
    }
    if (!responded) {
        HopStatus(run, row, EchoResult::TimedOut);
        return HopEnd::Next;
    }
    const ResolvedHost router = NameAddress(lastAddress, run.names, reverseLookup);
    row.host = TitleOf(router);
    run.observer.OnTraceRow(row);
    logExt(Printf("#%02d: %4s %4s %4s %s [%s]", hop, row.times[0].c_str(), row.times[1].c_str(),
                  row.times[2].c_str(), router.name.c_str(), router.dotted.c_str())
               .c_str());
    return reached ? HopEnd::Reached : HopEnd::Next;
}

// The official name of `address` by reverse lookup while the switch is on (an IPv4 host also
// takes its entry's first address); `fallbackName` and the address itself otherwise.
ResolvedHost ReverseLookup(const platform::NetAddress& address, const std::string& fallbackName,
                           const NameService& names, bool& reverseLookup) {
    ResolvedHost host{fallbackName, address.ipv4(), Dotted(address), address.ipv6,
                      address.ipv6 ? address : platform::NetAddress()};
    if (!reverseLookup) {
        return host;
    }
    bool named = false;
    if (address.ipv6) {
        std::string name;
        named = names.byAddress6 && names.byAddress6(address, &name);
        if (named) {
            host.name = std::move(name);
        }
    } else {
        platform::NameServiceEntry entry;
        named = names.byAddress(address.ipv4(), &entry);
        if (named) {
            host = {entry.name, entry.address, Dotted(entry.address), false, {}};
        }
    }
    if (!named && platform::LastSocketError() != kWsaNoData) {
        reverseLookup = false;
    }
    return host;
}

}  // namespace

const char* StatusText(EchoResult result) {
    return kStatusTexts[static_cast<int>(result)];
}

IcmpBinding LoadIcmpBinding() {
    IcmpBinding binding;
    binding.createFile = platform::IcmpCreateFile;
    binding.sendEcho = platform::IcmpSendEcho;
    binding.closeHandle = platform::IcmpCloseHandle;
    binding.loaded = platform::IcmpAvailable();
    binding.createFile6 = platform::Icmp6CreateFile;
    binding.sendEcho6 = platform::Icmp6SendEcho;
    return binding;
}

bool LookupIpv6Host(const char* name, platform::NetAddress* address) {
    std::vector<platform::NetAddress> addresses;
    if (!platform::LookupHostAddresses(name, &addresses)) {
        return false;
    }
    for (const platform::NetAddress& found : addresses) {
        if (found.ipv6) {
            *address = found;
            return true;
        }
    }
    platform::SetLastSocketError(kWsaNoData);
    return false;
}

ResolvedHost NameAddress(const platform::NetAddress& address, const NameService& names,
                         bool& reverseLookup) {
    return ReverseLookup(address, Dotted(address), names, reverseLookup);
}

std::optional<ResolvedHost> ResolveHostText(const std::string& text, const NameService& names,
                                            bool& reverseLookup) {
    if (text.size() > kMaxHostText || text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        uint32_t address = platform::ParseDottedAddress(text.c_str());
        if (address == platform::kAddressNone) {
            return std::nullopt;
        }
        return ReverseLookup(address, text, names, reverseLookup);
    }
    if (text.find(':') != std::string::npos) {
        platform::NetAddress address;
        if (!platform::ParseIpv6Address(text.c_str(), &address)) {
            return std::nullopt;
        }
        return ReverseLookup(address, text, names, reverseLookup);
    }
    platform::NameServiceEntry entry;
    if (!names.byName(text.c_str(), &entry)) {
        platform::NetAddress address;
        if (platform::LastSocketError() == kWsaNoData && names.byName6 &&
            names.byName6(text.c_str(), &address)) {
            return ResolvedHost{text, 0, Dotted(address), true, address};
        }
        return std::nullopt;
    }
    return ResolvedHost{entry.name, entry.address, Dotted(entry.address), false, {}};
}

void RunPing(const std::string& hostText, const DiagRun& run) {
    bool reverseLookup = true;
    std::optional<ResolvedHost> target = ResolveHostText(hostText, run.names, reverseLookup);
    if (!target) {
        ReportUnresolved(hostText, run);
        return;
    }
    std::string title = TitleOf(*target);
    run.observer.OnTitle(title);
    logExt(Printf("PINGing %s with 32 bytes", title.c_str()).c_str());

    platform::IcmpHandle handle = OpenEcho(run, *target);
    if (target->ipv6 && handle == platform::kNoIcmp) {
        return;
    }
    int sent = 0;
    for (; sent < kPingEchoes && !Stopped(run); ++sent) {
        PingRowAndLog(run, *target, Echo(run, handle, *target, 0));
    }
    if (sent < kPingEchoes) {
        PingRow row;
        row.status = StatusText(EchoResult::Aborted);
        run.observer.OnPingRow(row);
        logExt("*** ", row.status.c_str());
    }
    run.icmp.closeHandle(handle);
}

void RunTraceroute(const std::string& hostText, const DiagRun& run) {
    bool reverseLookup = true;
    std::optional<ResolvedHost> target = ResolveHostText(hostText, run.names, reverseLookup);
    if (!target) {
        ReportUnresolved(hostText, run);
        return;
    }
    std::string title = TitleOf(*target);
    run.observer.OnTitle(title);
    logExt(Printf("Tracing route to %s", title.c_str()).c_str());

    platform::IcmpHandle handle = OpenEcho(run, *target);
    if (target->ipv6 && handle == platform::kNoIcmp) {
        return;
    }
    for (int hop = 1; hop <= kTraceMaxHops; ++hop) {
        if (TraceHop(run, handle, *target, hop, reverseLookup) != HopEnd::Next) {
            break;
        }
    }
    run.icmp.closeHandle(handle);
}

}  // namespace qvex
