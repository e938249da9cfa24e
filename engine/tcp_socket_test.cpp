#include "engine/tcp_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tests/support/scripted_peer.h"

namespace qvex {
namespace {

using test::LoopbackPair;
using test::ScriptedPeer;

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

// One ReadLine outcome: the result and, for a line, its text.
struct LineResult {
    int result;
    std::string text;
    bool operator==(const LineResult&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LineResult& line) {
    return out << line.result << " \"" << line.text << "\"";
}

LineResult Line(const std::string& text) {
    return {static_cast<int>(text.size()), text};
}

// Calls ReadLine until a negative result.
std::vector<LineResult> ReadAllLines(TcpSocket& socket) {
    std::vector<LineResult> results;
    char line[TcpSocket::kLineBufferSize];
    for (;;) {
        int result = socket.ReadLine(line);
        if (result < 0) {
            results.push_back({result, {}});
            return results;
        }
        results.push_back({result, std::string(line, static_cast<size_t>(result))});
        EXPECT_EQ(line[result], '\0');
    }
}

// ---------------------------------------------------------------------------------------
// Error names

TEST(WsaErrorName, NamesEveryCodeOfTheTable) {
    const struct {
        int code;
        const char* name;
    } rows[] = {
        {10004, "WSAEINTR"},
        {10014, "WSAEFAULT"},
        {10022, "WSAEINVAL"},
        {10024, "WSAEMFILE"},
        {10035, "WSAEWOULDBLOCK"},
        {10036, "WSAEINPROGRESS"},
        {10037, "WSAEALREADY"},
        {10038, "WSAENOTSOCK"},
        {10039, "WSAEDESTADDRREQ"},
        {10040, "WSAEMSGSIZE"},
        {10041, "WSAEPROTOTYPE"},
        {10042, "WSAENOPROTOOPT"},
        {10043, "WSAEPROTONOSUPPORT"},
        {10044, "WSAESOCKTNOSUPPORT"},
        {10045, "WSAEOPNOTSUPP"},
        {10046, "WSAEPFNOSUPPORT"},
        {10047, "WSAEAFNOSUPPORT"},
        {10048, "WSAEADDRINUSE"},
        {10049, "WSAEADDRNOTAVAIL"},
        {10050, "WSAENETDOWN"},
        {10051, "WSAENETUNREACH"},
        {10052, "WSAENETRESET"},
        {10053, "WSAECONNABORTED"},
        {10054, "WSAECONNRESET"},
        {10055, "WSAENOBUFS"},
        {10056, "WSAEISCONN"},
        {10057, "WSAENOTCONN"},
        {10058, "WSAESHUTDOWN"},
        {10059, "WSAETOOMANYREFS"},
        {10060, "WSAETIMEDOUT"},
        {10061, "WSAECONNREFUSED"},
        {10062, "WSAELOOP"},
        {10063, "WSAENAMETOOLONG"},
        {10064, "WSAEHOSTDOWN"},
        {10065, "WSAEHOSTUNREACH"},
        {10066, "WSAENOTEMPTY"},
        {10067, "WSAEPROCLIM"},
        {10068, "WSAEUSERS"},
        {10069, "WSAEDQUOT"},
        {10070, "WSAESTALE"},
        {10071, "WSAEREMOTE"},
        {10093, "WSANOTINITIALISED"},
        {11001, "WSAHOST_NOT_FOUND"},
        {11002, "WSATRY_AGAIN"},
        {11003, "WSANO_RECOVERY"},
        {11004, "WSANO_DATA"},
        // Not in the table.
        {10013, "<WSAunknown: #10013>"},
        {0, "<WSAunknown: #0>"},
        {13, "<WSAunknown: #13>"},
        {-1, "<WSAunknown: #-1>"},
        {10072, "<WSAunknown: #10072>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_STREQ(WsaErrorName(row.code), row.name);
    }
}

TEST(WsaErrorName, NamesTheThreadsLastError) {
    platform::SetLastSocketError(10061);
    EXPECT_STREQ(WsaErrorName(), "WSAECONNREFUSED");
    platform::SetLastSocketError(10013);
    EXPECT_STREQ(WsaErrorName(), "<WSAunknown: #10013>");
}

TEST(WsaErrorName, UnknownTextIsPerThread) {
    const char* mine = WsaErrorName(10013);
    std::string theirs;
    std::thread other([&] { theirs = WsaErrorName(12345); });
    other.join();
    EXPECT_STREQ(mine, "<WSAunknown: #10013>");
    EXPECT_EQ(theirs, "<WSAunknown: #12345>");
}

// ---------------------------------------------------------------------------------------
// Host resolution

std::vector<std::string> lookedUp;
std::vector<platform::NetAddress> lookupAnswer;
bool lookupSucceeds = true;

bool FakeLookup(const char* name, std::vector<platform::NetAddress>* addresses) {
    lookedUp.emplace_back(name);
    if (!lookupSucceeds) {
        platform::SetLastSocketError(11001);
        return false;
    }
    *addresses = lookupAnswer;
    return true;
}

platform::NetAddress Ipv6(const char* text) {
    platform::NetAddress address;
    EXPECT_TRUE(platform::ParseIpv6Address(text, &address)) << text;
    return address;
}

// The addresses as text, one space between.
std::string Texts(const std::vector<platform::NetAddress>& addresses) {
    std::string texts;
    for (const platform::NetAddress& address : addresses) {
        char text[platform::kAddressTextSize];
        EXPECT_TRUE(platform::FormatAddress(address, text, sizeof text));
        texts += (texts.empty() ? "" : " ") + std::string(text);
    }
    return texts;
}

TEST(ResolveHost, DigitsAndDotsAreParsedColonsAreIpv6EverythingElseIsLookedUp) {
    const std::vector<platform::NetAddress> answer = {Ipv6("2001:db8::7"), Address(192, 0, 2, 7)};
    const struct {
        const char* host;
        bool lookupSucceeds;
        bool lookedUp;
        bool resolved;
        const char* addresses;
        int error;  // the last error after a failure
    } rows[] = {
        {"10.0.0.1", true, false, true, "10.0.0.1", 0},
        {"10.1", true, false, true, "10.0.0.1", 0},
        {"10.0.0.1x", true, true, true, "2001:db8::7 192.0.2.7", 0},
        {"host-1", true, true, true, "2001:db8::7 192.0.2.7", 0},
        {" 10.0.0.1", true, true, true, "2001:db8::7 192.0.2.7", 0},
        {"ftp.example.com", false, true, false, "", 11001},
        {"255.255.255.255", true, false, false, "", 10049},
        {"1.2.3.999", true, false, false, "", 10049},
        {"1.2.3.4.5", true, false, false, "", 10049},
        {"", true, false, false, "", 10049},
        {"...", true, false, false, "", 10049},
        {"::1", true, false, true, "::1", 0},
        {"2001:DB8:0::7", true, false, true, "2001:db8::7", 0},
        {"::ffff:192.0.2.1", true, false, true, "::ffff:192.0.2.1", 0},
        {"1:2:3", true, false, false, "", 10049},
        {"[::1]", true, false, false, "", 10049},
        {"::1%lo", true, false, false, "", 10049},
        // A link-local address goes out of the interface its zone names.
        {"fe80::1%lo", true, false, true, "fe80::1%lo", 0},
        {"fe80::1%", true, false, false, "", 10049},
        {"fe80::1%nosuchif0", true, false, false, "", 10049},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        lookedUp.clear();
        lookupAnswer = answer;
        lookupSucceeds = row.lookupSucceeds;
        platform::SetLastSocketError(0);
        std::vector<platform::NetAddress> addresses;
        EXPECT_EQ(ResolveHost(row.host, &addresses, FakeLookup), row.resolved);
        EXPECT_EQ(lookedUp,
                  row.lookedUp ? std::vector<std::string>{row.host} : std::vector<std::string>{});
        if (row.resolved) {
            EXPECT_EQ(Texts(addresses), row.addresses);
        } else {
            EXPECT_EQ(platform::LastSocketError(), row.error);
        }
    }
}

TEST(ResolveHost, LookedUpBroadcastAddressIsDroppedAndAloneRefused) {
    lookedUp.clear();
    lookupAnswer = {platform::kAddressNone, Address(192, 0, 2, 7)};
    lookupSucceeds = true;
    std::vector<platform::NetAddress> addresses;
    EXPECT_TRUE(ResolveHost("broadcast", &addresses, FakeLookup));
    EXPECT_EQ(Texts(addresses), "192.0.2.7");
    lookupAnswer = {platform::kAddressNone};
    EXPECT_FALSE(ResolveHost("broadcast", &addresses, FakeLookup));
    EXPECT_EQ(lookedUp, (std::vector<std::string>{"broadcast", "broadcast"}));
    EXPECT_EQ(platform::LastSocketError(), 10049);
}

TEST(ResolveHost, LooksUpLocalhostWithTheSystemResolver) {
    std::vector<platform::NetAddress> addresses;
    ASSERT_TRUE(ResolveHost("localhost", &addresses));
    EXPECT_NE(Texts(addresses).find("127.0.0.1"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Connections

TEST(TcpSocket, BroadcastAddressFailsWithoutAConnectAttempt) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.listening());
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    platform::SetLastSocketError(0);
    EXPECT_FALSE(socket.Connect("255.255.255.255", peer.port()));
    // The system would have said unreachable or forbidden; this is the refusal's own code.
    EXPECT_STREQ(WsaErrorName(), "WSAEADDRNOTAVAIL");
    // The socket was never used, so it still connects.
    ASSERT_TRUE(peer.Start());
    EXPECT_TRUE(socket.Connect("127.0.0.1", peer.port()));
    socket.Close();
    EXPECT_TRUE(peer.Wait());
}

TEST(TcpSocket, RefusedConnectIsNamedWsaeconnrefused) {
    // A bound port without a listener answers with a reset.
    TcpSocket bound;
    ASSERT_TRUE(bound.Create());
    uint16_t port = 0;
    ASSERT_TRUE(bound.LocalAddress(nullptr, &port));
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", port));
    EXPECT_STREQ(WsaErrorName(), "WSAECONNREFUSED");
}

TEST(TcpSocket, ConnectWithoutCreateFails) {
    TcpSocket socket;
    EXPECT_FALSE(socket.Connect("127.0.0.1", 21));
    EXPECT_STREQ(WsaErrorName(), "WSAENOTSOCK");
}

TEST(TcpSocket, ConnectsByNameThroughTheLookup) {
    ScriptedPeer peer;
    peer.ReadLine();
    ASSERT_TRUE(peer.Start());
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("localhost", peer.port()));
    EXPECT_EQ(socket.SendLine("NOOP"), 6);
    ASSERT_TRUE(peer.Wait());
    EXPECT_EQ(peer.lines(0), std::vector<std::string>{"NOOP"});
}

TEST(TcpSocket, ListenAcceptAndAddressesRoundTrip) {
    TcpSocket listener;
    ASSERT_TRUE(listener.Create());
    ASSERT_TRUE(listener.Listen());
    uint32_t address = 1;
    uint16_t listenPort = 0;
    ASSERT_TRUE(listener.LocalAddress(&address, &listenPort));
    EXPECT_EQ(address, platform::kAddressAny);
    EXPECT_NE(listenPort, 0);

    TcpSocket client;
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.Connect("127.0.0.1", listenPort));
    TcpSocket accepted;
    ASSERT_TRUE(listener.Accept(accepted));
    ASSERT_TRUE(accepted.isOpen());

    uint16_t clientPort = 0;
    ASSERT_TRUE(client.LocalAddress(&address, &clientPort));
    EXPECT_EQ(address, Address(127, 0, 0, 1));
    char text[platform::kAddressTextSize];
    uint16_t port = 0;
    ASSERT_TRUE(accepted.PeerAddress(text, &port));
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(port, clientPort);
    ASSERT_TRUE(client.PeerAddress(text, &port));
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(port, listenPort);
    ASSERT_TRUE(accepted.LocalAddress(nullptr, &port));
    EXPECT_EQ(port, listenPort);
}

TEST(TcpSocket, CloseIsHarmlessTwiceAndLeavesNoSocket) {
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.isOpen());
    socket.Close();
    EXPECT_EQ(socket.handle(), platform::kNoSocket);
    socket.Close();
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.Send("x", 1, 0), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAENOTSOCK");
    char text[platform::kAddressTextSize];
    EXPECT_FALSE(socket.PeerAddress(text, nullptr));
    int32_t available = 0;
    EXPECT_FALSE(socket.BytesAvailable(&available));
    EXPECT_FALSE(socket.SetNoDelay(1));
    EXPECT_FALSE(socket.SetKeepAlive(1));
}

TEST(TcpSocket, OptionsOnAnOpenSocket) {
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_TRUE(socket.SetNoDelay(1));
    EXPECT_TRUE(socket.SetKeepAlive(1));
}

// ---------------------------------------------------------------------------------------
// Line reading

struct LineRow {
    const char* name;
    std::string input;  // sent, then the peer closes
    std::vector<LineResult> expected;
};

std::vector<LineRow> LineRows() {
    const std::string long511(511, 'A');
    const std::string long512(512, 'B');
    return {
        {"CR LF", "220 Ready\r\n", {Line("220 Ready"), {-2, ""}}},
        {"CR then anything then LF", "abc\rxyz\nnext\r\n", {Line("abc"), Line("next"), {-2, ""}}},
        {"lone LF, CR LF, CR junk LF, partial",
         "a\nb\r\nc\rjunk\nd",
         {Line("a"), Line("b"), Line("c"), Line("d"), {-2, ""}}},
        {"partial line at close", "22", {Line("22"), {-2, ""}}},
        {"nothing at all", "", {{-2, ""}}},
        {"empty lines", "\r\n\n\r\n", {Line(""), Line(""), Line(""), {-2, ""}}},
        {"CR at close", "x\r", {Line("x"), {-2, ""}}},
        {"NUL and high bytes kept",
         std::string("a\0b\xFF\r\n", 6),
         {Line(std::string("a\0b\xFF", 4)), {-2, ""}}},
        {"511 characters fit", long511 + "\r\nok\r\n", {Line(long511), Line("ok"), {-2, ""}}},
        {"511 characters at close", long511, {Line(long511), {-2, ""}}},
        {"511 characters, CR, junk",
         long511 + "\rjunk\nok\n",
         {Line(long511), Line("ok"), {-2, ""}}},
        {"512 characters are too many", long512 + "\r\n", {{-1, ""}}},
        {"512 characters at close are too many", long512, {{-1, ""}}},
        {"far too long", std::string(2000, 'C'), {{-1, ""}}},
    };
}

// Chunk sizes the peer sends with and the reader's buffer takes: every small size, and one
// larger than any row.
std::vector<int32_t> ChunkSizes() {
    std::vector<int32_t> sizes;
    for (int32_t size = 1; size <= 17; ++size) {
        sizes.push_back(size);
    }
    sizes.push_back(4096);
    return sizes;
}

TEST(TcpSocketReadLine, SameLinesAtEveryChunkSize) {
    for (const LineRow& row : LineRows()) {
        for (int32_t chunk : ChunkSizes()) {
            SCOPED_TRACE(std::string(row.name) + ", chunk " + std::to_string(chunk));
            LoopbackPair pair;
            ASSERT_TRUE(pair.connected());
            for (size_t at = 0; at < row.input.size(); at += static_cast<size_t>(chunk)) {
                ASSERT_TRUE(pair.PeerSend(row.input.substr(at, static_cast<size_t>(chunk))));
            }
            pair.PeerClose();
            ASSERT_TRUE(pair.socket().SetBuffer(chunk));
            EXPECT_EQ(ReadAllLines(pair.socket()), row.expected);
            if (row.expected.back().result == -2) {
                EXPECT_EQ(pair.socket().bytesReceived(), row.input.size());
            }
            EXPECT_EQ(pair.socket().bytesSent(), 0u);
        }
    }
}

TEST(TcpSocketReadLine, OverlongLineIsAMessageSizeError) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.PeerSend(std::string(512, 'x')));
    ASSERT_TRUE(pair.socket().SetBuffer(4096));
    char line[TcpSocket::kLineBufferSize];
    EXPECT_EQ(pair.socket().ReadLine(line), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAEMSGSIZE");
}

TEST(TcpSocketReadLine, NextLineStartsAfterTheLf) {
    // The rest of the buffer after CR xyz LF is the next line, not a new receive.
    LoopbackPair pair;
    ASSERT_TRUE(pair.PeerSend("abc\rxyz\ndef\r\n"));
    ASSERT_TRUE(pair.socket().SetBuffer(4096));
    char line[TcpSocket::kLineBufferSize];
    ASSERT_EQ(pair.socket().ReadLine(line), 3);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(pair.socket().count(), 5);
    ASSERT_EQ(pair.socket().ReadLine(line), 3);
    EXPECT_STREQ(line, "def");
    EXPECT_EQ(pair.socket().count(), 0);
}

TEST(TcpSocketReadLine, PeerClosingAfter22GivesTheLineThenClosed) {
    ScriptedPeer peer;
    peer.Send("22").Close();
    ASSERT_TRUE(peer.Start());
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.port()));
    ASSERT_TRUE(socket.SetBuffer(4096));
    char line[TcpSocket::kLineBufferSize];
    EXPECT_EQ(socket.ReadLine(line), 2);
    EXPECT_STREQ(line, "22");
    EXPECT_EQ(socket.ReadLine(line), -2);
    EXPECT_TRUE(peer.Wait());
    EXPECT_EQ(peer.error(), "");
}

TEST(TcpSocketReadLine, ResetConnectionIsAnError) {
    ScriptedPeer peer;
    peer.ReadLine().Abort();
    ASSERT_TRUE(peer.Start());
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.port()));
    ASSERT_TRUE(socket.SetBuffer(4096));
    ASSERT_EQ(socket.SendLine("QUIT"), 6);
    char line[TcpSocket::kLineBufferSize];
    EXPECT_EQ(socket.ReadLine(line), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAECONNRESET");
    EXPECT_TRUE(peer.Wait());
}

TEST(TcpSocketReadLine, WithoutABufferIsAnErrorNotAClose) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.PeerSend("220 Ready\r\n"));
    EXPECT_EQ(pair.socket().ReadByte(), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAEINVAL");
}

// ---------------------------------------------------------------------------------------
// Buffer, Fill, ReadByte

TEST(TcpSocketBuffer, SmallerSizeKeepsTheLargerBlock) {
    TcpSocket socket;
    ASSERT_TRUE(socket.SetBuffer(65536));
    char* block = socket.buffer();
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(socket.SetBuffer(4096));
    EXPECT_EQ(socket.buffer(), block);
    EXPECT_EQ(socket.ownedSize(), 65536);
    EXPECT_EQ(socket.capacity(), 4096);
    ASSERT_TRUE(socket.SetBuffer(100000));
    EXPECT_EQ(socket.ownedSize(), 100000);
    EXPECT_EQ(socket.capacity(), 100000);
    EXPECT_FALSE(socket.SetBuffer(0));
    EXPECT_FALSE(socket.SetBuffer(-5));
}

TEST(TcpSocketBuffer, FillTakesAtMostTheCapacityAndReadByteHandsOutBytes) {
    LoopbackPair pair;
    TcpSocket& socket = pair.socket();
    ASSERT_TRUE(socket.SetBuffer(65536));
    ASSERT_TRUE(socket.SetBuffer(4));
    ASSERT_TRUE(pair.PeerSend("\xFFhello"));
    pair.PeerClose();
    EXPECT_EQ(socket.Fill(), 4);
    EXPECT_EQ(socket.position(), 0);
    EXPECT_EQ(socket.count(), 4);
    EXPECT_EQ(socket.ReadByte(), 0xFF);
    EXPECT_EQ(socket.ReadByte(), 'h');
    EXPECT_EQ(socket.position(), 2);
    EXPECT_EQ(socket.count(), 2);
    std::string rest;
    int byte;
    while ((byte = socket.ReadByte()) >= 0) {
        rest.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(rest, "ello");
    EXPECT_EQ(byte, -2);
    EXPECT_EQ(socket.Fill(), -2);
    EXPECT_EQ(socket.bytesReceived(), 6u);
}

TEST(TcpSocketBuffer, BytesAvailableCountsWhatWaits) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.PeerSend("0123456789"));
    char first = 0;
    ASSERT_EQ(pair.socket().RecvAll(&first, 1), 1);
    int32_t available = -1;
    ASSERT_TRUE(pair.socket().BytesAvailable(&available));
    EXPECT_EQ(available, 9);
}

// ---------------------------------------------------------------------------------------
// Whole sends and receives

TEST(TcpSocketRecvAll, PeerClosingEarlyGivesClosed) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.PeerSend("12345"));
    pair.PeerClose();
    char buffer[8];
    EXPECT_EQ(pair.socket().RecvAll(buffer, 8), -2);
    EXPECT_EQ(pair.socket().bytesReceived(), 5u);
}

TEST(TcpSocketRecvAll, CollectsPiecesAndIgnoresEmptyRequests) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.PeerSend("abc"));
    ASSERT_TRUE(pair.PeerSend("def"));
    ASSERT_TRUE(pair.PeerSend("gh"));
    char buffer[9] = {};
    EXPECT_EQ(pair.socket().RecvAll(buffer, 0), 0);
    EXPECT_EQ(pair.socket().RecvAll(buffer, -3), 0);
    EXPECT_EQ(pair.socket().RecvAll(buffer, 8), 8);
    EXPECT_STREQ(buffer, "abcdefgh");
    EXPECT_EQ(pair.socket().bytesReceived(), 8u);
}

TEST(TcpSocketRecvAll, ResetIsAnError) {
    LoopbackPair pair;
    pair.PeerAbort();
    char buffer[4];
    EXPECT_EQ(pair.socket().RecvAll(buffer, 4), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAECONNRESET");
}

TEST(TcpSocketSendAll, SendsEverythingAndCounts) {
    LoopbackPair pair;
    std::string data(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + i / 251);
    }
    std::string received;
    std::thread reader([&] { received = pair.PeerReceive(data.size()); });
    const long length = static_cast<long>(data.size());
    EXPECT_EQ(pair.socket().SendAll(data.data(), length), length);
    reader.join();
    EXPECT_TRUE(received == data);
    EXPECT_EQ(pair.socket().bytesSent(), data.size());
    EXPECT_EQ(pair.socket().SendAll("x", 0), 0);
    EXPECT_EQ(pair.socket().SendAll("x", -1), 0);
}

TEST(TcpSocketSendAll, SendAfterResetFails) {
    LoopbackPair pair;
    pair.PeerAbort();
    char byte;
    ASSERT_EQ(pair.socket().RecvAll(&byte, 1), -1);
    EXPECT_EQ(pair.socket().SendAll("QUIT\r\n", 6), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAECONNRESET");
}

// ---------------------------------------------------------------------------------------
// Waits with a time-out and a stop flag

// Limits of `milliseconds` whose time-outs are recorded in `waits`.
WaitLimits RecordingLimits(int64_t milliseconds, std::vector<SocketWait>* waits) {
    WaitLimits limits;
    limits.milliseconds = milliseconds;
    limits.onTimeout = [waits](SocketWait what) { waits->push_back(what); };
    return limits;
}

TEST(TcpSocketWait, EachKindOfWaitTimesOutOnASilentPeer) {
    struct Row {
        const char* name;
        SocketWait what;
        std::function<bool(TcpSocket&, const WaitLimits&)> operation;  // true: it failed
    };
    const Row rows[] = {
        {"fill", SocketWait::Receive,
         [](TcpSocket&, const WaitLimits& limits) {
             LoopbackPair pair;
             pair.socket().SetWaitLimits(limits);
             return pair.socket().SetBuffer(64) && pair.socket().Fill() == -1;
         }},
        {"whole receive after a part", SocketWait::Receive,
         [](TcpSocket&, const WaitLimits& limits) {
             LoopbackPair pair;
             pair.socket().SetWaitLimits(limits);
             char buffer[8];
             return pair.PeerSend("abc") && pair.socket().RecvAll(buffer, 8) == -1;
         }},
        {"send to a peer that never reads", SocketWait::Send,
         [](TcpSocket&, const WaitLimits& limits) {
             LoopbackPair pair;
             pair.socket().SetWaitLimits(limits);
             const std::string block(64 * 1024 * 1024, 'x');
             return pair.socket().SendAll(block.data(), static_cast<long>(block.size())) == -1;
         }},
        {"accept", SocketWait::Accept,
         [](TcpSocket& socket, const WaitLimits& limits) {
             socket.SetWaitLimits(limits);
             TcpSocket target;
             return socket.Create(Address(127, 0, 0, 1)) && socket.Listen() &&
                    !socket.Accept(target);
         }},
        {"connect to a listener whose queue is full", SocketWait::Connect,
         [](TcpSocket& listener, const WaitLimits& limits) {
             // A full accept queue drops the next caller's SYN: its connect stays unanswered.
             EXPECT_TRUE(listener.Create(Address(127, 0, 0, 1)));
             EXPECT_TRUE(platform::ListenSocket(listener.handle(), 0));
             uint32_t address = 0;
             uint16_t port = 0;
             EXPECT_TRUE(listener.LocalAddress(&address, &port));
             std::vector<std::unique_ptr<TcpSocket>> callers;
             for (int tries = 0; tries < 8; ++tries) {
                 callers.push_back(std::make_unique<TcpSocket>());
                 callers.back()->SetWaitLimits(limits);
                 if (!callers.back()->Create() || !callers.back()->Connect("127.0.0.1", port)) {
                     return platform::LastSocketError() == platform::kWsaEtimedout;
                 }
             }
             return false;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<SocketWait> waits;
        TcpSocket socket;
        EXPECT_TRUE(row.operation(socket, RecordingLimits(300, &waits)));
        EXPECT_EQ(platform::LastSocketError(), platform::kWsaEtimedout);
        EXPECT_EQ(waits, std::vector<SocketWait>{row.what});
    }
}

// The time-out counts from the last byte that moved: a slow but steady peer never runs
// out of time, however long the whole transfer takes.
TEST(TcpSocketWait, TimeOutCountsFromTheLastByteThatMoved) {
    LoopbackPair pair;
    std::vector<SocketWait> waits;
    pair.socket().SetWaitLimits(RecordingLimits(1000, &waits));
    std::thread feeder([&] {
        for (int piece = 0; piece < 15; ++piece) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            (void)pair.PeerSend("x");
        }
    });
    char buffer[15];
    EXPECT_EQ(pair.socket().RecvAll(buffer, 15), 15);
    feeder.join();
    EXPECT_TRUE(waits.empty());
}

// The stop flag ends a wait that has no time limit, as WSAEINTR, and is no time-out.
TEST(TcpSocketWait, StopFlagEndsAWaitWithoutLimit) {
    LoopbackPair pair;
    std::atomic<bool> stop{false};
    std::vector<SocketWait> waits;
    WaitLimits limits = RecordingLimits(0, &waits);
    limits.interrupt = &stop;
    pair.socket().SetWaitLimits(limits);
    ASSERT_TRUE(pair.socket().SetBuffer(64));
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
    });
    EXPECT_EQ(pair.socket().Fill(), -1);
    stopper.join();
    EXPECT_EQ(platform::LastSocketError(), platform::kWsaEintr);
    EXPECT_TRUE(waits.empty());
    // Bytes that are there still move once the flag is down again.
    stop = false;
    ASSERT_TRUE(pair.PeerSend("ok"));
    EXPECT_EQ(pair.socket().Fill(), 2);
}

// A socket given up reads as closed, also what it had received and not yet handed out.
TEST(TcpSocketWait, AbandonedSocketReadsAsClosed) {
    LoopbackPair pair;
    ASSERT_TRUE(pair.socket().SetBuffer(4));
    ASSERT_TRUE(pair.PeerSend("200 OK\r\n"));
    EXPECT_EQ(pair.socket().ReadByte(), '2');
    pair.socket().Abandon();
    EXPECT_EQ(pair.socket().ReadByte(), -2);
    char buffer[4];
    EXPECT_EQ(pair.socket().RecvAll(buffer, 4), -2);
    EXPECT_EQ(pair.PeerReceiveToEnd(), "") << "the peer sees the end";
}

TEST(TcpSocketSendLine, AppendsCrLfAndRefusesWhatDoesNotFit) {
    LoopbackPair pair;
    TcpSocket& socket = pair.socket();
    EXPECT_EQ(socket.SendLine("USER anonymous"), 16);
    EXPECT_EQ(socket.SendLine(""), 2);
    const std::string longest(510, 'L');
    EXPECT_EQ(socket.SendLine(longest.c_str()), 512);
    const std::string tooLong(511, 'T');
    EXPECT_EQ(socket.SendLine(tooLong.c_str()), -1);
    EXPECT_STREQ(WsaErrorName(), "WSAEMSGSIZE");
    EXPECT_EQ(socket.SendLine("QUIT"), 6);
    const std::string expected = "USER anonymous\r\n\r\n" + longest + "\r\nQUIT\r\n";
    EXPECT_EQ(pair.PeerReceive(expected.size()), expected);
    EXPECT_EQ(socket.bytesSent(), expected.size());
}

TEST(TcpSocketSendBuffer, SendsTheFirstBytesOfTheBuffer) {
    LoopbackPair pair;
    TcpSocket& socket = pair.socket();
    ASSERT_TRUE(socket.SetBuffer(64));
    std::memcpy(socket.buffer(), "first part|not this", 19);
    EXPECT_EQ(socket.SendBuffer(10), 10);
    EXPECT_EQ(socket.position(), 10);
    EXPECT_EQ(socket.count(), 0);
    EXPECT_EQ(socket.SendBuffer(0), 0);
    // Beyond the size in use would send memory the caller never filled.
    EXPECT_EQ(socket.SendBuffer(65), -1);
    EXPECT_EQ(socket.SendBuffer(-1), -1);
    EXPECT_EQ(pair.PeerReceive(10), "first part");
    EXPECT_EQ(socket.bytesSent(), 10u);
}

TEST(TcpSocketSend, UrgentByteReachesThePeerInline) {
    ScriptedPeer peer;
    peer.ReadLine();
    ASSERT_TRUE(peer.Start());
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.port()));
    EXPECT_EQ(socket.Send("\xFF\xF4", 2, 0), 2);
    EXPECT_EQ(socket.Send("\xFF\xF2", 2, platform::kSendUrgent), 2);
    EXPECT_EQ(socket.SendLine("ABOR"), 6);
    ASSERT_TRUE(peer.Wait());
    EXPECT_EQ(peer.lines(0), std::vector<std::string>{"\xFF\xF4\xFF\xF2"
                                                      "ABOR"});
    EXPECT_EQ(peer.received(0),
              "\xFF\xF4\xFF\xF2"
              "ABOR\r\n");
    // Raw sends are not counted.
    EXPECT_EQ(socket.bytesSent(), 6u);
}

// ---------------------------------------------------------------------------------------
// The scripted peer itself

TEST(ScriptedPeer, RecordsAConversationAndADataConnection) {
    ScriptedPeer peer;
    peer.SendLine("220 Ready")
        .ReadUntilLine("LIST")
        .SendLine("150 Here it comes")
        .AcceptNext()
        .Send("file-a\r\nfile-b\r\n")
        .Close()
        .UseConnection(0)
        .Delay(std::chrono::milliseconds(5))
        .SendLine("226 Done")
        .ReadLine()
        .Close();
    ASSERT_TRUE(peer.Start());

    TcpSocket control;
    ASSERT_TRUE(control.Create());
    ASSERT_TRUE(control.Connect("127.0.0.1", peer.port()));
    ASSERT_TRUE(control.SetBuffer(4096));
    char line[TcpSocket::kLineBufferSize];
    ASSERT_EQ(control.ReadLine(line), 9);
    ASSERT_EQ(control.SendLine("TYPE A"), 8);
    ASSERT_EQ(control.SendLine("LIST"), 6);
    ASSERT_EQ(control.ReadLine(line), 17);
    TcpSocket data;
    ASSERT_TRUE(data.Create());
    ASSERT_TRUE(data.Connect("127.0.0.1", peer.port()));
    ASSERT_TRUE(data.SetBuffer(4096));
    EXPECT_EQ(ReadAllLines(data),
              (std::vector<LineResult>{Line("file-a"), Line("file-b"), {-2, ""}}));
    ASSERT_EQ(control.ReadLine(line), 8);
    EXPECT_STREQ(line, "226 Done");
    ASSERT_EQ(control.SendLine("QUIT"), 6);
    EXPECT_EQ(control.ReadLine(line), -2);

    ASSERT_TRUE(peer.Wait());
    EXPECT_EQ(peer.error(), "");
    EXPECT_EQ(peer.connectionCount(), 2u);
    EXPECT_EQ(peer.lines(0), (std::vector<std::string>{"TYPE A", "LIST", "QUIT"}));
    EXPECT_EQ(peer.received(0), "TYPE A\r\nLIST\r\nQUIT\r\n");
    EXPECT_EQ(peer.received(1), "");
}

TEST(ScriptedPeer, RunsTheScriptForEachConnectionAndReportsShortReads) {
    ScriptedPeer peer;
    peer.SendLine("220 Ready").ReadBytes(4);
    ASSERT_TRUE(peer.Start(2));
    TcpSocket first;
    ASSERT_TRUE(first.Create());
    ASSERT_TRUE(first.Connect("127.0.0.1", peer.port()));
    EXPECT_EQ(first.SendAll("ABCD", 4), 4);
    TcpSocket second;
    ASSERT_TRUE(second.Create());
    ASSERT_TRUE(second.Connect("127.0.0.1", peer.port()));
    EXPECT_EQ(second.SendAll("AB", 2), 2);
    // Reading what the peer sent first makes the close an orderly one.
    ASSERT_TRUE(second.SetBuffer(64));
    char line[TcpSocket::kLineBufferSize];
    EXPECT_EQ(second.ReadLine(line), 9);
    second.Close();
    ASSERT_TRUE(peer.Wait());
    EXPECT_EQ(peer.received(0), "ABCD");
    EXPECT_EQ(peer.received(1), "AB");
    EXPECT_EQ(peer.error(), "fewer than 4 bytes (connection 1); ");
}

}  // namespace
}  // namespace qvex
