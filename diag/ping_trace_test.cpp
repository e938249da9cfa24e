#include "diag/ping_trace.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "tests/support/log_capture.h"

namespace qvex {
namespace {

using platform::EchoReply;
using Lines = std::vector<std::string>;

constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoData = 11004;

uint32_t Address(const char* dotted) {
    return platform::ParseDottedAddress(dotted);
}

// One scripted answer: the count returned and the reply written (none when `fill` is off).
struct Answer {
    uint32_t replies = 0;
    EchoReply reply;
    bool fill = true;
};

Answer Say(uint32_t status, const char* from, uint32_t ms = 0, uint8_t ttl = 0) {
    uint16_t size = status == platform::kIpSuccess ? 32 : 0;
    return {1, {Address(from), status, ms, size, ttl}};
}
Answer Ok(const char* from, uint32_t ms, uint8_t ttl = 64) {
    return Say(platform::kIpSuccess, from, ms, ttl);
}
Answer Hop(const char* from, uint32_t ms) {
    return Say(platform::kIpTtlExpiredTransit, from, ms);
}
const Answer kLost{0, {0, platform::kIpReqTimedOut, 0, 0, 0}};
constexpr char kText[] = "abcdefghijklmnopqrstuvwxyz01234";

// The echo and name services of one run, scripted, and everything the run reported.
struct FakeRun {
    FakeRun() {
        icmp.createFile = [this] { return ++handles; };
        icmp.sendEcho = [this](platform::IcmpHandle, uint32_t to, const void* data, uint16_t size,
                               uint8_t ttl, uint32_t timeout, EchoReply* reply) {
            ttls.push_back(ttl);
            requests.insert(std::to_string(to) + " " + std::to_string(timeout) + " " +
                            std::string(static_cast<const char*>(data), size));
            stop = stopAfter == ttls.size();
            Answer answer = script.empty() ? otherwise : script.front();
            if (!script.empty()) {
                script.pop_front();
            }
            if (answer.fill) {
                *reply = answer.reply;
            }
            return answer.replies;
        };
        icmp.closeHandle = [this](platform::IcmpHandle handle) { closed.push_back(handle); };
        names.byName = [this](const char* name, platform::NameServiceEntry* entry) {
            askedNames.push_back(name);
            return Find(byName, std::string(name), kHostNotFound, entry);
        };
        names.byAddress = [this](uint32_t address, platform::NameServiceEntry* entry) {
            askedAddresses.push_back(std::to_string(address));
            return Find(byAddress, address, reverseFailure, entry);
        };
        names.byAddress6 = [this](const platform::NetAddress& address, std::string* name) {
            char text[platform::kAddressTextSize];
            EXPECT_TRUE(platform::FormatAddress(address, text, sizeof text));
            askedAddresses.push_back(text);
            platform::NameServiceEntry entry;
            bool found = Find(byAddress6, std::string(text), reverseFailure, &entry);
            *name = entry.name;
            return found;
        };
        byAddress[Address("192.0.2.1")] = {"r1.qvex.invalid", Address("192.0.2.1")};
        byAddress[Address("198.51.100.1")] = {"r2.qvex.invalid", Address("198.51.100.1")};
        byAddress[Address("203.0.113.9")] = {"far.qvex.invalid", Address("203.0.113.9")};
        byAddress6["2001:db8::1"] = {"r6.qvex.invalid"};
        byAddress6["2001:db8::9"] = {"nine.qvex.invalid"};
    }
    template <typename Key>
    static bool Find(const std::map<Key, platform::NameServiceEntry>& table, const Key& key,
                     int failure, platform::NameServiceEntry* entry) {
        auto found = table.find(key);
        if (found == table.end()) {
            platform::SetLastSocketError(failure);
            return false;
        }
        *entry = found->second;
        return true;
    }
    DiagRun Context() { return {icmp, names, stop, observer, kEchoTimeout}; }
    Lines Log() {
        Lines texts;
        for (const test::LogCapture::Line& line : log.Take()) {
            texts.push_back(line.kind + " " + line.text);
        }
        return texts;
    }
    struct Recorder : DiagObserver {
        void OnTitle(const std::string& title) override { titles.push_back(title); }
        void OnPingRow(const PingRow& row) override { pings.push_back(row); }
        void OnTraceRow(const TraceRow& row) override { hops.push_back(row); }
        Lines titles;
        std::vector<PingRow> pings;
        std::vector<TraceRow> hops;
    };

    test::LogCapture log;
    IcmpBinding icmp;
    NameService names;
    std::deque<Answer> script;
    Answer otherwise = kLost;
    size_t stopAfter = 0;  // the stop flag goes up after this many echoes (0: never)
    int reverseFailure = kHostNotFound;
    std::map<std::string, platform::NameServiceEntry> byName;
    std::map<uint32_t, platform::NameServiceEntry> byAddress;
    std::map<std::string, platform::NameServiceEntry> byAddress6;  // by the address's text
    std::atomic<bool> stop{false};
    Recorder observer;
    platform::IcmpHandle handles = 0;
    std::vector<int> ttls;
    std::set<std::string> requests;  // destination, time-out and data of every echo
    std::vector<platform::IcmpHandle> closed;
    Lines askedNames;
    Lines askedAddresses;
};

// --- Resolving the host text ----------------------------------------------------------------

struct ResolveRow {
    const char* name;
    std::string text;
    std::optional<ResolvedHost> expected;
    bool switchAfter;
    size_t nameLookups;
    size_t reverseLookups;
};
void PrintTo(const ResolveRow& row, std::ostream* out) {
    *out << row.name;
}

ResolvedHost Host(const char* name, const char* dotted) {
    return {name, Address(dotted), dotted, false, {}};
}

platform::NetAddress Ipv6(const char* text) {
    platform::NetAddress address;
    EXPECT_TRUE(platform::ParseIpv6Address(text, &address)) << text;
    return address;
}

ResolvedHost Host6(const char* name, const char* text) {
    return {name, 0, text, true, Ipv6(text)};
}

class ResolveTest : public ::testing::TestWithParam<ResolveRow> {};

TEST_P(ResolveTest, Resolves) {
    const ResolveRow& row = GetParam();
    FakeRun run;
    run.byAddress[Address("192.0.2.9")] = {"multi.qvex.invalid", Address("192.0.2.10")};
    run.byAddress[Address("10.0.0.1")] = {"ten.qvex.invalid", Address("10.0.0.1")};
    run.byName["ftp.qvex.invalid"] = {"real.qvex.invalid", Address("198.51.100.20")};
    run.byName["1.2.3.4x"] = {"1.2.3.4x", Address("198.51.100.21")};
    run.byName[std::string(255, 'n')] = {"long", Address("198.51.100.22")};
    run.byAddress6["2001:db8::7"] = {"seven.qvex.invalid"};
    run.reverseFailure =
        row.text == "192.0.2.77" || row.text == "2001:db8::77" ? kNoData : kTryAgain;
    bool reverseLookup = true;
    EXPECT_EQ(ResolveHostText(row.text, run.names, reverseLookup), row.expected);
    EXPECT_EQ(reverseLookup, row.switchAfter);
    EXPECT_EQ(run.askedNames.size(), row.nameLookups);
    EXPECT_EQ(run.askedAddresses.size(), row.reverseLookups);
}

INSTANTIATE_TEST_SUITE_P(
    HostTexts, ResolveTest,
    ::testing::Values(
        ResolveRow{"dotted", "192.0.2.1", Host("r1.qvex.invalid", "192.0.2.1"), true, 0, 1},
        ResolveRow{"first address", "192.0.2.9", Host("multi.qvex.invalid", "192.0.2.10"), true, 0,
                   1},
        ResolveRow{"reverse fails", "192.0.2.8", Host("192.0.2.8", "192.0.2.8"), false, 0, 1},
        ResolveRow{"no data", "192.0.2.77", Host("192.0.2.77", "192.0.2.77"), true, 0, 1},
        ResolveRow{"short form", "10.1", Host("ten.qvex.invalid", "10.0.0.1"), true, 0, 1},
        ResolveRow{"five numbers", "1.2.3.4.5", std::nullopt, true, 0, 0},
        ResolveRow{"all ones", "255.255.255.255", std::nullopt, true, 0, 0},
        ResolveRow{"empty", "", std::nullopt, true, 0, 0},
        ResolveRow{"name", "ftp.qvex.invalid", Host("real.qvex.invalid", "198.51.100.20"), true, 1,
                   0},
        ResolveRow{"letter", "1.2.3.4x", Host("1.2.3.4x", "198.51.100.21"), true, 1, 0},
        ResolveRow{"unknown", "nowhere.qvex.invalid", std::nullopt, true, 1, 0},
        ResolveRow{"IPv6", "2001:DB8:0:0::7", Host6("seven.qvex.invalid", "2001:db8::7"), true, 0,
                   1},
        ResolveRow{"IPv6 reverse fails", "::1", Host6("::1", "::1"), false, 0, 1},
        ResolveRow{"IPv6 no data", "2001:db8::77", Host6("2001:db8::77", "2001:db8::77"), true, 0,
                   1},
        ResolveRow{"IPv6 zone", "fe80::1%lo", Host6("fe80::1%lo", "fe80::1%lo"), false, 0, 1},
        ResolveRow{"IPv6 zone by index", "FE80::1%4294967295",
                   Host6("FE80::1%4294967295", "fe80::1%4294967295"), false, 0, 1},
        ResolveRow{"IPv6 zone of no interface", "fe80::1%nosuchif0", std::nullopt, true, 0, 0},
        ResolveRow{"IPv6 zone not link-local", "2001:db8::7%lo", std::nullopt, true, 0, 0},
        ResolveRow{"IPv6 no address", "1:2:3", std::nullopt, true, 0, 0},
        ResolveRow{"IPv6 bracketed", "[::1]", std::nullopt, true, 0, 0},
        ResolveRow{"longest", std::string(255, 'n'), Host("long", "198.51.100.22"), true, 1, 0},
        ResolveRow{"over-long", std::string(256, 'n'), std::nullopt, true, 0, 0},
        ResolveRow{"over-long dotted", std::string(300, '0') + "1", std::nullopt, true, 0, 0},
        ResolveRow{"NUL", std::string("ftp.qvex.invalid\0x", 18), std::nullopt, true, 0, 0}));

TEST(ResolveTest, UnresolvedHostEndsEitherRunWithItsTitle) {
    for (bool ping : {true, false}) {
        FakeRun run;
        ping ? RunPing("nowhere.qvex.invalid", run.Context())
             : RunTraceroute("nowhere.qvex.invalid", run.Context());
        EXPECT_EQ(run.observer.titles, Lines{"Unable to resolve nowhere.qvex.invalid"});
        EXPECT_EQ(run.Log(), Lines{"LogExt *** Unable to resolve nowhere.qvex.invalid"});
        EXPECT_EQ(run.handles, 0);
    }
}

TEST(ResolveTest, NameWithIpv6AddressesAloneIsAnIpv6Host) {
    FakeRun run;
    run.names.byName = [](const char*, platform::NameServiceEntry*) {
        platform::SetLastSocketError(kNoData);
        return false;
    };
    run.names.byName6 = [](const char* name, platform::NetAddress* address) {
        *address = Ipv6("2001:db8::6");
        return std::string(name) == "six.qvex.invalid";
    };
    bool reverseLookup = true;
    EXPECT_EQ(ResolveHostText("six.qvex.invalid", run.names, reverseLookup),
              Host6("six.qvex.invalid", "2001:db8::6"));
    EXPECT_EQ(ResolveHostText("none.qvex.invalid", run.names, reverseLookup), std::nullopt);
}

// --- Ping ---------------------------------------------------------------------------------

TEST(PingTest, Ipv6HostsAreEchoedOverIcmpv6OrSaySoWhenItIsClosed) {
    for (bool open : {true, false}) {
        SCOPED_TRACE(open);
        FakeRun run;
        std::vector<std::string> sentTo;
        if (open) {
            run.icmp.createFile6 = [&run] { return ++run.handles; };
        }
        // Hop 1 is a router; then the target answers.
        run.icmp.sendEcho6 = [&sentTo](platform::IcmpHandle, const platform::NetAddress& to,
                                       const void*, uint16_t size, uint8_t, uint32_t,
                                       EchoReply* reply, platform::NetAddress* answerer) {
            char text[platform::kAddressTextSize];
            EXPECT_TRUE(platform::FormatAddress(to, text, sizeof text));
            sentTo.push_back(text);
            const bool router = sentTo.size() <= 3;
            *reply = router ? EchoReply{0, platform::kIpTtlExpiredTransit, 2, 0, 0}
                            : EchoReply{0, platform::kIpSuccess, 3, size, 61};
            *answerer = Ipv6(router ? "2001:db8::1" : "2001:db8::9");
            return 1u;
        };
        RunTraceroute("2001:db8::9", run.Context());
        RunPing("2001:db8::9", run.Context());
        // Named by reverse lookups, as IPv4 hosts are.
        EXPECT_EQ(run.observer.titles,
                  (Lines{"nine.qvex.invalid [2001:db8::9]", "nine.qvex.invalid [2001:db8::9]"}));
        if (!open) {
            EXPECT_EQ(run.Log(),
                      (Lines{"LogExt Tracing route to nine.qvex.invalid [2001:db8::9]",
                             "LogExt *** ICMPv6 echo is not available to this process",
                             "LogExt PINGing nine.qvex.invalid [2001:db8::9] with 32 bytes",
                             "LogExt *** ICMPv6 echo is not available to this process"}));
            EXPECT_TRUE(sentTo.empty());
            continue;
        }
        EXPECT_EQ(sentTo, Lines(10, "2001:db8::9")) << "three probes of hops 1 and 2, 4 pings";
        const std::string reply = "LogExt reply from 2001:db8::9: 32 data bytes, 3 ms, TTL=61";
        EXPECT_EQ(run.Log(), (Lines{"LogExt Tracing route to nine.qvex.invalid [2001:db8::9]",
                                    "LogExt #01:    2    2    2 r6.qvex.invalid [2001:db8::1]",
                                    "LogExt #02:    3    3    3 nine.qvex.invalid [2001:db8::9]",
                                    "LogExt PINGing nine.qvex.invalid [2001:db8::9] with 32 bytes",
                                    reply, reply, reply, reply}));
        ASSERT_EQ(run.observer.hops.size(), 2u);
        EXPECT_EQ(run.observer.hops[0].host, "r6.qvex.invalid [2001:db8::1]");
        ASSERT_EQ(run.observer.pings.size(), 4u);
        EXPECT_EQ(run.observer.pings[0], (PingRow{"2001:db8::9", "3", "61", ""}));
        EXPECT_EQ(run.closed, (std::vector<platform::IcmpHandle>{1, 2}));
    }
}

TEST(PingTest, FourEchoesOfTheFixedTextAndEveryKindOfRow) {
    FakeRun run;
    run.script = {Ok("203.0.113.8", 5, 57), Say(platform::kIpDestNetUnreachable, "192.0.2.1", 2),
                  kLost, Say(platform::kIpTtlExpiredTransit, "192.0.2.1", 3)};
    RunPing("203.0.113.9", run.Context());
    // No IP options for a ping; the time-out of a run; the fixed text and its NUL.
    EXPECT_EQ(run.ttls, (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(run.requests, std::set<std::string>{std::to_string(Address("203.0.113.9")) +
                                                  " 1000 " + std::string(kText, 32)});
    EXPECT_EQ(run.closed, std::vector<platform::IcmpHandle>{1});
    EXPECT_EQ(run.observer.titles, Lines{"far.qvex.invalid [203.0.113.9]"});
    // A reply names the target in the log and the replying address in the row.
    EXPECT_EQ(run.observer.pings, (std::vector<PingRow>{{"203.0.113.8", "5", "57", ""},
                                                        {"192.0.2.1", "", "", "<net unreachable>"},
                                                        {"", "", "", "<timed out>"},
                                                        {"", "", "", "<timed out>"}}));
    EXPECT_EQ(run.Log(), (Lines{"LogExt PINGing far.qvex.invalid [203.0.113.9] with 32 bytes",
                                "LogExt reply from 203.0.113.9: 32 data bytes, 5 ms, TTL=57",
                                "LogExt reply from 192.0.2.1: <net unreachable>",
                                "LogExt *** <timed out>", "LogExt *** <timed out>"}));
}

TEST(PingTest, FailedSendIsNeverReadAsThePreviousReply) {
    FakeRun run;
    Answer untouched{0, {}, false};                      // leaves the reply as it was
    Answer contradictory{0, {0, platform::kIpSuccess}};  // no answer, yet "success"
    run.script = {Ok("203.0.113.9", 4), untouched, contradictory, Ok("203.0.113.9", 6)};
    RunPing("203.0.113.9", run.Context());
    EXPECT_EQ(run.observer.pings, (std::vector<PingRow>{{"203.0.113.9", "4", "64", ""},
                                                        {"", "", "", "<timed out>"},
                                                        {"", "", "", "<timed out>"},
                                                        {"203.0.113.9", "6", "64", ""}}));
}

TEST(PingTest, StopEndsWithTheAbortedRow) {
    for (size_t stopAfter : std::vector<size_t>{2, 4}) {
        FakeRun run;
        run.otherwise = Ok("203.0.113.9", 1);
        run.stopAfter = stopAfter;
        RunPing("203.0.113.9", run.Context());
        EXPECT_EQ(run.ttls.size(), stopAfter);
        EXPECT_EQ(run.closed.size(), 1u);
        Lines log = run.Log();
        // Stopped after the fourth echo, nothing was left to abort.
        EXPECT_EQ(log.back(), stopAfter < 4 ? "LogExt *** <aborted>"
                                            : "LogExt reply from 203.0.113.9: 32 data bytes, "
                                              "1 ms, TTL=64");
        EXPECT_EQ(run.observer.pings.back().status, stopAfter < 4 ? "<aborted>" : "");
    }
}

// --- Traceroute ---------------------------------------------------------------------------

TEST(TraceTest, HopsUntilTheTargetAnswers) {
    FakeRun run;
    run.script = {Hop("192.0.2.1", 1),
                  kLost,
                  Hop("192.0.2.1", 1234),
                  Hop("198.51.100.1", 12),
                  Hop("198.51.100.1", 13),
                  Hop("192.0.2.1", 14),
                  kLost,
                  kLost,
                  kLost,
                  kLost,
                  Ok("203.0.113.9", 20),
                  kLost};
    RunTraceroute("203.0.113.9", run.Context());
    EXPECT_EQ(run.ttls, (std::vector<int>{1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}));
    EXPECT_EQ(run.closed.size(), 1u);
    // A hop is named after its last answer.
    EXPECT_EQ(run.observer.hops,
              (std::vector<TraceRow>{{1, {"1", "*", "1234"}, "r1.qvex.invalid [192.0.2.1]"},
                                     {2, {"12", "13", "14"}, "r1.qvex.invalid [192.0.2.1]"},
                                     {3, {"*", "*", "*"}, "<timed out>"},
                                     {4, {"*", "20", "*"}, "far.qvex.invalid [203.0.113.9]"}}));
    EXPECT_EQ(run.Log(), (Lines{"LogExt Tracing route to far.qvex.invalid [203.0.113.9]",
                                "LogExt #01:    1    * 1234 r1.qvex.invalid [192.0.2.1]",
                                "LogExt #02:   12   13   14 r1.qvex.invalid [192.0.2.1]",
                                "LogExt #03: <timed out>",
                                "LogExt #04:    *   20    * far.qvex.invalid [203.0.113.9]"}));
}

struct TraceEndRow {
    const char* name;
    std::vector<Answer> script;
    Answer otherwise;
    size_t stopAfter;
    int reverseFailure;
    std::vector<int> ttls;  // empty: 3 probes for each of 30 hops
    Lines lastLines;        // the log's last lines
};
void PrintTo(const TraceEndRow& row, std::ostream* out) {
    *out << row.name;
}

class TraceEndTest : public ::testing::TestWithParam<TraceEndRow> {};

TEST_P(TraceEndTest, EndsAsItShould) {
    const TraceEndRow& row = GetParam();
    FakeRun run;
    run.byAddress.erase(Address("192.0.2.1"));
    run.script.assign(row.script.begin(), row.script.end());
    run.otherwise = row.otherwise;
    run.stopAfter = row.stopAfter;
    run.reverseFailure = row.reverseFailure;
    RunTraceroute("203.0.113.9", run.Context());
    std::vector<int> ttls = row.ttls;
    for (int hop = 1; row.ttls.empty() && hop <= 30; ++hop) {
        ttls.insert(ttls.end(), {hop, hop, hop});
    }
    EXPECT_EQ(run.ttls, ttls);
    Lines log = run.Log();
    ASSERT_GE(log.size(), row.lastLines.size());
    EXPECT_EQ(Lines(log.end() - static_cast<long>(row.lastLines.size()), log.end()), row.lastLines);
    EXPECT_EQ(run.observer.hops.size() + 1, log.size());
    EXPECT_EQ(run.closed.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TraceEndTest,
    ::testing::Values(
        TraceEndRow{"first hop is the target",
                    {},
                    Ok("203.0.113.9", 5),
                    0,
                    0,
                    {1, 1, 1},
                    {"LogExt #01:    5    5    5 far.qvex.invalid [203.0.113.9]"}},
        TraceEndRow{"never reached",
                    {},
                    Hop("198.51.100.1", 2),
                    0,
                    0,
                    {},
                    {"LogExt #29:    2    2    2 r2.qvex.invalid [198.51.100.1]",
                     "LogExt #30:    2    2    2 r2.qvex.invalid [198.51.100.1]"}},
        TraceEndRow{
            "silent", {}, kLost, 0, 0, {}, {"LogExt #29: <timed out>", "LogExt #30: <timed out>"}},
        TraceEndRow{"net unreachable ends the hop at once",
                    {Hop("198.51.100.1", 1), Hop("198.51.100.1", 1), Hop("198.51.100.1", 1),
                     Say(platform::kIpDestNetUnreachable, "198.51.100.1")},
                    kLost,
                    0,
                    0,
                    {1, 1, 1, 2},
                    {"LogExt #01:    1    1    1 r2.qvex.invalid [198.51.100.1]",
                     "LogExt #02: <net unreachable>"}},
        // After a reverse lookup fails for another reason than WSANO_DATA, names stay dotted.
        TraceEndRow{"reverse lookup fails",
                    {Hop("192.0.2.1", 1), kLost, kLost, Hop("198.51.100.1", 2)},
                    Ok("203.0.113.9", 3),
                    0,
                    kHostNotFound,
                    {1, 1, 1, 2, 2, 2},
                    {"LogExt #01:    1    *    * 192.0.2.1 [192.0.2.1]",
                     "LogExt #02:    2    3    3 203.0.113.9 [203.0.113.9]"}},
        TraceEndRow{"reverse lookup has no data",
                    {Hop("192.0.2.1", 1), kLost, kLost, Hop("198.51.100.1", 2)},
                    Ok("203.0.113.9", 3),
                    0,
                    kNoData,
                    {1, 1, 1, 2, 2, 2},
                    {"LogExt #01:    1    *    * 192.0.2.1 [192.0.2.1]",
                     "LogExt #02:    2    3    3 far.qvex.invalid [203.0.113.9]"}},
        // The stop flag is read before every probe, so a stop ends the current hop.
        TraceEndRow{"stopped",
                    {},
                    Hop("198.51.100.1", 1),
                    4,
                    0,
                    {1, 1, 1, 2},
                    {"LogExt #01:    1    1    1 r2.qvex.invalid [198.51.100.1]",
                     "LogExt #02: <aborted>"}}));

}  // namespace
}  // namespace qvex
