#include "engine/proxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/session.h"
#include "engine/session_worker.h"
#include "engine/tls_session.h"
#include "platform/registry_file.h"
#include "state/trusted_certificates.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/socks_server.h"
#include "tests/support/temp_env.h"
#include "tests/support/test_certificates.h"

namespace qvex {
namespace {

using test::FtpServer;
using test::LogCapture;
using test::ScriptedPeer;
using test::SocksServer;
using test::TestCertificates;

std::string PortBytes(uint16_t port) {
    return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

const std::string kLoopbackBytes("\x7F\x00\x00\x01", 4);

bool HasLine(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(),
                       [&start](const std::string& line) { return line.rfind(start, 0) == 0; });
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

class ProxyTest : public ::testing::Test {
  protected:
    void SetUp() override { session.proxyAddress = platform::ParseDottedAddress("127.0.0.1"); }

    void UseProxy(int32_t type, uint16_t port) {
        session.proxyType = type;
        session.proxy.host = "127.0.0.1";
        session.proxy.port = std::to_string(port);
        proxyName = "127.0.0.1:" + session.proxy.port;
    }
    void UseServer(uint16_t port) {
        session.request.host = "127.0.0.1";
        session.request.port = std::to_string(port);
        session.hostAddress = platform::ParseDottedAddress("127.0.0.1");
    }
    bool Open() {
        return session.control.Create() && session.control.SetBuffer(4096) &&
               ConnectControl(session);
    }
    // The server's greeting read through whatever lies between.
    int Greeting() {
        FtpReply reply;
        return ReadReply(session, reply, false);
    }
    // Explicit TLS as the account of the test servers, the certificate trusted (when
    // `fingerprint` is given) under `trustedAs`.
    void UseExplicitTls(platform::RegistryFile& store, const std::string& trustedAs,
                        const std::string& fingerprint) {
        session.request.user = FtpServer::kUser;
        session.request.password = FtpServer::kPassword;
        session.security = TlsSecurity::ExplicitRequired;
        session.certificateStore = &store;
        session.certificateServer = session.request.host + ":" + session.request.port;
        if (!fingerprint.empty()) {
            ASSERT_TRUE(TrustFingerprint(store, trustedAs, fingerprint));
        }
        SetSessionTimeout(session, 20);
    }
    // The bytes of one transfer on a data connection, and its completion reply.
    std::string Transfer(const std::string& command) {
        EXPECT_EQ(OpenDataConnection(session, command), kDataOpen) << Joined(log.TakeTexts());
        std::string bytes;
        long received = 0;
        while ((received = session.data.Fill()) > 0) {
            bytes.append(session.data.buffer(), static_cast<size_t>(received));
        }
        EXPECT_EQ(received, -2) << command;
        session.data.Close();
        FtpReply reply;
        EXPECT_EQ(ReadReply(session, reply, false), 226) << command;
        return bytes;
    }

    LogCapture log;
    SessionWorker session;
    std::string proxyName;
};

TEST_F(ProxyTest, DirectConnectionLogsNoProxyLine) {
    ScriptedPeer server;
    server.SendLine("220 Direct").ReadToEnd();
    ASSERT_TRUE(server.Start());
    UseServer(server.port());
    ASSERT_TRUE(Open());
    EXPECT_EQ(Greeting(), 220);
    EXPECT_EQ(log.TakeTexts(), std::vector<std::string>{">220 Direct"});
}

TEST_F(ProxyTest, FailedDirectConnectLogsNothingHere) {
    UseServer(test::FreeLoopbackPort());
    EXPECT_FALSE(Open());
    EXPECT_TRUE(log.TakeTexts().empty());
}

TEST_F(ProxyTest, FtpProxyGetsTheConnectionAndNothingElse) {
    ScriptedPeer proxy;
    proxy.ReadToEnd();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxyFtp, proxy.port());
    UseServer(2121);
    ASSERT_TRUE(Open());
    session.control.Close();
    ASSERT_TRUE(proxy.Wait());
    EXPECT_EQ(proxy.received(), "");
    EXPECT_EQ(log.TakeTexts(), std::vector<std::string>{"... using proxy connection on [" +
                                                        proxyName + "] for CONTROL"});
}

TEST_F(ProxyTest, UnreachableProxyIsNamed) {
    UseProxy(kProxySocks5, test::FreeLoopbackPort());
    UseServer(21);
    EXPECT_FALSE(Open());
    EXPECT_EQ(log.TakeTexts(),
              std::vector<std::string>{"*** unable to CONNECT to proxy server " + proxyName});
}

TEST_F(ProxyTest, CancelledConnectDoesNotConnect) {
    ScriptedPeer server;
    server.ReadToEnd();
    ASSERT_TRUE(server.Start());
    UseServer(server.port());
    session.connectCancelled = true;
    EXPECT_FALSE(Open());
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(log.TakeTexts().empty());
}

// Scripted SOCKS peers: exact request bytes and replies that a real server will not give.

TEST_F(ProxyTest, Socks4RequestBytesAndRefusalNumber) {
    ScriptedPeer proxy;
    proxy.ReadBytes(9 + 5).Send(std::string("\x00\x5B\x00\x00\x00\x00\x00\x00", 8)).ReadToEnd();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxySocks4, proxy.port());
    UseServer(2121);
    session.proxyUser = "alice";
    EXPECT_FALSE(Open());
    session.control.Close();
    ASSERT_TRUE(proxy.Wait());
    EXPECT_EQ(proxy.received(), std::string("\x04\x01", 2) + PortBytes(2121) + kLoopbackBytes +
                                    "alice" + std::string(1, '\0'));
    EXPECT_EQ(log.TakeTexts(),
              std::vector<std::string>{"*** SOCKS4 error on server " + proxyName + " (91)"});
}

TEST_F(ProxyTest, Socks4UserIdThatDoesNotFitIsRefusedNotCut) {
    ScriptedPeer proxy;
    proxy.ReadToEnd();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxySocks4, proxy.port());
    UseServer(21);
    session.proxyUser = std::string(120, 'u');
    EXPECT_FALSE(Open());
    session.control.Close();
    ASSERT_TRUE(proxy.Wait());
    EXPECT_EQ(proxy.received(), "");
    EXPECT_EQ(log.TakeTexts(),
              std::vector<std::string>{"*** I/O error on SOCKS4 server " + proxyName});
}

TEST_F(ProxyTest, Socks5WantsAuthenticationButNoUserIsSet) {
    ScriptedPeer proxy;
    proxy.ReadBytes(4).Send("\x05\x02").ReadToEnd();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxySocks5, proxy.port());
    UseServer(21);
    EXPECT_FALSE(Open());
    session.control.Close();
    ASSERT_TRUE(proxy.Wait());
    EXPECT_EQ(proxy.received(), std::string("\x05\x02\x00\x02", 4)) << "no authentication message";
    EXPECT_EQ(log.TakeTexts(),
              (std::vector<std::string>{"*** SOCKS5 authentication failed on server " + proxyName,
                                        "*** (missing username and/or password)"}));
}

TEST_F(ProxyTest, Socks5CredentialsTooLongForTheirMessageAreRefused) {
    ScriptedPeer proxy;
    proxy.ReadBytes(4).Send("\x05\x02").ReadToEnd();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxySocks5, proxy.port());
    UseServer(21);
    session.proxyUser = std::string(256, 'u');
    session.proxyPassword = "pw";
    EXPECT_FALSE(Open());
    session.control.Close();
    ASSERT_TRUE(proxy.Wait());
    EXPECT_EQ(proxy.received().size(), 4u);
    EXPECT_EQ(log.TakeTexts().size(), 2u);
}

// Only "no authentication" (00) and "user name and password" (02) are offered; a proxy that
// picks anything else is refused before a request goes out.
TEST_F(ProxyTest, Socks5MethodsNotOfferedAreRefused) {
    for (const char* method : {"\x01", "\x03", "\x80"}) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(method[0])));
        LogCapture methodLog;
        SessionWorker methodSession;
        ScriptedPeer proxy;
        proxy.ReadBytes(4).Send(std::string("\x05") + method).ReadToEnd();
        ASSERT_TRUE(proxy.Start());
        methodSession.proxyType = kProxySocks5;
        methodSession.proxy.host = "127.0.0.1";
        methodSession.proxy.port = std::to_string(proxy.port());
        methodSession.request.host = "127.0.0.1";
        methodSession.request.port = "2121";
        ASSERT_TRUE(methodSession.control.Create());
        EXPECT_FALSE(ConnectControl(methodSession));
        methodSession.control.Close();
        ASSERT_TRUE(proxy.Wait());
        EXPECT_EQ(proxy.received(), std::string("\x05\x02\x00\x02", 4)) << "no request";
        char number[8];
        std::snprintf(number, sizeof number, "(%02x)", static_cast<unsigned char>(method[0]));
        EXPECT_EQ(methodLog.TakeTexts(),
                  std::vector<std::string>{"*** SOCKS5 error on server 127.0.0.1:" +
                                           std::to_string(proxy.port()) + " " + number});
    }
}

TEST_F(ProxyTest, Socks5MethodFFFailsWithOneLine) {
    ScriptedPeer proxy;
    proxy.ReadBytes(4).Send("\x05\xFF").ReadToEnd();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxySocks5, proxy.port());
    UseServer(21);
    EXPECT_FALSE(Open());
    EXPECT_EQ(log.TakeTexts(),
              std::vector<std::string>{"*** SOCKS5 authentication failed on server " + proxyName});
}

struct Socks5ReplyRow {
    const char* name;
    std::string reply;
    bool granted;
    std::vector<std::string> lines;  // "%s" stands for the proxy
};

class Socks5ReplyTest : public ProxyTest, public ::testing::WithParamInterface<Socks5ReplyRow> {};

TEST_P(Socks5ReplyTest, ReplyIsReadByItsAddressType) {
    const Socks5ReplyRow& row = GetParam();
    ScriptedPeer proxy;
    proxy.ReadBytes(4).Send(std::string("\x05\x00", 2)).ReadBytes(10).Send(row.reply);
    if (row.granted) {
        proxy.SendLine("220 After the reply");
    }
    proxy.Close();
    ASSERT_TRUE(proxy.Start());
    UseProxy(kProxySocks5, proxy.port());
    UseServer(21);
    EXPECT_EQ(Open(), row.granted);
    std::vector<std::string> expected;
    for (const std::string& line : row.lines) {
        std::string text = line;
        text.replace(text.find("%s"), 2, proxyName);
        expected.push_back(text);
    }
    EXPECT_EQ(log.TakeTexts(), expected);
    if (row.granted) {
        EXPECT_EQ(Greeting(), 220) << "the reply was consumed to its last byte";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Socks5ReplyTest,
    ::testing::Values(Socks5ReplyRow{"Ipv4",
                                     std::string("\x05\x00\x00\x01\x7F\x00\x00\x01\x00\x15", 10),
                                     true,
                                     {"... using proxy connection on [%s] for CONTROL"}},
                      Socks5ReplyRow{"DomainName",
                                     std::string("\x05\x00\x00\x03\x09localhost\x00\x15", 16),
                                     true,
                                     {"... using proxy connection on [%s] for CONTROL"}},
                      Socks5ReplyRow{"Ipv6",
                                     std::string("\x05\x00\x00\x04", 4) + std::string(15, '\0') +
                                         std::string("\x01\x00\x15", 3),
                                     true,
                                     {"... using proxy connection on [%s] for CONTROL"}},
                      Socks5ReplyRow{"Refused",
                                     std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10),
                                     false,
                                     {"*** SOCKS5 error on server %s (05)"}},
                      Socks5ReplyRow{"UnknownAddressType",
                                     std::string("\x05\x00\x00\x07\x00\x00\x00\x00\x00\x00", 10),
                                     false,
                                     {"*** I/O error on SOCKS5 server %s"}},
                      Socks5ReplyRow{"Short",
                                     std::string("\x05\x00\x00\x01\x7F", 5),
                                     false,
                                     {"*** I/O error on SOCKS5 server %s"}}),
    [](const ::testing::TestParamInfo<Socks5ReplyRow>& row) { return row.param.name; });

// RFC 1928 practice, and SOCKS4's own rule: a BIND reply with the address 0.0.0.0 means "the
// proxy's own address".
TEST_F(ProxyTest, BindAnsweringZeroAddressMeansTheProxyItself) {
    struct Exchange {
        size_t read;
        std::string answer;
    };
    struct Row {
        int32_t type;
        std::vector<Exchange> script;
        std::string request;
    };
    const Row rows[] = {
        {kProxySocks4,
         {{9, std::string("\x00\x5A\x12\x34\x00\x00\x00\x00", 8)}},
         std::string("\x04\x02", 2) + PortBytes(2121) + kLoopbackBytes + std::string(1, '\0')},
        {kProxySocks5,
         {{4, std::string("\x05\x00", 2)},
          {10, std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x12\x34", 10)}},
         std::string("\x05\x02\x00\x02\x05\x02\x00\x01", 8) + kLoopbackBytes + PortBytes(2121)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        ScriptedPeer proxy;
        for (const Exchange& exchange : row.script) {
            proxy.ReadBytes(exchange.read).Send(exchange.answer);
        }
        proxy.ReadToEnd();
        ASSERT_TRUE(proxy.Start());
        UseProxy(row.type, proxy.port());
        UseServer(2121);
        session.proxyAddress = platform::ParseDottedAddress("10.9.8.7");
        platform::NetAddress address;
        uint16_t port = 0;
        ASSERT_TRUE(SocksBindData(session, &address, &port));
        EXPECT_EQ(address, platform::NetAddress(platform::ParseDottedAddress("10.9.8.7")));
        EXPECT_EQ(port, 0x1234);
        session.data.Close();
        ASSERT_TRUE(proxy.Wait());
        EXPECT_EQ(proxy.received(), row.request);
        EXPECT_TRUE(log.TakeTexts().empty());
    }
}

// SOCKS5 names an IPv6 server by address type 4 and its 16 bytes (RFC 1928 section 5), in
// CONNECT and BIND alike. A SOCKS4 request has room for IPv4 only.
TEST_F(ProxyTest, Ipv6DestinationsInSocksRequests) {
    const std::string greeting("\x05\x02\x00\x02", 4);
    const std::string loopback = std::string(15, '\0') + "\x01";
    const std::string documentation =
        std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x07";
    const std::string boundReply = std::string("\x05\x00\x00\x04", 4) + documentation + "\x12\x34";
    struct Row {
        const char* name;
        int32_t type;
        const char* host;
        bool bind;
        std::vector<std::pair<size_t, std::string>> script;  // bytes read, then the answer
        std::string request;
        std::string line;  // "" for none; "%s" stands for the proxy
    };
    const Row rows[] = {
        {"CONNECT to ::1",
         kProxySocks5,
         "::1",
         false,
         {{4, std::string("\x05\x00", 2)}, {22, boundReply}},
         greeting + std::string("\x05\x01\x00\x04", 4) + loopback + PortBytes(2121),
         "... using proxy connection on [%s] for CONTROL"},
        {"CONNECT to 2001:db8::7",
         kProxySocks5,
         "2001:db8::7",
         false,
         {{4, std::string("\x05\x00", 2)},
          {22, std::string("\x05\x00\x00\x01\x7F\x00\x00\x01\x00\x15", 10)}},
         greeting + std::string("\x05\x01\x00\x04", 4) + documentation + PortBytes(2121),
         "... using proxy connection on [%s] for CONTROL"},
        {"BIND for ::1, bound on an IPv6 address",
         kProxySocks5,
         "::1",
         true,
         {{4, std::string("\x05\x00", 2)}, {22, boundReply}},
         greeting + std::string("\x05\x02\x00\x04", 4) + loopback + PortBytes(2121),
         ""},
        {"SOCKS4 CONNECT to ::1",
         kProxySocks4,
         "::1",
         false,
         {},
         "",
         "*** SOCKS4 cannot carry an IPv6 address (server %s)"},
        {"SOCKS4 BIND for ::1",
         kProxySocks4,
         "::1",
         true,
         {},
         "",
         "*** SOCKS4 cannot carry an IPv6 address (server %s)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture rowLog;
        SessionWorker rowSession;
        ScriptedPeer proxy;
        for (const auto& [bytes, answer] : row.script) {
            proxy.ReadBytes(bytes).Send(answer);
        }
        proxy.ReadToEnd();
        ASSERT_TRUE(proxy.Start());
        rowSession.proxyType = row.type;
        rowSession.proxy.host = "127.0.0.1";
        rowSession.proxy.port = std::to_string(proxy.port());
        rowSession.request.host = row.host;
        rowSession.request.port = "2121";
        ASSERT_TRUE(platform::ParseIpv6Address(row.host, &rowSession.hostAddress));
        const bool granted = !row.script.empty();
        if (row.bind) {
            platform::NetAddress address;
            uint16_t port = 0;
            EXPECT_EQ(SocksBindData(rowSession, &address, &port), granted);
            if (granted) {
                char text[platform::kAddressTextSize];
                ASSERT_TRUE(platform::FormatAddress(address, text, sizeof text));
                EXPECT_EQ(std::string(text), "2001:db8::7") << "for EPRT";
                EXPECT_EQ(port, 0x1234);
            }
            rowSession.data.Close();
        } else {
            ASSERT_TRUE(rowSession.control.Create());
            EXPECT_EQ(ConnectControl(rowSession), granted);
            rowSession.control.Close();
        }
        ASSERT_TRUE(proxy.Wait());
        EXPECT_EQ(proxy.received(), row.request);
        std::vector<std::string> expected;
        if (!row.line.empty()) {
            std::string text = row.line;
            text.replace(text.find("%s"), 2, "127.0.0.1:" + rowSession.proxy.port);
            expected.push_back(text);
        }
        EXPECT_EQ(rowLog.TakeTexts(), expected);
    }
}

TEST_F(ProxyTest, DataConnectionToAClosedProxyIsNamed) {
    UseProxy(kProxySocks4, test::FreeLoopbackPort());
    platform::NetAddress address;
    uint16_t port = 0;
    EXPECT_FALSE(SocksBindData(session, &address, &port));
    ASSERT_TRUE(session.data.Create());
    EXPECT_FALSE(SocksConnectData(session, session.hostAddress, 21));
    EXPECT_EQ(log.TakeTexts(),
              std::vector<std::string>(2, "*** unable to CONNECT to SOCKS server " + proxyName));
}

// Through an FTP proxy, AUTH TLS is answered by the proxy and the site's login comes inside
// its TLS: the certificate must name the proxy, and its fingerprint is trusted under the
// proxy's name and port. vsftpd stands in for the proxy (it refuses "user@site", which
// comes after the certificate decision); the site is named as the other certificate's name.
TEST_F(ProxyTest, TlsThroughAnFtpProxyChecksTheProxysCertificateName) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    struct Row {
        const char* name;
        std::string certificate;
        bool trustAuthority;     // the test authority is the trust store
        bool trustedUnderProxy;  // the fingerprint is kept under the proxy's name and port
        std::string line;
        bool login;
    };
    const Row rows[] = {
        {"issued for the proxy", certificates.issuedForLoopback(), true, false, "... TLS 1.", true},
        {"issued for the site", certificates.issuedForOtherName(), true, false,
         "*** certificate not trusted (hostname mismatch)", false},
        {"trusted under the proxy", certificates.selfSigned(), false, true,
         "... certificate trusted by its fingerprint", true},
        {"trusted under the site", certificates.selfSigned(), false, false,
         "*** certificate not trusted (self-signed certificate)", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::FtpServerOptions options;
        options.tlsCertificate = row.certificate;
        auto proxy = test::StartFtpServer(test::FtpServerKind::Vsftpd, options);
        ASSERT_TRUE(proxy->started()) << proxy->problem();
        LogCapture rowLog;
        SessionWorker rowSession;
        rowSession.proxyType = kProxyFtp;
        rowSession.proxy.host = "localhost";
        rowSession.proxy.port = std::to_string(proxy->port());
        rowSession.request.host = "wrong.example";
        rowSession.request.port = "21";
        rowSession.request.portDefaulted = true;
        rowSession.request.user = FtpServer::kUser;
        rowSession.request.password = FtpServer::kPassword;
        rowSession.security = TlsSecurity::ExplicitRequired;
        rowSession.certificateServer = "wrong.example:21";
        test::TempFolder folder;
        platform::RegistryFile store(folder.path("registry.reg"));
        rowSession.certificateStore = &store;
        const std::string proxyServer = "localhost:" + rowSession.proxy.port;
        ASSERT_TRUE(TrustFingerprint(store,
                                     row.trustedUnderProxy ? proxyServer : "wrong.example:21",
                                     certificates.selfSignedFingerprint()));
        SetSessionTimeout(rowSession, 20);
        if (row.trustAuthority) {
            setenv("SSL_CERT_FILE", certificates.authority().c_str(), 1);
        }
        ASSERT_TRUE(rowSession.control.Create() && rowSession.control.SetBuffer(4096));
        ASSERT_TRUE(ConnectControl(rowSession));
        EXPECT_FALSE(Login(rowSession)) << "vsftpd knows no user \"qvexftp@wrong.example\"";
        unsetenv("SSL_CERT_FILE");
        rowSession.control.Close();
        std::vector<std::string> lines = rowLog.TakeTexts();
        EXPECT_TRUE(HasLine(lines, row.line)) << Joined(lines);
        EXPECT_EQ(HasLine(lines, "<USER qvexftp@wrong.example"), row.login) << Joined(lines);
        EXPECT_EQ(rowSession.certificateServer, proxyServer);
    }
}

// A real SOCKS server.

class RealSocksTest : public ProxyTest, public ::testing::WithParamInterface<int32_t> {
  protected:
    void StartProxy(SocksServer::Auth auth, bool ipv6 = false) {
        socks = std::make_unique<SocksServer>(auth, ipv6);
        if (!socks->started()) {
            GTEST_SKIP() << socks->problem();
        }
        UseProxy(GetParam(), socks->port());
        if (auth == SocksServer::Auth::UserPassword) {
            session.proxyUser = SocksServer::kUser;
            session.proxyPassword = SocksServer::kPassword;
        }
    }
    // A listing and a download of "down.bin" (`bytes`) in passive, then active mode, each
    // through the proxy to the server at `server`; the log lines of each mode.
    std::vector<std::vector<std::string>> TransfersInBothModes(const std::string& bytes,
                                                               const std::string& server) {
        std::vector<std::vector<std::string>> modes;
        for (int32_t passive : {1, 0}) {
            SCOPED_TRACE(passive != 0 ? "passive" : "active");
            session.passive = passive;
            EXPECT_NE(Transfer("LIST").find(" down.bin\r\n"), std::string::npos);
            EXPECT_TRUE(Transfer("RETR down.bin") == bytes) << "not the file's bytes";
            std::vector<std::string> lines = log.TakeTexts();
            const std::string dataLine =
                passive != 0 ? "Using proxy connection to [" : "Using proxy connection on [";
            EXPECT_TRUE(HasLine(lines, dataLine + server + ":")) << Joined(lines);
            EXPECT_FALSE(HasLine(lines, "*** ")) << Joined(lines) << socks->output();
            modes.push_back(std::move(lines));
        }
        return modes;
    }
    std::unique_ptr<SocksServer> socks;
};

TEST_P(RealSocksTest, ControlConnectionThroughTheProxy) {
    StartProxy(SocksServer::Auth::None);
    ScriptedPeer server;
    server.SendLine("220 Behind the proxy").ReadLine().SendLine("200 OK").ReadToEnd();
    ASSERT_TRUE(server.Start());
    UseServer(server.port());
    ASSERT_TRUE(Open()) << socks->output();
    EXPECT_EQ(Greeting(), 220);
    EXPECT_TRUE(SendCommand(session, "NOOP"));
    EXPECT_EQ(Greeting(), 200);
    session.control.Close();
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.lines(), std::vector<std::string>{"NOOP"});
    std::vector<std::string> lines = log.TakeTexts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "... using proxy connection on [" + proxyName + "] for CONTROL");
}

TEST_P(RealSocksTest, ActiveDataConnectionThroughBind) {
    StartProxy(SocksServer::Auth::None);
    UseServer(21);
    platform::NetAddress address;
    uint16_t port = 0;
    ASSERT_TRUE(SocksBindData(session, &address, &port)) << socks->output();
    char text[platform::kAddressTextSize];
    ASSERT_TRUE(platform::FormatAddress(address, text, sizeof text));
    // The FTP server connects to the address that PORT would name, and sends data.
    TcpSocket server;
    ASSERT_TRUE(server.Create());
    ASSERT_TRUE(server.Connect(text, port));
    ASSERT_TRUE(SocksAwaitData(session)) << socks->output();
    ASSERT_EQ(server.SendAll("listing", 7), 7);
    server.Close();
    char received[7];
    EXPECT_EQ(session.data.RecvAll(received, 7), 7);
    EXPECT_EQ(std::string(received, 7), "listing");
}

TEST_P(RealSocksTest, PassiveDataConnectionThroughConnect) {
    StartProxy(SocksServer::Auth::None);
    ScriptedPeer dataPeer;
    dataPeer.Send("file bytes").Close();
    ASSERT_TRUE(dataPeer.Start());
    UseServer(21);
    ASSERT_TRUE(session.data.Create());
    ASSERT_TRUE(
        SocksConnectData(session, platform::ParseDottedAddress("127.0.0.1"), dataPeer.port()))
        << socks->output();
    char received[10];
    EXPECT_EQ(session.data.RecvAll(received, 10), 10);
    EXPECT_EQ(std::string(received, 10), "file bytes");
}

// FTP over TLS through the proxy to vsftpd, which insists that data connections resume the
// control connection's TLS session: TLS runs end to end, checked against the site's name,
// with a listing and a download in passive mode (CONNECT) and in active mode (BIND).
TEST_P(RealSocksTest, TlsSessionThroughTheProxy) {
    StartProxy(SocksServer::Auth::None);
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    test::FtpServerOptions options;
    options.tlsCertificate = certificates.selfSigned();
    auto server = test::StartFtpServer(test::FtpServerKind::Vsftpd, options);
    ASSERT_TRUE(server->started()) << server->problem();
    const std::string bytes = test::RandomBytes(1024 * 1024 + 17, 5);
    ASSERT_TRUE(server->PutFile("down.bin", bytes));
    test::TempFolder folder;
    platform::RegistryFile store(folder.path("registry.reg"));
    UseServer(server->port());
    UseExplicitTls(store, session.request.host + ":" + session.request.port,
                   certificates.selfSignedFingerprint());
    ASSERT_TRUE(session.data.SetBuffer(65536));
    ASSERT_TRUE(Open()) << socks->output();
    ASSERT_TRUE(Login(session) && ProtectDataConnections(session))
        << Joined(log.TakeTexts()) << server->output();
    const auto modes = TransfersInBothModes(bytes, "127.0.0.1");
    EXPECT_TRUE(HasLine(modes[0], "... certificate trusted by its fingerprint"));
    EXPECT_TRUE(HasLine(modes[0], "<PROT P"));
}

// A server on ::1, named by its IPv6 literal: SOCKS5 reaches it, with EPSV for passive
// transfers (CONNECT to the server's address) and EPRT for active ones (the proxy's BIND
// listens on ::1); SOCKS4 cannot name it and says so.
TEST_P(RealSocksTest, Ipv6ServerThroughTheProxy) {
    StartProxy(SocksServer::Auth::None, true);
    test::FtpServerOptions options;
    options.ipv6 = true;
    auto server = test::StartFtpServer(test::FtpServerKind::Vsftpd, options);
    ASSERT_TRUE(server->started()) << server->problem();
    const std::string bytes = test::RandomBytes(256 * 1024 + 3, 6);
    ASSERT_TRUE(server->PutFile("down.bin", bytes));
    session.request.host = "::1";
    session.request.port = std::to_string(server->port());
    session.request.user = FtpServer::kUser;
    session.request.password = FtpServer::kPassword;
    ASSERT_TRUE(platform::ParseIpv6Address("::1", &session.hostAddress));
    SetSessionTimeout(session, 20);
    if (GetParam() == kProxySocks4) {
        EXPECT_FALSE(Open());
        EXPECT_EQ(log.TakeTexts(), std::vector<std::string>{"*** SOCKS4 cannot carry an IPv6 "
                                                            "address (server " +
                                                            proxyName + ")"});
        return;
    }
    ASSERT_TRUE(session.data.SetBuffer(65536));
    ASSERT_TRUE(Open()) << socks->output();
    ASSERT_TRUE(Login(session)) << Joined(log.TakeTexts()) << server->output();
    const auto modes = TransfersInBothModes(bytes, "::1");
    EXPECT_TRUE(HasLine(modes[0], "<EPSV")) << Joined(modes[0]);
    EXPECT_TRUE(HasLine(modes[1], "<EPRT |2|::1|")) << Joined(modes[1]);
}

TEST_P(RealSocksTest, RefusedDestinationIsReported) {
    StartProxy(SocksServer::Auth::None);
    UseServer(test::FreeLoopbackPort());
    EXPECT_FALSE(Open());
    std::vector<std::string> lines = log.TakeTexts();
    ASSERT_EQ(lines.size(), 1u);
    const std::string expected = GetParam() == kProxySocks4
                                     ? "*** SOCKS4 error on server " + proxyName + " (91)"
                                     : "*** SOCKS5 error on server " + proxyName + " (05)";
    EXPECT_EQ(lines[0], expected);
}

INSTANTIATE_TEST_SUITE_P(Socks, RealSocksTest, ::testing::Values(kProxySocks4, kProxySocks5),
                         [](const ::testing::TestParamInfo<int32_t>& type) {
                             return type.param == kProxySocks4 ? std::string("Socks4")
                                                               : std::string("Socks5");
                         });

class RealSocks5AuthTest : public RealSocksTest {};

TEST_P(RealSocks5AuthTest, UserAndPasswordAreChecked) {
    StartProxy(SocksServer::Auth::UserPassword);
    ScriptedPeer server;
    server.SendLine("220 Authenticated").ReadToEnd();
    ASSERT_TRUE(server.Start());
    UseServer(server.port());
    ASSERT_TRUE(Open()) << socks->output();
    EXPECT_EQ(Greeting(), 220);
}

TEST_P(RealSocks5AuthTest, WrongPasswordIsReported) {
    StartProxy(SocksServer::Auth::UserPassword);
    session.proxyPassword = "wrong";
    UseServer(21);
    EXPECT_FALSE(Open());
    EXPECT_EQ(log.TakeTexts(),
              (std::vector<std::string>{"*** SOCKS5 authentication failed on server " + proxyName,
                                        "*** (username/password mismatch or invalid)"}));
}

INSTANTIATE_TEST_SUITE_P(Socks, RealSocks5AuthTest, ::testing::Values(kProxySocks5));

TEST(ProxyPorts, DefaultsAndPortTexts) {
    EXPECT_EQ(DefaultProxyPort(kProxyNone), 0);
    EXPECT_EQ(DefaultProxyPort(kProxyFtp), 21);
    EXPECT_EQ(DefaultProxyPort(kProxySocks4), 1080);
    EXPECT_EQ(DefaultProxyPort(kProxySocks5), 1080);
    struct Row {
        const char* text;
        uint16_t port;
    };
    const Row rows[] = {{"21", 21}, {"65535", 65535}, {"65536", 0}, {"", 0},
                        {"2x", 0},  {"000021", 21},   {"-1", 0},    {"99999999999999", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(PortNumber(row.text), row.port);
    }
}

}  // namespace
}  // namespace qvex
