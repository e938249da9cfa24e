#include "platform/socket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace qvex::platform {
namespace {

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address);  // network order is memory order
    return address;
}

int OptionValue(SocketHandle socket, int level, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(::getsockopt(socket - 1, level, option, &value, &length), 0);
    return value;
}

// A listening socket on 127.0.0.1 with a client connected to it and the accepted end.
struct Connection {
    SocketHandle listener = OpenStreamSocket();
    SocketHandle client = OpenStreamSocket();
    SocketHandle server = kNoSocket;
    uint16_t port = 0;

    Connection() {
        EXPECT_TRUE(BindSocket(listener, Address(127, 0, 0, 1), 0));
        EXPECT_TRUE(ListenSocket(listener, 5));
        EXPECT_TRUE(LocalName(listener, nullptr, &port));
        EXPECT_TRUE(ConnectSocket(client, Address(127, 0, 0, 1), port));
        server = AcceptSocket(listener);
        EXPECT_NE(server, kNoSocket);
    }
    ~Connection() {
        CloseSocket(server);
        CloseSocket(client);
        CloseSocket(listener);
    }
};

TEST(SocketErrors, SystemErrorsBecomeWindowsSocketsCodes) {
    const struct {
        int system;
        int code;
    } rows[] = {
        {EINTR, 10004},
        {EBADF, 10038},
        {ENOTSOCK, 10038},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},
        {EINPROGRESS, 10036},
        {EALREADY, 10037},
        {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},
        {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ENETRESET, 10052},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ENOBUFS, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ESHUTDOWN, 10058},
        {ETOOMANYREFS, 10059},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {ELOOP, 10062},
        {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        {ENOTEMPTY, 10066},
        {EUSERS, 10068},
        {EDQUOT, 10069},
        {ESTALE, 10070},
        {EREMOTE, 10071},
        // No Windows Sockets equivalent: the system's own number goes on.
        {EACCES, EACCES},
        {EPERM, EPERM},
        {ENOENT, ENOENT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::strerror(row.system));
        EXPECT_EQ(TranslateSystemError(row.system), row.code);
    }
}

TEST(SocketErrors, ResolverResultsBecomeWindowsSocketsCodes) {
    const struct {
        int result;
        int code;
    } rows[] = {
        {EAI_NONAME, 11001},     {EAI_AGAIN, 11002},  {EAI_FAIL, 11003},    {EAI_NODATA, 11004},
        {EAI_ADDRFAMILY, 11004}, {EAI_MEMORY, 10055}, {EAI_SERVICE, 11003},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::gai_strerror(row.result));
        EXPECT_EQ(TranslateResolverError(row.result), row.code);
    }
    errno = ECONNREFUSED;
    EXPECT_EQ(TranslateResolverError(EAI_SYSTEM), 10061);
}

TEST(SocketErrors, LastErrorBelongsToItsThread) {
    SetLastSocketError(10061);
    int seenByOther = -1;
    std::thread other([&] {
        seenByOther = LastSocketError();
        SetLastSocketError(10054);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0);
    EXPECT_EQ(LastSocketError(), 10061);
}

TEST(DottedAddress, ParsesLikeTheClassicParser) {
    const struct {
        const char* text;
        uint32_t address;
    } rows[] = {
        {"10.0.0.1", Address(10, 0, 0, 1)},
        {"127.0.0.1", Address(127, 0, 0, 1)},
        {"0.0.0.0", Address(0, 0, 0, 0)},
        {"10.1", Address(10, 0, 0, 1)},      // the last part fills the rest
        {"0x7f.1", Address(127, 0, 0, 1)},   // hexadecimal part
        {"010.0.0.1", Address(8, 0, 0, 1)},  // octal part
        {"255.255.255.255", kAddressNone},   // indistinguishable from "no address"
        {"1.2.3.256", kAddressNone},
        {"1.2.3.4.5", kAddressNone},
        {"10.0.0.1x", kAddressNone},
        {"host-1", kAddressNone},
        {"", kAddressNone},
        {".", kAddressNone},
        {nullptr, kAddressNone},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text == nullptr ? "(null)" : row.text);
        EXPECT_EQ(ParseDottedAddress(row.text), row.address);
    }
}

TEST(DottedAddress, FormatsIntoSixteenBytes) {
    char text[16];
    ASSERT_TRUE(FormatDottedAddress(Address(255, 255, 255, 255), text, sizeof text));
    EXPECT_STREQ(text, "255.255.255.255");
    ASSERT_TRUE(FormatDottedAddress(Address(10, 0, 0, 1), text, sizeof text));
    EXPECT_STREQ(text, "10.0.0.1");
    EXPECT_FALSE(FormatDottedAddress(Address(10, 0, 0, 1), text, 15));
    EXPECT_EQ(LastSocketError(), kWsaEfault);
}

TEST(Ipv6Address, ZonesOnLinkLocalAddressesOnly) {
    const std::string lo = "%" + std::to_string(::if_nametoindex("lo"));
    const struct {
        std::string text;
        const char* shown;  // nullptr: no address
    } rows[] = {
        {"::1", "::1"},
        {"2001:DB8:0::7", "2001:db8::7"},
        {"fe80::1%lo", "fe80::1%lo"},
        {"FEBF::1" + lo, "febf::1%lo"},
        // An index that names no interface stays a number.
        {"fe80::1%4294967295", "fe80::1%4294967295"},
        {"febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295",
         "febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295"},
        {"fe80::1%", nullptr},
        {"fe80::1%0", nullptr},
        {"fe80::1%4294967296", nullptr},
        {"fe80::1%-1", nullptr},
        {"fe80::1%+1", nullptr},
        {"fe80::1% 1", nullptr},
        {"fe80::1%1x", nullptr},
        {"fe80::1%nosuchif0", nullptr},
        {"fe80::1%lo%lo", nullptr},
        {"fe80::1%25lo", nullptr},
        {"%lo", nullptr},
        {"::1%lo", nullptr},
        {"2001:db8::1%lo", nullptr},
        {"fec0::1%lo", nullptr},
        {"fe7f::1%lo", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        NetAddress address;
        address.scope = 77;
        ASSERT_EQ(ParseIpv6Address(row.text.c_str(), &address), row.shown != nullptr);
        if (row.shown == nullptr) {
            EXPECT_EQ(address.scope, 77u) << "a failed parse leaves the address alone";
            continue;
        }
        char text[kAddressTextSize];
        ASSERT_TRUE(FormatAddress(address, text, sizeof text));
        EXPECT_STREQ(text, row.shown);
        EXPECT_EQ(address.scope != 0, row.text.find('%') != std::string::npos);
    }
}

TEST(HostLookup, FindsLocalhost) {
    uint32_t address = 0;
    ASSERT_TRUE(LookupHost("localhost", &address));
    EXPECT_EQ(address, Address(127, 0, 0, 1));
}

TEST(StreamSocket, ConnectsAcceptsAndNamesBothEnds) {
    Connection connection;
    uint32_t address = 0;
    uint16_t clientPort = 0;
    ASSERT_TRUE(LocalName(connection.client, &address, &clientPort));
    EXPECT_EQ(address, Address(127, 0, 0, 1));
    uint16_t peerPort = 0;
    ASSERT_TRUE(PeerName(connection.server, &address, &peerPort));
    EXPECT_EQ(address, Address(127, 0, 0, 1));
    EXPECT_EQ(peerPort, clientPort);
    ASSERT_TRUE(PeerName(connection.client, nullptr, &peerPort));
    EXPECT_EQ(peerPort, connection.port);

    ASSERT_EQ(SendBytes(connection.client, "hello", 5, 0), 5);
    char buffer[8] = {};
    ASSERT_EQ(ReceiveBytes(connection.server, buffer, 1), 1);
    int32_t available = -1;
    ASSERT_TRUE(ReadableBytes(connection.server, &available));
    EXPECT_EQ(available, 4);
    ASSERT_EQ(ReceiveBytes(connection.server, buffer + 1, sizeof buffer - 1), 4);
    EXPECT_STREQ(buffer, "hello");

    ShutdownSocket(connection.client);
    EXPECT_EQ(ReceiveBytes(connection.server, buffer, sizeof buffer), 0);
}

TEST(StreamSocket, ResetReachesThePeerAsWsaeconnresetWithoutASignal) {
    Connection connection;
    AbortSocket(connection.server);
    connection.server = kNoSocket;
    char byte = 0;
    EXPECT_EQ(ReceiveBytes(connection.client, &byte, 1), -1);
    EXPECT_EQ(LastSocketError(), 10054);
    // Sending now would raise SIGPIPE and end the test program if it were not suppressed.
    EXPECT_EQ(SendBytes(connection.client, "x", 1, 0), -1);
    EXPECT_EQ(LastSocketError(), 10054);
}

TEST(StreamSocket, OptionsAreSet) {
    SocketHandle socket = OpenStreamSocket();
    ASSERT_NE(socket, kNoSocket);
    ASSERT_TRUE(SetNoDelay(socket, true));
    EXPECT_NE(OptionValue(socket, IPPROTO_TCP, TCP_NODELAY), 0);
    ASSERT_TRUE(SetKeepAlive(socket, true));
    EXPECT_NE(OptionValue(socket, SOL_SOCKET, SO_KEEPALIVE), 0);
    ASSERT_TRUE(SetKeepAlive(socket, false));
    EXPECT_EQ(OptionValue(socket, SOL_SOCKET, SO_KEEPALIVE), 0);
    ASSERT_TRUE(SetUrgentInline(socket, true));
    EXPECT_NE(OptionValue(socket, SOL_SOCKET, SO_OOBINLINE), 0);
    EXPECT_NE(::fcntl(socket - 1, F_GETFD) & FD_CLOEXEC, 0);
    CloseSocket(socket);
}

TEST(StreamSocket, NoSocketFailsAsNotASocket) {
    SetLastSocketError(0);
    EXPECT_FALSE(SetNoDelay(kNoSocket, true));
    EXPECT_EQ(LastSocketError(), 10038);
    SetLastSocketError(0);
    EXPECT_EQ(SendBytes(kNoSocket, "x", 1, 0), -1);
    EXPECT_EQ(LastSocketError(), 10038);
    EXPECT_EQ(AcceptSocket(kNoSocket), kNoSocket);
}

TEST(StreamSocket, DescriptorZeroIsARealSocket) {
    // With standard input closed, the next socket gets descriptor 0; its handle must still
    // differ from the empty state.
    const int savedInput = ::dup(0);  // -1 when it is closed already
    if (savedInput >= 0) {
        ::close(0);
    }
    SocketHandle socket = OpenStreamSocket();
    const bool usable = SetNoDelay(socket, true);
    CloseSocket(socket);
    if (savedInput >= 0) {
        ::dup2(savedInput, 0);
        ::close(savedInput);
    }
    EXPECT_EQ(socket, 1);
    EXPECT_NE(socket, kNoSocket);
    EXPECT_TRUE(usable);
}

TEST(SocketPair, CarriesBytesAndTheEnd) {
    SocketHandle first = kNoSocket;
    SocketHandle second = kNoSocket;
    ASSERT_TRUE(OpenSocketPair(&first, &second));
    ASSERT_EQ(SendBytes(first, "abc", 3, 0), 3);
    ShutdownSocket(first);
    char buffer[4] = {};
    EXPECT_EQ(ReceiveBytes(second, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(ReceiveBytes(second, buffer, sizeof buffer), 0);
    CloseSocket(first);
    CloseSocket(second);
}

}  // namespace
}  // namespace qvex::platform
