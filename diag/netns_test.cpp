// Ping and traceroute on a small routed network of the test's own: three network namespaces
// joined by veth pairs, with documentation addresses (RFC 5737, RFC 3849) that exist only
// inside them.
//
//   client 192.0.2.2 --- 192.0.2.1 router 198.51.100.1 --- 198.51.100.2 target
//          2001:db8:2::2   2001:db8:2::1  2001:db8:100::1   2001:db8:100::2
//                          fe80::1 (on the client's link)
//
// The router sends 203.0.113.0/24 on to the target, which forwards too: it drops
// 203.0.113.0/25 silently (blackhole) and answers "net unreachable" for the rest (a throw
// route). Both sit one hop behind the router because a router looks up the route before it
// checks the time-to-live. The worker runs in a helper process started inside the client
// namespace, with a hosts file that names the router and the target and a name server that
// refuses at once, so no lookup leaves the namespace.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_env.h"
#include "util/posix_regex.h"

namespace qvex {
namespace {

// Every probe gets its ICMP error at once however fast they come (icmp_ratelimit); the
// client lets everyone or no one open datagram ICMP sockets ($RANGE). Every IPv6 address
// is usable at once, without duplicate address detection, and the script waits until the
// kernel has seen each veth pair up (which may take it a second): the first neighbour
// solicitations would be lost before.
constexpr const char* kTopology = R"(set -e
for ns in $C $R $T; do
    ip netns exec $ns sysctl -qw net.ipv6.conf.default.accept_dad=0
done
ip link add c0 netns $C type veth peer name r0 netns $R
ip link add t0 netns $T type veth peer name r1 netns $R
ip -n $C addr add 192.0.2.2/24 dev c0
ip -n $R addr add 192.0.2.1/24 dev r0
ip -n $R addr add 198.51.100.1/24 dev r1
ip -n $T addr add 198.51.100.2/24 dev t0
ip -n $C addr add 2001:db8:2::2/64 dev c0 nodad
ip -n $R addr add 2001:db8:2::1/64 dev r0 nodad
ip -n $R addr add fe80::1/64 dev r0 nodad
ip -n $R addr add 2001:db8:100::1/64 dev r1 nodad
ip -n $T addr add 2001:db8:100::2/64 dev t0 nodad
for link in "$C lo" "$C c0" "$R lo" "$R r0" "$R r1" "$T lo" "$T t0"; do
    set -- $link; ip -n $1 link set $2 up
done
for link in "$C c0" "$R r0" "$R r1" "$T t0"; do
    set -- $link
    tries=0
    until ip -n $1 link show $2 | grep -q 'state UP'; do
        tries=$((tries + 1)); [ $tries -lt 50 ] || exit 1; sleep 0.1
    done
done
ip -n $C route add default via 192.0.2.1
ip -n $T route add default via 198.51.100.1
ip -n $R route add 203.0.113.0/24 via 198.51.100.2
ip -n $T route add blackhole 203.0.113.0/25
ip -n $T route add throw 203.0.113.128/25
ip -n $C route add default via 2001:db8:2::1
ip -n $T route add default via 2001:db8:100::1
for ns in $R $T; do
    ip netns exec $ns sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_ratelimit=0 \
        net.ipv6.conf.all.forwarding=1 net.ipv6.icmp.ratelimit=0
done
ip netns exec $C sysctl -qw net.ipv4.ping_group_range="$RANGE"
)";

// A text that appears in a pattern, with the pattern's special characters escaped.
std::string Quote(const std::string& text) {
    std::string quoted;
    for (char character : text) {
        if (std::string_view(".[]()*+?^$|\\").find(character) != std::string_view::npos) {
            quoted += '\\';
        }
        quoted += character;
    }
    return quoted;
}

const std::string kMs = "[0-9]+";  // a probe or round-trip time
const std::string kRouter = Quote("router.qvex.invalid [192.0.2.1]");
const std::string kTarget = Quote("target.qvex.invalid [198.51.100.2]");
const std::string kRouter6 = Quote("router.qvex.invalid [2001:db8:2::1]");
const std::string kTarget6 = Quote("target.qvex.invalid [2001:db8:100::2]");

std::string HopLine(int hop, const std::string& host) {
    return "log\tLogExt\t#0" + std::to_string(hop) + ": +" + kMs + " +" + kMs + " +" + kMs + " " +
           host;
}
std::string HopRow(int hop, const std::string& host) {
    return "hop\t" + std::to_string(hop) + "\t" + kMs + "\t" + kMs + "\t" + kMs + "\t" + host;
}

class RoutedNetwork : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        std::random_device random;
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "qvex-%08x", random());
        for (const char* role : {"-c", "-r", "-t"}) {
            std::string name = prefix + std::string(role);
            if (!Shell("ip netns add " + name)) {
                if (names_.empty()) {
                    GTEST_SKIP() << "this machine cannot make network namespaces: " << output_;
                }
                FAIL() << output_;
            }
            names_.push_back(name);
        }
        test::WriteFileBytes(folder_.path("topology.sh"), kTopology);
        ASSERT_TRUE(Shell("C=" + names_[0] + " R=" + names_[1] + " T=" + names_[2] + " RANGE='" +
                          (GetParam() ? "0 2147483647" : "1 0") + "' sh '" +
                          folder_.path("topology.sh") + "'"))
            << output_;
        test::WriteFileBytes(folder_.path("hosts"),
                             "127.0.0.1 localhost\n192.0.2.1 router.qvex.invalid\n"
                             "198.51.100.2 target.qvex.invalid\n"
                             "2001:db8:2::1 router.qvex.invalid\n"
                             "2001:db8:100::2 target.qvex.invalid\n");
        test::WriteFileBytes(folder_.path("resolv.conf"), "nameserver 127.0.0.1\n");
    }

    // The namespaces go even when a test failed; their veth pairs go with them.
    void TearDown() override {
        for (const std::string& name : names_) {
            EXPECT_TRUE(Shell("ip netns del " + name)) << output_;
        }
    }

    // Runs a command through the shell, keeping its output.
    bool Shell(const std::string& command) {
        std::string file = folder_.path("shell.out");
        bool ok = std::system((command + " >'" + file + "' 2>&1").c_str()) == 0;
        output_ = test::ReadFileBytes(file);
        return ok;
    }

    // Runs the probe in the client namespace; its output must match the lines' patterns.
    void ExpectProbe(const std::string& arguments, const std::vector<std::string>& lines) {
        ASSERT_TRUE(Shell("ip netns exec " + names_[0] + " sh -c \"mount --bind '" +
                          folder_.path("hosts") + "' /etc/hosts && mount --bind '" +
                          folder_.path("resolv.conf") + "' /etc/resolv.conf && exec '" +
                          QVEX_DIAG_PROBE + "' " + arguments + "\""))
            << output_;
        std::string pattern = std::string("^kind\t") + (GetParam() ? "datagram\n" : "raw\n");
        for (const std::string& line : lines) {
            pattern += line + "\n";
        }
        EXPECT_TRUE(PosixRegex((pattern + "$").c_str()).Matches(output_)) << output_;
    }

    test::TempFolder folder_;
    std::vector<std::string> names_;
    std::string output_;
};

TEST_P(RoutedNetwork, TraceReachesTheTargetAtHopTwoThroughTheRouter) {
    ExpectProbe(
        "trace 198.51.100.2 1000",
        {"title\t" + kTarget, HopRow(1, kRouter), HopRow(2, kTarget),
         "log\tLogExt\tTracing route to " + kTarget, HopLine(1, kRouter), HopLine(2, kTarget)});
}

TEST_P(RoutedNetwork, Ipv6TraceNamesTheRouterAndTheTargetByReverseLookups) {
    ExpectProbe(
        "trace 2001:db8:100::2 1000",
        {"title\t" + kTarget6, HopRow(1, kRouter6), HopRow(2, kTarget6),
         "log\tLogExt\tTracing route to " + kTarget6, HopLine(1, kRouter6), HopLine(2, kTarget6)});
}

TEST_P(RoutedNetwork, PingToALinkLocalAddressGoesOutOfItsZone) {
    // The hosts file has no name for fe80::1 and the name server refuses: its own text.
    std::string title = Quote("fe80::1%c0 [fe80::1%c0]");
    std::string row = "ping\tfe80::1%c0\t" + kMs + "\t64\t";
    std::string line = "log\tLogExt\treply from fe80::1%c0: 32 data bytes, " + kMs + " ms, TTL=64";
    ExpectProbe("ping fe80::1%c0 1000",
                {"title\t" + title, row, row, row, row,
                 "log\tLogExt\tPINGing " + title + " with 32 bytes", line, line, line, line});
}

TEST_P(RoutedNetwork, PingThroughTheRouterGetsFourReplies) {
    // The router took one from the target's time-to-live of 64.
    std::string row = "ping\t198\\.51\\.100\\.2\t" + kMs + "\t63\t";
    std::string line =
        "log\tLogExt\treply from 198\\.51\\.100\\.2: 32 data bytes, " + kMs + " ms, TTL=63";
    ExpectProbe("ping target.qvex.invalid 1000",
                {"title\t" + kTarget, row, row, row, row,
                 "log\tLogExt\tPINGing " + kTarget + " with 32 bytes", line, line, line, line});
}

TEST_P(RoutedNetwork, PingBehindAnUnreachableNetworkGetsFourNetUnreachableRows) {
    std::string title = Quote("203.0.113.200 [203.0.113.200]");
    std::string row = "ping\t198\\.51\\.100\\.2\t\t\t<net unreachable>";
    std::string line = "log\tLogExt\treply from 198\\.51\\.100\\.2: <net unreachable>";
    ExpectProbe("ping 203.0.113.200 1000",
                {"title\t" + title, row, row, row, row,
                 "log\tLogExt\tPINGing " + title + " with 32 bytes", line, line, line, line});
}

TEST_P(RoutedNetwork, TraceBehindAnUnreachableNetworkEndsWithNetUnreachable) {
    // The target's address has no name (the name server refused), so reverse lookups stay
    // off for the run and the router shows its address as its name.
    std::string title = Quote("203.0.113.200 [203.0.113.200]");
    std::string router = Quote("192.0.2.1 [192.0.2.1]");
    ExpectProbe("trace 203.0.113.200 1000",
                {"title\t" + title, HopRow(1, router), "hop\t2\t\t\t\t<net unreachable>",
                 "log\tLogExt\tTracing route to " + title, HopLine(1, router),
                 "log\tLogExt\t#02: <net unreachable>"});
}

TEST_P(RoutedNetwork, PingToASilentDestinationTimesOut) {
    std::string title = Quote("203.0.113.5 [203.0.113.5]");
    std::string row = "ping\t\t\t\t<timed out>";
    std::string line = "log\tLogExt\t\\*\\*\\* <timed out>";
    ExpectProbe("ping 203.0.113.5 200",
                {"title\t" + title, row, row, row, row,
                 "log\tLogExt\tPINGing " + title + " with 32 bytes", line, line, line, line});
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, RoutedNetwork, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& kind) {
                             return kind.param ? "Datagram" : "Raw";
                         });

}  // namespace
}  // namespace qvex
