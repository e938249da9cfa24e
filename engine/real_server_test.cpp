// Whole sessions against real FTP servers from Debian, directly and through a real SOCKS
// server: login, SYST, PWD, passive and active data connections, REST, QUIT; over IPv6 on
// ::1 too (EPSV and EPRT), and by a link-local address with its zone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/session.h"
#include "state/url_grammar.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/link_local_network.h"
#include "tests/support/log_capture.h"
#include "tests/support/socks_server.h"

namespace qvex {
namespace {

using test::FtpServer;
using test::FtpServerKind;
using test::LogCapture;
using test::SocksServer;

// Reads a data connection to its end, then the transfer's completion reply.
int ReceiveAll(SessionWorker& session, std::string* bytes) {
    char buffer[4096];
    for (;;) {
        long received = platform::ReceiveBytes(session.data.handle(), buffer, sizeof buffer);
        if (received <= 0) {
            break;
        }
        bytes->append(buffer, static_cast<size_t>(received));
    }
    session.data.Close();
    FtpReply reply;
    return ReadReply(session, reply, false);
}

// What the commands of one test session found.
struct Findings {
    std::string workingDirectory;
    std::string listing;
    std::string resumed;
    int listResult = 0;
    int getResult = 0;
};

// Test handlers standing in for the listing and download code that later parts bring.
CommandHandlers TestHandlers(Findings& findings) {
    CommandHandlers handlers;
    handlers[kCommandPrintDirectory] = [&findings](SessionWorker& session, SessionCommand&) {
        (void)SendCommand(session, "PWD");
        FtpReply reply;
        int code = ReadReply(session, reply, true);
        findings.workingDirectory = reply.lastLine.data();
        return code;
    };
    handlers[kCommandList] = [&findings](SessionWorker& session, SessionCommand&) {
        int opened = OpenDataConnection(session, "LIST");
        findings.listResult =
            opened == kDataOpen ? ReceiveAll(session, &findings.listing) : -opened;
        return findings.listResult == 421 ? 421 : 226;
    };
    handlers[kCommandGet] = [&findings](SessionWorker& session, SessionCommand& command) {
        (void)SendCommand(session, "TYPE", "I");
        FtpReply reply;
        (void)ReadReply(session, reply, false);
        session.restartRequested = true;
        session.restartOffset = 3;
        int opened = OpenDataConnection(session, "RETR " + command.text);
        session.restartRequested = false;
        findings.getResult = opened == kDataOpen ? ReceiveAll(session, &findings.resumed) : -opened;
        return findings.getResult == 421 ? 421 : 226;
    };
    return handlers;
}

class QuitAfterWork : public SessionObserver {
  public:
    void OnConnected(const std::string&, const std::string&) override {
        PostCommand(*session, kCommandGet, "hello.bin");
        SetQuitWhenDone(*session, true);
    }
    std::shared_ptr<SessionWorker> session;
};

// Runs one session to its end; the server holds "hello.bin".
int RunSession(const SessionRequest& request, SessionOptions options, Findings& findings) {
    QuitAfterWork observer;
    options.observer = &observer;
    options.handlers = TestHandlers(findings);
    auto session = CreateSession(request, std::move(options));
    if (session == nullptr) {
        return -1;
    }
    observer.session = session;
    auto result = std::async(std::launch::async, [session] { return SessionThread(session); });
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the session did not end";
        CancelConnect(*session);
        return -1;
    }
    return result.get();
}

int RunWholeSession(const FtpServer& server, SessionOptions options, Findings& findings,
                    bool account) {
    SessionRequest request;
    request.scheme = "ftp";
    request.user = account ? FtpServer::kUser : FtpServer::kAnonymousUser;
    request.password = account ? FtpServer::kPassword : "QvexUser@";
    request.host = server.address();
    request.port = std::to_string(server.port());
    return RunSession(request, std::move(options), findings);
}

const std::string kHelloBytes = std::string("0123\r\n\0\xFF tail", 12);

struct ServerCase {
    FtpServerKind kind;
    bool passive;
    bool account;
    bool ipv6 = false;
};

class RealServerSessionTest : public ::testing::TestWithParam<ServerCase> {};

TEST_P(RealServerSessionTest, LoginListResumeQuit) {
    const ServerCase& param = GetParam();
    if (param.ipv6) {
        // A machine without ::1 fails here: these cases are the IPv6 checks.
        TcpSocket loopback;
        uint8_t bytes[16] = {};
        bytes[15] = 1;
        ASSERT_TRUE(loopback.Create(platform::NetAddress::Ipv6(bytes)) && loopback.Listen())
            << "no IPv6 loopback address ::1 on this machine: " << WsaErrorName();
    }
    LogCapture log;
    test::FtpServerOptions serverOptions;
    serverOptions.ipv6 = param.ipv6;
    auto server = test::StartFtpServer(param.kind, serverOptions);
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    ASSERT_TRUE(server->PutFile("hello.bin", kHelloBytes));
    SessionOptions options;
    options.passive = param.passive;
    Findings findings;
    EXPECT_EQ(RunWholeSession(*server, std::move(options), findings, param.account), kExitProgram)
        << server->output();
    EXPECT_EQ(findings.workingDirectory.rfind("257 \"/\"", 0), 0u) << findings.workingDirectory;
    EXPECT_EQ(findings.listResult, 226) << server->output();
    EXPECT_NE(findings.listing.find("hello.bin"), std::string::npos) << findings.listing;
    EXPECT_EQ(findings.getResult, 226);
    EXPECT_EQ(findings.resumed, kHelloBytes.substr(3)) << "REST 3 then RETR";

    std::vector<std::string> lines = log.TakeTexts();
    const std::string where = std::string("[") + server->address() + ":";
    const std::string dataLine =
        param.passive ? "Connected to " + where : "Accepted connection on " + where;
    // Over IPv6 the data connection is asked for with the RFC 2428 commands.
    const std::string command = param.passive ? (param.ipv6 ? "<EPSV" : "<PASV")
                                              : (param.ipv6 ? "<EPRT |2|::1|" : "<PORT 127,0,0,1,");
    size_t dataLines = 0;
    size_t commands = 0;
    for (const std::string& line : lines) {
        dataLines += line.rfind(dataLine, 0) == 0 ? 1u : 0u;
        commands += line.rfind(command, 0) == 0 ? 1u : 0u;
    }
    EXPECT_EQ(dataLines, 2u) << "one data connection for LIST, one for RETR";
    EXPECT_EQ(commands, 2u) << command;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "<QUIT"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), ">215 UNIX Type: L8"), lines.end());
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerSessionTest,
                         ::testing::Values(ServerCase{FtpServerKind::PyFtpd, true, false},
                                           ServerCase{FtpServerKind::PyFtpd, false, true},
                                           ServerCase{FtpServerKind::Vsftpd, true, true},
                                           ServerCase{FtpServerKind::Vsftpd, false, false},
                                           ServerCase{FtpServerKind::PyFtpd, false, true, true},
                                           ServerCase{FtpServerKind::Vsftpd, true, false, true}),
                         [](const ::testing::TestParamInfo<ServerCase>& param) {
                             return std::string(param.param.kind == FtpServerKind::PyFtpd
                                                    ? "PyFtpd"
                                                    : "Vsftpd") +
                                    (param.param.passive ? "Passive" : "Active") +
                                    (param.param.account ? "Account" : "Anonymous") +
                                    (param.param.ipv6 ? "Ipv6" : "");
                         });

// A server reached by its link-local address, the zone in the URL after "%25" (RFC 6874),
// in a network of the test's own with fe80::1 on the loopback interface: login, a listing
// and a resumed download over EPSV, every connection by the zoned address.
TEST(RealServerLinkLocal, SessionByTheZonedAddress) {
    test::LinkLocalNetwork network;
    if (!network.ready()) {
        GTEST_SKIP() << network.problem();
    }
    LogCapture log;
    test::FtpServerOptions serverOptions;
    serverOptions.ipv6 = true;
    // Every address of the test's network. vsftpd, since pyftpdlib opens its passive
    // listener on the control connection's address without the zone, which Linux refuses.
    serverOptions.ipv6Address = "::";
    auto server = test::StartFtpServer(FtpServerKind::Vsftpd, serverOptions);
    ASSERT_TRUE(server->started()) << server->problem();
    ASSERT_TRUE(server->PutFile("hello.bin", kHelloBytes));
    const std::string port = std::to_string(server->port());
    std::optional<SessionRequest> request =
        ParseUrl(std::string("ftp://") + FtpServer::kUser + ":" + FtpServer::kPassword +
                 "@[fe80::1%25lo]:" + port + "/");
    ASSERT_TRUE(request.has_value());
    SessionOptions options;
    options.passive = true;
    Findings findings;
    EXPECT_EQ(RunSession(*request, std::move(options), findings), kExitProgram) << server->output();
    EXPECT_NE(findings.listing.find("hello.bin"), std::string::npos) << findings.listing;
    EXPECT_EQ(findings.resumed, kHelloBytes.substr(3)) << "REST 3 then RETR";
    std::vector<std::string> lines = log.TakeTexts();
    size_t dataLines = 0;
    size_t extended = 0;
    std::string text;
    for (const std::string& line : lines) {
        dataLines += line.rfind("Connected to [fe80::1%lo:", 0) == 0 ? 1u : 0u;
        extended += line == "<EPSV" ? 1u : 0u;
        text += line + "\n";
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Connected to fe80::1%lo [:" + port + "]"),
              lines.end())
        << text;
    EXPECT_EQ(dataLines, 2u) << text << server->output();
    EXPECT_EQ(extended, 2u) << text;
}

TEST(RealServerLogin, WrongPasswordFailsTheLogin) {
    LogCapture log;
    auto server = test::StartFtpServer(FtpServerKind::PyFtpd);
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    SessionRequest request;
    request.user = FtpServer::kUser;
    request.password = "wrong";
    request.host = "127.0.0.1";
    request.port = std::to_string(server->port());
    struct Outcome : SessionObserver {
        void OnOutcome(uint32_t value) override { bits |= value; }
        uint32_t bits = 0;
    } outcome;
    SessionOptions options;
    options.observer = &outcome;
    auto session = CreateSession(request, std::move(options));
    EXPECT_EQ(SessionThread(session), kExitSessionOnly);
    EXPECT_EQ(outcome.bits, kOutcomeLoginFailed);
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "... user qvexftp NOT logged in"), lines.end());
}

class SocksSessionTest : public ::testing::TestWithParam<std::tuple<int32_t, bool>> {};

TEST_P(SocksSessionTest, WholeSessionThroughTheProxy) {
    const auto [proxyType, passive] = GetParam();
    LogCapture log;
    SocksServer socks(SocksServer::Auth::None);
    if (!socks.started()) {
        GTEST_SKIP() << socks.problem();
    }
    auto server = test::StartFtpServer(FtpServerKind::PyFtpd);
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    ASSERT_TRUE(server->PutFile("hello.bin", kHelloBytes));
    SessionOptions options;
    options.passive = passive;
    options.proxyType = proxyType;
    options.proxySetting = "127.0.0.1:" + std::to_string(socks.port());
    Findings findings;
    EXPECT_EQ(RunWholeSession(*server, std::move(options), findings, true), kExitProgram)
        << socks.output() << server->output();
    EXPECT_NE(findings.listing.find("hello.bin"), std::string::npos);
    EXPECT_EQ(findings.resumed, kHelloBytes.substr(3));
    std::vector<std::string> lines = log.TakeTexts();
    const std::string proxyLine =
        passive ? "Using proxy connection to [127.0.0.1:" : "Using proxy connection on [127.0.0.1:";
    size_t dataLines = 0;
    for (const std::string& line : lines) {
        dataLines += line.rfind(proxyLine, 0) == 0 ? 1u : 0u;
    }
    EXPECT_EQ(dataLines, 2u);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "... using proxy connection on [127.0.0.1:" + std::to_string(socks.port()) +
                            "] for CONTROL"),
              lines.end());
}

INSTANTIATE_TEST_SUITE_P(
    Socks, SocksSessionTest,
    ::testing::Combine(::testing::Values(kProxySocks4, kProxySocks5), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<int32_t, bool>>& param) {
        return std::string(std::get<0>(param.param) == kProxySocks4 ? "Socks4" : "Socks5") +
               (std::get<1>(param.param) ? "Passive" : "Active");
    });

}  // namespace
}  // namespace qvex
