#include "diag/network_tools.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "tests/support/log_capture.h"

namespace qvex {
namespace {

using Lines = std::vector<std::string>;

// Only a guard against a hang: no test waits this long unless something is broken.
constexpr auto kHangGuard = std::chrono::seconds(60);

// A pane and, for the fake echo service, a gate: every echo waits until the gate opens and is
// then answered by its destination. All of it is shared with worker threads.
struct Panes {
    struct Pane : DiagObserver {
        explicit Pane(Panes& owner) : panes(owner) {}
        void OnTitle(const std::string& title) override {
            Locked([&] { titles.push_back(title); });
        }
        void OnPingRow(const PingRow& row) override {
            Locked([&] { pings.push_back(row); });
        }
        void OnTraceRow(const TraceRow& row) override {
            Locked([&] { hops.push_back(row); });
        }
        void OnEnded() override {
            Locked([&] { ++ended; });
        }
        template <typename Change>
        void Locked(Change change) {
            std::lock_guard guard(panes.lock);
            change();
            panes.changed.notify_all();
        }
        Panes& panes;
        Lines titles;
        std::vector<PingRow> pings;
        std::vector<TraceRow> hops;
        int ended = 0;
    };

    bool WaitFor(const std::function<bool()>& condition) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, kHangGuard, condition);
    }
    void Open() {
        std::lock_guard guard(lock);
        open = true;
        changed.notify_all();
    }
    IcmpBinding GatedEcho() {
        IcmpBinding binding;
        binding.createFile = [] { return platform::IcmpHandle{3}; };
        binding.sendEcho = [this](platform::IcmpHandle, uint32_t to, const void*, uint16_t size,
                                  uint8_t ttl, uint32_t timeout, platform::EchoReply* reply) {
            std::unique_lock guard(lock);
            ++(ttl == 0 ? pingEchoes : traceEchoes);
            timeouts.push_back(timeout);
            changed.notify_all();
            changed.wait_for(guard, kHangGuard, [this] { return open; });
            *reply = {to, platform::kIpSuccess, 0, size, 64};
            return uint32_t{1};
        };
        binding.closeHandle = [](platform::IcmpHandle) {};
        binding.loaded = true;
        return binding;
    }

    std::mutex lock;
    std::condition_variable changed;
    Pane ping{*this};
    Pane trace{*this};
    bool open = false;
    int pingEchoes = 0;
    int traceEchoes = 0;
    std::vector<uint32_t> timeouts;
};

NameService NoNames(Lines* asked) {
    NameService names;
    names.byName = [asked](const char* name, platform::NameServiceEntry*) {
        asked->push_back(name);
        platform::SetLastSocketError(11001);
        return false;
    };
    names.byAddress = [](uint32_t, platform::NameServiceEntry*) {
        platform::SetLastSocketError(11004);
        return false;
    };
    return names;
}

TEST(NetworkToolsTest, WhatAStartChecks) {
    test::LogCapture log;
    Panes panes;
    Lines asked;
    {
        NetworkTools missing(panes.ping, panes.trace, IcmpBinding(), NoNames(&asked));
        EXPECT_FALSE(missing.available());
        EXPECT_EQ(missing.StartPing("ftp://198.51.100.1/"), StartResult::Unavailable);
        EXPECT_EQ(missing.StartTraceroute("ftp://198.51.100.1/"), StartResult::Unavailable);
        EXPECT_TRUE(log.Take().empty()) << "a missing echo service is not logged";
    }
    panes.open = true;
    NetworkTools tools(panes.ping, panes.trace, panes.GatedEcho(), NoNames(&asked));
    EXPECT_EQ(tools.StartPing("ftp://bad host/"), StartResult::MalformedUrl);
    EXPECT_EQ(tools.StartTraceroute(""), StartResult::MalformedUrl);
    EXPECT_EQ(log.TakeTexts(), (Lines{"*** malformed URL", "*** malformed URL"}));
    // Only the URL's host part is resolved.
    ASSERT_EQ(tools.StartPing("ftp://al:pw@nowhere.qvex.invalid:2121/pub;type=d"),
              StartResult::Started);
    ASSERT_TRUE(panes.WaitFor([&] { return panes.ping.ended == 1; }));
    EXPECT_EQ(asked, Lines{"nowhere.qvex.invalid"});
    EXPECT_EQ(panes.ping.titles, Lines{"Unable to resolve nowhere.qvex.invalid"});
    EXPECT_EQ(log.TakeTexts(), Lines{"*** Unable to resolve nowhere.qvex.invalid"});
    EXPECT_EQ(panes.trace.ended, 0);
}

TEST(NetworkToolsTest, PingAndTraceRunAtOnceWithTheirOwnStopFlags) {
    test::LogCapture log;
    Panes panes;
    Lines asked;
    NetworkTools tools(panes.ping, panes.trace, panes.GatedEcho(), NoNames(&asked));
    tools.StopPing();  // a stop from before the start must not reach the run
    tools.SetEchoTimeout(40);
    ASSERT_EQ(tools.StartPing("198.51.100.7"), StartResult::Started);
    ASSERT_EQ(tools.StartTraceroute("ftp://198.51.100.7/"), StartResult::Started);
    ASSERT_TRUE(panes.WaitFor([&] { return panes.pingEchoes > 0 && panes.traceEchoes > 0; }));
    EXPECT_TRUE(tools.pingRunning() && tools.tracerouteRunning());
    EXPECT_EQ(tools.StartPing("198.51.100.7"), StartResult::Running);
    EXPECT_EQ(tools.StartTraceroute("198.51.100.7"), StartResult::Running);

    tools.StopPing();
    panes.Open();
    ASSERT_TRUE(panes.WaitFor([&] { return panes.ping.ended == 1 && panes.trace.ended == 1; }));
    EXPECT_FALSE(tools.pingRunning() || tools.tracerouteRunning());
    EXPECT_EQ(panes.ping.pings,
              (std::vector<PingRow>{{"198.51.100.7", "0", "64", ""}, {"", "", "", "<aborted>"}}));
    // The ping's stop left the trace alone: its first hop reached the target.
    EXPECT_EQ(panes.trace.hops,
              (std::vector<TraceRow>{{1, {"0", "0", "0"}, "198.51.100.7 [198.51.100.7]"}}));
    EXPECT_EQ(panes.timeouts, std::vector<uint32_t>(4, 40));

    // An ended tool starts again.
    ASSERT_EQ(tools.StartPing("198.51.100.8"), StartResult::Started);
    ASSERT_TRUE(panes.WaitFor([&] { return panes.ping.ended == 2; }));
    EXPECT_EQ(panes.ping.titles,
              (Lines{"198.51.100.7 [198.51.100.7]", "198.51.100.8 [198.51.100.8]"}));
    EXPECT_EQ(panes.ping.pings.size(), 6u);
}

// --- With the system's echo and name services ----------------------------------------------

TEST(NetworkToolsSystemTest, PingLoopbackGetsFourReplies) {
    test::LogCapture log;
    Panes panes;
    NetworkTools tools(panes.ping, panes.trace);
    if (!tools.available()) {
        GTEST_SKIP() << "this process may open neither an ICMP datagram nor a raw socket";
    }
    ASSERT_EQ(tools.StartPing("ftp://127.0.0.1/"), StartResult::Started);
    ASSERT_TRUE(panes.WaitFor([&] { return panes.ping.ended == 1; }));
    std::string ttl;
    std::ifstream("/proc/sys/net/ipv4/ip_default_ttl") >> ttl;
    // The hosts file names 127.0.0.1 "localhost" first.
    EXPECT_EQ(panes.ping.titles, Lines{"localhost [127.0.0.1]"});
    Lines texts = log.TakeTexts();
    ASSERT_EQ(panes.ping.pings.size(), 4u);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], "PINGing localhost [127.0.0.1] with 32 bytes");
    for (size_t index = 0; index < 4; ++index) {
        const PingRow& row = panes.ping.pings[index];
        EXPECT_EQ(row, (PingRow{"127.0.0.1", row.time, ttl, ""}));
        EXPECT_EQ(texts[index + 1],
                  "reply from 127.0.0.1: 32 data bytes, " + row.time + " ms, TTL=" + ttl);
    }
}

TEST(NetworkToolsSystemTest, HostTextsThatDoNotResolve) {
    // Names under ".invalid" never resolve (RFC 2606); the others never reach the resolver.
    std::string overLong;
    while (overLong.size() <= kMaxHostText) {
        overLong += "qvex-test.";
    }
    overLong += "invalid";
    for (const std::string& text :
         {std::string(), overLong, std::string("192.0.2.1.7"), std::string("nosuchhost.invalid")}) {
        SCOPED_TRACE(text);
        test::LogCapture log;
        IcmpBinding icmp = LoadIcmpBinding();
        NameService names;
        std::atomic<bool> stop{false};
        Panes panes;
        RunPing(text, DiagRun{icmp, names, stop, panes.ping});
        EXPECT_EQ(panes.ping.titles, Lines{"Unable to resolve " + text});
        EXPECT_EQ(log.TakeTexts(), Lines{"*** Unable to resolve " + text});
        EXPECT_TRUE(panes.ping.pings.empty());
    }
}

}  // namespace
}  // namespace qvex
