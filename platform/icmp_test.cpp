#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace qvex::platform {
namespace {

constexpr char kData[] = "abcdefghijklmnopqrstuvwxyz01234";

uint32_t Loopback() {
    return ParseDottedAddress("127.0.0.1");
}

int DefaultTtl() {
    std::ifstream file("/proc/sys/net/ipv4/ip_default_ttl");
    int ttl = 64;
    file >> ttl;
    return ttl;
}

std::string Dotted(uint32_t address) {
    char text[16] = "";
    EXPECT_TRUE(FormatDottedAddress(address, text, sizeof text));
    return text;
}

// A closed handle owned by the test, so nothing leaks when an assertion returns early.
struct Handle {
    IcmpHandle value = IcmpCreateFile();
    ~Handle() { IcmpCloseHandle(value); }
};

// Runs `body` in a child process inside a network namespace of its own (only a loopback
// interface, which is down); the child's exit code is the result, 0 for good. The child
// reports what went wrong on its standard error.
constexpr int kNoNamespace = 77;

int InFreshNetwork(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            ::_exit(kNoNamespace);
        }
        ::_exit(body());
    }
    if (child < 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define RUN_IN_FRESH_NETWORK(body)                                                \
    do {                                                                          \
        int code = InFreshNetwork(body);                                          \
        if (code == kNoNamespace) {                                               \
            GTEST_SKIP() << "this machine cannot make network namespaces";        \
        }                                                                         \
        EXPECT_EQ(code, 0) << "the child's complaint is on standard error above"; \
    } while (false)

bool WriteSetting(const char* path, const char* value) {
    std::ofstream file(path);
    file << value;
    file.close();
    return !file.fail();
}

// In the child: a failed check prints itself and gives the child's exit code.
int Complain(const char* what, long value) {
    std::fprintf(stderr, "%s (%ld)\n", what, value);
    return 1;
}

// --- Arguments and handles -------------------------------------------------------------------

TEST(IcmpTest, BadArgumentsGiveAFailureReplyNeverAnOldOne) {
    Handle handle;
    const struct {
        const char* name;
        IcmpHandle handle;
        const void* data;
        uint16_t size;
    } rows[] = {
        {"no handle", kNoIcmp, kData, 32},
        {"data missing", handle.value, nullptr, 32},
        {"too much data", handle.value, kData, static_cast<uint16_t>(kMaxEchoData + 1)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.handle == kNoIcmp || handle.value != kNoIcmp) {
            EchoReply reply{Loopback(), kIpSuccess, 5, 32, 64};
            EXPECT_EQ(IcmpSendEcho(row.handle, Loopback(), row.data, row.size, 0, 100, &reply), 0u);
            EXPECT_EQ(reply.status, kIpGeneralFailure);
            EXPECT_EQ(reply.address, 0u);
            EXPECT_EQ(reply.roundTripTime, 0u);
            EXPECT_EQ(reply.dataSize, 0u);
            EXPECT_EQ(reply.ttl, 0u);
        }
    }
    EXPECT_EQ(IcmpSocketKindOf(kNoIcmp), IcmpSocketKind::None);
    EXPECT_EQ(IcmpSendEcho(kNoIcmp, Loopback(), kData, 32, 0, 100, nullptr), 0u);
}

// --- Echoes on the loopback interface -------------------------------------------------------

TEST(IcmpTest, LoopbackAnswersEveryDataSize) {
    Handle handle;
    if (handle.value == kNoIcmp) {
        GTEST_SKIP() << "no ICMP socket for this process";
    }
    std::vector<unsigned char> data(4000);
    for (size_t index = 0; index < data.size(); ++index) {
        data[index] = static_cast<unsigned char>(index * 7 + 1);
    }
    // Odd sizes exercise the checksum's last byte (a raw socket computes it itself).
    for (uint16_t size : std::vector<uint16_t>{0, 1, 31, 32, 33, 1000, 1473, 4000}) {
        SCOPED_TRACE(size);
        EchoReply reply;
        EXPECT_EQ(IcmpSendEcho(handle.value, Loopback(), data.data(), size, 0, 5000, &reply), 1u);
        EXPECT_EQ(reply.status, kIpSuccess);
        EXPECT_EQ(Dotted(reply.address), "127.0.0.1");
        EXPECT_EQ(reply.dataSize, size);
        EXPECT_EQ(reply.ttl, DefaultTtl());
    }
}

TEST(IcmpTest, AnswersToAnotherHandlesEchoesAreLeftAlone) {
    Handle first;
    Handle second;
    if (first.value == kNoIcmp || second.value == kNoIcmp) {
        GTEST_SKIP() << "no ICMP socket for this process";
    }
    // A raw socket sees every echo reply of the host, the other handle's among them: the
    // second handle must skip the reply to the first one's 100 bytes.
    std::vector<unsigned char> hundred(100, 'x');
    EchoReply reply;
    EXPECT_EQ(IcmpSendEcho(first.value, Loopback(), hundred.data(), 100, 0, 5000, &reply), 1u);
    EXPECT_EQ(reply.dataSize, 100u);
    EXPECT_EQ(IcmpSendEcho(second.value, Loopback(), kData, 32, 0, 5000, &reply), 1u);
    EXPECT_EQ(reply.status, kIpSuccess);
    EXPECT_EQ(reply.dataSize, 32u);
    EXPECT_EQ(IcmpSendEcho(first.value, Loopback(), kData, 7, 0, 5000, &reply), 1u);
    EXPECT_EQ(reply.dataSize, 7u);
}

TEST(IcmpTest, Ipv6LoopbackAnswersOverIcmpv6) {
    Handle ipv4;
    if (ipv4.value == kNoIcmp) {
        GTEST_SKIP() << "no ICMP socket for this process";
    }
    // The same rules let a process open either family's sockets.
    IcmpHandle handle = Icmp6CreateFile();
    ASSERT_NE(handle, kNoIcmp) << "no ICMPv6 socket, although an ICMP one opens";
    NetAddress loopback;
    ASSERT_TRUE(ParseIpv6Address("::1", &loopback));
    for (uint8_t hopLimit : {uint8_t{0}, uint8_t{1}}) {
        SCOPED_TRACE(hopLimit);
        EchoReply reply;
        NetAddress answerer;
        EXPECT_EQ(Icmp6SendEcho(handle, loopback, kData, 32, hopLimit, 5000, &reply, &answerer),
                  1u);
        EXPECT_EQ(reply.status, kIpSuccess);
        EXPECT_EQ(answerer, loopback);
        EXPECT_EQ(reply.dataSize, 32u);
        EXPECT_GT(reply.ttl, 0);
    }
    // An IPv4 destination is no ICMPv6 one.
    EchoReply reply;
    NetAddress answerer;
    EXPECT_EQ(Icmp6SendEcho(handle, Loopback(), kData, 32, 0, 5000, &reply, &answerer), 0u);
    EXPECT_EQ(reply.status, kIpGeneralFailure);
    IcmpCloseHandle(handle);
}

// --- Socket kinds, time-outs and unreachable networks in a namespace of their own ----------

TEST(IcmpNamespaceTest, UnavailableWhenNeitherSocketOpens) {
    RUN_IN_FRESH_NETWORK([] {
        // An ordinary user outside the datagram group range may open neither kind.
        if (!WriteSetting("/proc/sys/net/ipv4/ping_group_range", "1 0") ||
            ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            return Complain("cannot become an ordinary user", errno);
        }
        if (IcmpAvailable() || IcmpCreateFile() != kNoIcmp || Icmp6CreateFile() != kNoIcmp) {
            return Complain("an echo handle without permission", 0);
        }
        return 0;
    });
}

TEST(IcmpNamespaceTest, NoRouteIsNetUnreachableAtOnce) {
    RUN_IN_FRESH_NETWORK([] {
        IcmpHandle handle = IcmpCreateFile();
        EchoReply reply;
        // Known before anything is sent, long before the time-out.
        uint32_t replies =
            IcmpSendEcho(handle, ParseDottedAddress("192.0.2.1"), kData, 32, 0, 60000, &reply);
        IcmpCloseHandle(handle);
        if (handle == kNoIcmp || replies != 0 || reply.status != kIpDestNetUnreachable) {
            return Complain("not net unreachable, status", reply.status);
        }
        return 0;
    });
}

// --- A link-local address and its zone -------------------------------------------------------

TEST(IcmpNamespaceTest, ZoneTakesEchoesAndConnectionsToItsLinkLocalAddress) {
    RUN_IN_FRESH_NETWORK([] {
        if (std::system("ip link set lo up && ip -6 addr add fe80::1/64 dev lo nodad") != 0) {
            return Complain("cannot give lo a link-local address", 0);
        }
        NetAddress zoned;
        if (!ParseIpv6Address("fe80::1%lo", &zoned) || zoned.scope != ::if_nametoindex("lo")) {
            return Complain("fe80::1%lo has no zone, scope", zoned.scope);
        }
        char text[kAddressTextSize];
        IcmpHandle handle = Icmp6CreateFile();
        EchoReply reply;
        NetAddress answerer;
        uint32_t replies = Icmp6SendEcho(handle, zoned, kData, 32, 0, 5000, &reply, &answerer);
        IcmpCloseHandle(handle);
        if (replies != 1 || reply.status != kIpSuccess ||
            !FormatAddress(answerer, text, sizeof text) || std::string(text) != "fe80::1%lo") {
            return Complain("no echo reply from fe80::1%lo, status", reply.status);
        }
        // The connection's two ends name the zone too; without it the address is ambiguous.
        SocketHandle listener = OpenStreamSocket(true);
        SocketHandle client = OpenStreamSocket(true);
        SocketHandle unzoned = OpenStreamSocket(true);
        uint16_t port = 0;
        NetAddress peer;
        bool connected = BindSocket(listener, zoned, 0) && ListenSocket(listener, 1) &&
                         LocalNetName(listener, nullptr, &port) &&
                         ConnectSocket(client, zoned, port) && PeerNetName(client, &peer, nullptr);
        NetAddress bare = zoned;
        bare.scope = 0;
        const bool bareConnected = ConnectSocket(unzoned, bare, port);
        const int bareError = LastSocketError();
        CloseSocket(unzoned);
        CloseSocket(client);
        CloseSocket(listener);
        if (!connected || !FormatAddress(peer, text, sizeof text) ||
            std::string(text) != "fe80::1%lo") {
            return Complain("no connection to fe80::1%lo, error", LastSocketError());
        }
        if (bareConnected || bareError != kWsaEinval) {
            return Complain("fe80::1 without a zone was not refused as WSAEINVAL", bareError);
        }
        return 0;
    });
}

// --- Name service ------------------------------------------------------------------------------

TEST(NameServiceTest, LocalhostBothWaysAndUnknownNames) {
    NameServiceEntry entry;
    ASSERT_TRUE(LookupHostByName("localhost", &entry)) << LastSocketError();
    EXPECT_EQ(entry.name + " " + Dotted(entry.address), "localhost 127.0.0.1");
    entry = NameServiceEntry{};
    ASSERT_TRUE(LookupHostByAddress(Loopback(), &entry)) << LastSocketError();
    EXPECT_EQ(entry.name + " " + Dotted(entry.address), "localhost 127.0.0.1");
    // ".invalid" never resolves (RFC 2606): not found, or no name server to ask.
    EXPECT_FALSE(LookupHostByName("nosuchhost.qvex.invalid", &entry));
    EXPECT_TRUE(LastSocketError() == 11001 || LastSocketError() == 11002) << LastSocketError();
    EXPECT_FALSE(LookupHostByName(nullptr, &entry));
    EXPECT_EQ(LastSocketError(), kWsaEfault);
    std::string name;
    EXPECT_FALSE(LookupHostByIpv6Address(Loopback(), &name));
    EXPECT_EQ(LastSocketError(), kWsaEfault);
}

TEST(NameServiceTest, WithoutNameServerReverseLookupIsTryAgain) {
    // No network in the namespace: an address missing from the hosts file cannot be asked
    // about, which is no WSANO_DATA answer; alike for either family.
    RUN_IN_FRESH_NETWORK([] {
        NameServiceEntry entry;
        if (LookupHostByAddress(ParseDottedAddress("192.0.2.77"), &entry)) {
            return Complain("an address without a name was named", 0);
        }
        if (LastSocketError() != 11002) {
            return Complain("not WSATRY_AGAIN", LastSocketError());
        }
        NetAddress address;
        std::string name;
        if (!ParseIpv6Address("2001:db8::77", &address) ||
            LookupHostByIpv6Address(address, &name)) {
            return Complain("an IPv6 address without a name was named", 0);
        }
        if (LastSocketError() != 11002) {
            return Complain("IPv6: not WSATRY_AGAIN", LastSocketError());
        }
        return 0;
    });
}

}  // namespace
}  // namespace qvex::platform
