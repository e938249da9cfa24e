#include "engine/data_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"

namespace qvex {
namespace {

using test::LogCapture;
using test::ScriptedPeer;

std::string PassiveReply(const std::string& address, uint16_t port) {
    std::string numbers = address;
    for (char& character : numbers) {
        if (character == '.') {
            character = ',';
        }
    }
    return "227 Entering Passive Mode (" + numbers + "," + std::to_string(port >> 8) + "," +
           std::to_string(port & 0xFF) + ").";
}

TEST(PassiveReply, SixNumbersAnywhereInTheLine) {
    SessionWorker session;
    struct Row {
        const char* line;
        bool parses;
        const char* address;
        uint16_t port;
    };
    const Row rows[] = {
        // 19 * 256 + 137
        {"227 Entering Passive Mode (192,168,1,2,19,137)", true, "192.168.1.2", 5001},
        {"227 Entering Passive Mode =192,168,1,2,19,137", true, "192.168.1.2", 5001},
        {"227 ok 10,0,0,1,0,21 and 1,2,3,4,5,6", true, "10.0.0.1", 21},
        {"227 Entering Passive Mode (1,2,3,4,5)", false, "", 0},
        {"227 (1000,2,3,4,5,6)", false, "", 0},
        {"227 (0001,2,3,4,5,6)", false, "", 0},
        {"227 (256,2,3,4,5,6)", false, "", 0},
        {"227 (1,2,3,4,256,0)", false, "", 0},
        {"227 no numbers at all", false, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        PassiveAddress address{};
        ASSERT_EQ(ParsePassiveReply(session, row.line, &address), row.parses);
        if (row.parses) {
            char text[16];
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", address.bytes[0], address.bytes[1],
                          address.bytes[2], address.bytes[3]);
            EXPECT_STREQ(text, row.address);
            EXPECT_EQ(address.port, row.port);
        }
    }
}

TEST(ExtendedPassiveReply, PortBetweenFourEqualDelimiters) {
    struct Row {
        const char* line;
        bool parses;
        uint16_t port;
    };
    const Row rows[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", true, 6446},
        {"229 Entering Extended Passive Mode (|||6446|).", true, 6446},
        // RFC 2428 lets the server pick any printable delimiter.
        {"229 ok (!!!1!)", true, 1},
        {"229 (###65535#) (|||1|)", true, 65535},
        {"229 (~~~00021~)", true, 21},
        {"229 Entering Extended Passive Mode (|||0|)", false, 0},
        {"229 Entering Extended Passive Mode (|||65536|)", false, 0},
        {"229 Entering Extended Passive Mode (|||99999999999|)", false, 0},
        {"229 Entering Extended Passive Mode (|||-1|)", false, 0},
        {"229 Entering Extended Passive Mode (||||)", false, 0},
        {"229 Entering Extended Passive Mode (|||6446)", false, 0},
        {"229 Entering Extended Passive Mode (|||6446|", false, 0},
        {"229 Entering Extended Passive Mode (|!|6446|)", false, 0},
        {"229 Entering Extended Passive Mode (|||6446!)", false, 0},
        {"229 Entering Extended Passive Mode (||6446|)", false, 0},
        {"229 Entering Extended Passive Mode (   6446 )", false, 0},
        {"229 Entering Extended Passive Mode (1116446)", false, 0},
        {"229 Entering Extended Passive Mode (|2|::1|6446|)", false, 0},
        {"229 Entering Extended Passive Mode |||6446|", false, 0},
        {"229 Entering Passive Mode (127,0,0,1,25,46)", false, 0},
        {"229 (\177\177\1776446\177)", false, 0},  // DEL is no printable delimiter
        {"229 (", false, 0},
        {"", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        uint16_t port = 0;
        ASSERT_EQ(ParseExtendedPassiveReply(row.line, &port), row.parses);
        EXPECT_EQ(port, row.port);
    }
}

// The control connection talks to a scripted server; a second scripted peer plays the
// server's data port in passive mode.
class DataConnectionTest : public ::testing::Test {
  protected:
    void Connect() {
        ASSERT_TRUE(control.Start());
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", control.port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
        session.passive = 1;
    }
    std::vector<std::string> Finish() {
        session.data.Close();
        session.control.Close();
        EXPECT_TRUE(control.Wait());
        return control.lines();
    }

    LogCapture log;
    ScriptedPeer control;
    ScriptedPeer dataPort;
    SessionWorker session;
};

TEST_F(DataConnectionTest, PassiveConnectsThenSendsTheCommand) {
    dataPort.Send("listing bytes").Close();
    ASSERT_TRUE(dataPort.Start());
    control.ReadLine()
        .SendLine(PassiveReply("127.0.0.1", dataPort.port()))
        .ReadLine()
        .SendLine("150 Here it comes")
        .ReadToEnd();
    Connect();
    std::array<char, 512> lastLine{};
    ASSERT_EQ(OpenDataConnection(session, "LIST", &lastLine), kDataOpen);
    EXPECT_STREQ(lastLine.data(), "150 Here it comes");
    char bytes[13];
    EXPECT_EQ(session.data.RecvAll(bytes, 13), 13);
    EXPECT_EQ(Finish(), (std::vector<std::string>{"PASV", "LIST"}));
    const std::string where = "[127.0.0.1:" + std::to_string(dataPort.port()) + "]";
    EXPECT_EQ(log.TakeTexts(),
              (std::vector<std::string>{"<PASV", ">" + PassiveReply("127.0.0.1", dataPort.port()),
                                        "Connected to " + where + " for DATA", "<LIST",
                                        ">150 Here it comes"}));
}

TEST_F(DataConnectionTest, A227NamingAnotherHostIsNotFollowed) {
    dataPort.Send("x").Close();
    ASSERT_TRUE(dataPort.Start());
    control.ReadLine()
        .SendLine(PassiveReply("10.20.30.40", dataPort.port()))
        .ReadLine()
        .SendLine("150 Go")
        .ReadToEnd();
    Connect();
    ASSERT_EQ(OpenDataConnection(session, "RETR file"), kDataOpen);
    EXPECT_EQ(Finish(), (std::vector<std::string>{"PASV", "RETR file"}));
    std::vector<std::string> lines = log.TakeTexts();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2],
              "!!! \"227\" reply named 10.20.30.40; connecting to the server at 127.0.0.1 instead");
    EXPECT_EQ(lines[3],
              "Connected to [127.0.0.1:" + std::to_string(dataPort.port()) + "] for DATA");
}

TEST_F(DataConnectionTest, RestAnswered350KeepsTheOffsetAnd502ClearsIt) {
    for (const char* answer : {"350 Restarting at 1234", "502 Not implemented"}) {
        SCOPED_TRACE(answer);
        LogCapture restLog;
        ScriptedPeer server;
        ScriptedPeer data;
        data.Close();
        ASSERT_TRUE(data.Start());
        server.ReadLine()
            .SendLine(PassiveReply("127.0.0.1", data.port()))
            .ReadLine()
            .SendLine(answer)
            .ReadLine()
            .SendLine("150 Go")
            .ReadToEnd();
        ASSERT_TRUE(server.Start());
        SessionWorker resumed;
        ASSERT_TRUE(resumed.control.Create());
        ASSERT_TRUE(resumed.control.Connect("127.0.0.1", server.port()));
        ASSERT_TRUE(resumed.control.SetBuffer(4096));
        resumed.passive = 1;
        resumed.restartRequested = true;
        resumed.restartOffset = 1234;
        ASSERT_EQ(OpenDataConnection(resumed, "RETR big.iso"), kDataOpen);
        EXPECT_EQ(resumed.restartOffset, answer[0] == '3' ? 1234u : 0u);
        resumed.data.Close();
        resumed.control.Close();
        ASSERT_TRUE(server.Wait());
        EXPECT_EQ(server.lines(), (std::vector<std::string>{"PASV", "REST 1234", "RETR big.iso"}));
    }
}

TEST_F(DataConnectionTest, RefusedTransferCommandClosesDataWithoutFurtherLines) {
    dataPort.ReadToEnd();
    ASSERT_TRUE(dataPort.Start());
    control.ReadLine()
        .SendLine(PassiveReply("127.0.0.1", dataPort.port()))
        .ReadLine()
        .SendLine("550 No such file")
        .ReadToEnd();
    Connect();
    EXPECT_EQ(OpenDataConnection(session, "RETR missing"), kDataFailed);
    EXPECT_FALSE(session.data.isOpen());
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(lines.back(), ">550 No such file");
    EXPECT_EQ(lines.size(), 5u);
    (void)Finish();
}

TEST_F(DataConnectionTest, TransferCommandAnswered421GivesTwo) {
    dataPort.ReadToEnd();
    ASSERT_TRUE(dataPort.Start());
    control.ReadLine()
        .SendLine(PassiveReply("127.0.0.1", dataPort.port()))
        .ReadLine()
        .SendLine("421 Timeout")
        .ReadToEnd();
    Connect();
    EXPECT_EQ(OpenDataConnection(session, "LIST"), kDataClosed);
    EXPECT_FALSE(session.data.isOpen());
    EXPECT_EQ(log.TakeTexts().back(), ">421 Timeout");
    (void)Finish();
}

TEST_F(DataConnectionTest, ClosedSessionAnswersGiveTwo) {
    control.ReadLine().SendLine("421 Service closing").ReadToEnd();
    Connect();
    EXPECT_EQ(OpenDataConnection(session, "LIST"), kDataClosed);
    EXPECT_EQ(log.TakeTexts().back(), "... [DATA] connection CLOSED");
    (void)Finish();
}

TEST_F(DataConnectionTest, PassiveAnswered500TriesEpsvAndConnectsToTheServer) {
    dataPort.Send("x").Close();
    ASSERT_TRUE(dataPort.Start());
    const std::string epsvReply =
        "229 Entering Extended Passive Mode (|||" + std::to_string(dataPort.port()) + "|)";
    control.ReadLine()
        .SendLine("500 PASV not understood")
        .ReadLine()
        .SendLine(epsvReply)
        .ReadLine()
        .SendLine("150 Go")
        .ReadToEnd();
    Connect();
    ASSERT_EQ(OpenDataConnection(session, "RETR file"), kDataOpen);
    EXPECT_EQ(session.passive, 1);
    EXPECT_EQ(Finish(), (std::vector<std::string>{"PASV", "EPSV", "RETR file"}));
    EXPECT_EQ(log.TakeTexts(),
              (std::vector<std::string>{
                  "<PASV", ">500 PASV not understood", "<EPSV", ">" + epsvReply,
                  "Connected to [127.0.0.1:" + std::to_string(dataPort.port()) + "] for DATA",
                  "<RETR file", ">150 Go"}));
}

TEST_F(DataConnectionTest, Unrecognized229FailsTheCommand) {
    control.ReadLine()
        .SendLine("500 What?")
        .ReadLine()
        .SendLine("229 Entering Extended Passive Mode (|||65536|)")
        .ReadToEnd();
    Connect();
    EXPECT_EQ(OpenDataConnection(session, "LIST"), kDataFailed);
    EXPECT_EQ(log.TakeTexts().back(), "*** unrecognized \"229\" response format");
    EXPECT_FALSE(session.data.isOpen());
    EXPECT_EQ(Finish(), (std::vector<std::string>{"PASV", "EPSV"}));
}

TEST_F(DataConnectionTest, Unrecognized227) {
    control.ReadLine().SendLine("227 Entering Passive Mode (127,0,0,1,4)").ReadToEnd();
    Connect();
    EXPECT_EQ(OpenDataConnection(session, "LIST"), kDataFailed);
    EXPECT_EQ(log.TakeTexts().back(), "*** unrecognized \"227\" response format");
    EXPECT_FALSE(session.data.isOpen());
    EXPECT_EQ(Finish(), std::vector<std::string>{"PASV"});
}

// Active mode: the test plays the server's side of the data connection by connecting to
// the port that PORT named, once the transfer command (`verb`) has arrived.
void AwaitPortArgument(const ScriptedPeer& server, const char* verb, std::string* portLine,
                       uint16_t* port) {
    for (int tries = 0; tries < 20000; ++tries) {
        std::vector<std::string> lines = server.lines();
        for (const std::string& line : lines) {
            if (line.rfind("PORT ", 0) == 0) {
                *portLine = line;
            }
        }
        if (!portLine->empty() && !lines.empty() && lines.back().rfind(verb, 0) == 0) {
            unsigned a, b, c, d, high, low;
            ASSERT_EQ(std::sscanf(portLine->c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &d,
                                  &high, &low),
                      6);
            *port = static_cast<uint16_t>(high * 256 + low);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "PORT and " << verb << " never arrived";
}

// Connects from `from` to the listening port and sends `bytes`.
void ConnectAndSend(TcpSocket& client, const char* from, uint16_t port, const char* bytes) {
    ASSERT_TRUE(client.Create(platform::ParseDottedAddress(from)));
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    const long length = static_cast<long>(std::strlen(bytes));
    ASSERT_EQ(client.SendAll(bytes, length), length);
}

void ConnectToPortArgument(const ScriptedPeer& server, std::string* portLine) {
    uint16_t port = 0;
    ASSERT_NO_FATAL_FAILURE(AwaitPortArgument(server, "LIST", portLine, &port));
    TcpSocket client;
    ConnectAndSend(client, "127.0.0.1", port, "data");
}

TEST_F(DataConnectionTest, PassiveRefusedFallsBackToPortForTheRestOfTheSession) {
    control.ReadLine()
        .SendLine("502 PASV not implemented")
        .ReadLine()
        .SendLine("200 PORT command successful")
        .ReadLine()
        .SendLine("150 Opening data connection")
        .ReadToEnd();
    Connect();
    auto result =
        std::async(std::launch::async, [&] { return OpenDataConnection(session, "LIST"); });
    std::string portLine;
    ConnectToPortArgument(control, &portLine);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), kDataOpen);
    EXPECT_EQ(session.passive, 0);
    char bytes[4];
    EXPECT_EQ(session.data.RecvAll(bytes, 4), 4);
    EXPECT_EQ(portLine.rfind("PORT 127,0,0,1,", 0), 0u) << portLine;
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(lines[2], "!!! Can't open PASSIVEly; trying PORT");
    unsigned a, b, c, d, high, low;
    ASSERT_EQ(std::sscanf(portLine.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &high, &low),
              6);
    EXPECT_EQ(lines.back(), "Accepted connection on [127.0.0.1:" +
                                std::to_string(high * 256 + low) + "] for DATA");
    EXPECT_EQ(Finish(), (std::vector<std::string>{"PASV", portLine, "LIST"}));
}

TEST_F(DataConnectionTest, FtpProxyMeansPortAndSaysSoOnce) {
    control.ReadLine().SendLine("200 PORT ok").ReadLine().SendLine("550 Nothing").ReadToEnd();
    Connect();
    session.proxyType = kProxyFtp;
    EXPECT_EQ(OpenDataConnection(session, "LIST"), kDataFailed);
    EXPECT_EQ(session.passive, 0);
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(lines.front(), "!!! PASSIVE not valid with FTP proxy server; using PORT");
    std::vector<std::string> wire = Finish();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].rfind("PORT ", 0), 0u);
}

}  // namespace
}  // namespace qvex

namespace qvex {
namespace {

// Active mode takes its data only from the server: the listener sits on the control
// connection's local address alone, and a caller from another address is dropped.
TEST_F(DataConnectionTest, ActiveModeAcceptsOnlyTheServer) {
    control.ReadLine().SendLine("200 PORT ok").ReadLine().SendLine("150 Go").ReadToEnd();
    Connect();
    session.passive = 0;
    SetSessionTimeout(session, 30);
    auto result =
        std::async(std::launch::async, [&] { return OpenDataConnection(session, "RETR file"); });
    std::string portLine;
    uint16_t port = 0;
    ASSERT_NO_FATAL_FAILURE(AwaitPortArgument(control, "RETR", &portLine, &port));
    TcpSocket elsewhere;
    ASSERT_TRUE(elsewhere.Create());
    EXPECT_FALSE(elsewhere.Connect("127.0.0.2", port)) << "listening on every address";
    TcpSocket stranger;
    ConnectAndSend(stranger, "127.0.0.2", port, "evil");
    uint32_t strangerAddress = 0;
    uint16_t strangerPort = 0;
    ASSERT_TRUE(stranger.LocalAddress(&strangerAddress, &strangerPort));
    TcpSocket server;
    ConnectAndSend(server, "127.0.0.1", port, "data");
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), kDataOpen);
    char bytes[4];
    ASSERT_EQ(session.data.RecvAll(bytes, 4), 4);
    EXPECT_EQ(std::string(bytes, 4), "data");
    std::vector<std::string> lines = log.TakeTexts();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "!!! DATA connection from [127.0.0.2:" + std::to_string(strangerPort) +
                  "] refused: not the server's address");
    EXPECT_EQ(lines.back(),
              "Accepted connection on [127.0.0.1:" + std::to_string(port) + "] for DATA");
    (void)Finish();
}

// The wait in accept ends without a connection: by a reply on the control connection, or
// by the user's stop. Either comes long before the time-out.
TEST_F(DataConnectionTest, ActiveWaitEndsOnAReplyOrAStop) {
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "reply");
        LogCapture rowLog;
        ScriptedPeer server;
        server.ReadLine().SendLine("200 PORT ok").ReadLine().SendLine("150 Go");
        if (!stop) {
            server.SendLine("425 Can't open data connection");
        }
        server.ReadToEnd();
        ASSERT_TRUE(server.Start());
        SessionWorker active;
        ASSERT_TRUE(active.control.Create());
        ASSERT_TRUE(active.control.Connect("127.0.0.1", server.port()));
        ASSERT_TRUE(active.control.SetBuffer(4096));
        SetSessionTimeout(active, 30);
        std::array<char, 512> lastLine{};
        auto result = std::async(
            std::launch::async, [&] { return OpenDataConnection(active, "RETR file", &lastLine); });
        if (stop) {
            std::string portLine;
            uint16_t port = 0;
            ASSERT_NO_FATAL_FAILURE(AwaitPortArgument(server, "RETR", &portLine, &port));
            active.abortRequested = true;
        }
        ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_EQ(result.get(), kDataFailed);
        EXPECT_FALSE(active.data.isOpen());
        EXPECT_FALSE(active.controlLost);
        std::vector<std::string> lines = rowLog.TakeTexts();
        EXPECT_EQ(lines.back(), stop ? ">150 Go" : ">425 Can't open data connection")
            << "no failure line for a stop";
        EXPECT_STREQ(lastLine.data(), stop ? "150 Go" : "425 Can't open data connection");
        active.control.Close();
        ASSERT_TRUE(server.Wait());
    }
}

}  // namespace
}  // namespace qvex
