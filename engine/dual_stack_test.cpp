// Connecting by a name that has an IPv6 and an IPv4 address. The test runs with a hosts file
// of its own, mounted over /etc/hosts in a mount namespace of the test's own (see
// engine/CMakeLists.txt), that names dual.qvex.invalid ::1 first and 127.0.0.1 second:
// machines differ in whether "localhost" has both.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "engine/session.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"

namespace qvex {
namespace {

using test::FtpServer;
using test::FtpServerKind;
using test::LogCapture;

constexpr char kDualName[] = "dual.qvex.invalid";

// Ends the session as soon as it is logged in.
class EndWhenConnected : public SessionObserver {
  public:
    void OnConnected(const std::string&, const std::string&) override {
        PostCommand(*session, kCommandEndSession, {}, 0, kExitSessionOnly, -1);
    }
    std::shared_ptr<SessionWorker> session;
};

class DualStackName : public ::testing::Test {
  protected:
    void SetUp() override {
        uint8_t loopback[16] = {};
        loopback[15] = 1;
        std::vector<platform::NetAddress> addresses;
        ASSERT_TRUE(platform::LookupHostAddresses(kDualName, &addresses))
            << kDualName << " is unknown: run this test through ctest, which gives it its hosts "
            << "file (needs root for the mount namespace)";
        ASSERT_EQ(addresses,
                  (std::vector<platform::NetAddress>{platform::NetAddress::Ipv6(loopback),
                                                     platform::ParseDottedAddress("127.0.0.1")}));
    }

    // Logs in to the server by the dual name and ends the session; the session's log.
    std::vector<std::string> LogIn(const FtpServer& server) {
        SessionRequest request;
        request.user = FtpServer::kUser;
        request.password = FtpServer::kPassword;
        request.host = kDualName;
        request.port = std::to_string(server.port());
        EndWhenConnected observer;
        SessionOptions options;
        options.observer = &observer;
        auto session = CreateSession(request, std::move(options));
        EXPECT_NE(session, nullptr);
        if (session == nullptr) {
            return {};
        }
        observer.session = session;
        auto result = std::async(std::launch::async, [session] { return SessionThread(session); });
        if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "the session did not end";
            CancelConnect(*session);
        }
        EXPECT_EQ(result.get(), kExitSessionOnly);
        return log_.TakeTexts();
    }

    LogCapture log_;
};

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(DualStackName, ConnectsToTheFirstAddressIpv6) {
    test::FtpServerOptions options;
    options.ipv6 = true;
    auto server = test::StartFtpServer(FtpServerKind::PyFtpd, options);
    ASSERT_TRUE(server->started()) << server->problem();
    std::vector<std::string> lines = LogIn(*server);
    const std::string port = std::to_string(server->port());
    EXPECT_TRUE(Has(lines, std::string("Connected to ") + kDualName + " [::1:" + port + "]"))
        << testing::PrintToString(lines);
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("@@@", 0) == 0;
    })) << testing::PrintToString(lines);
}

TEST_F(DualStackName, RefusedIpv6AddressFallsBackToIpv4) {
    // The server listens on 127.0.0.1 only: ::1 refuses the same port.
    auto server = test::StartFtpServer(FtpServerKind::PyFtpd);
    ASSERT_TRUE(server->started()) << server->problem();
    std::vector<std::string> lines = LogIn(*server);
    const std::string port = std::to_string(server->port());
    const auto refused = std::find(lines.begin(), lines.end(),
                                   "@@@ Connect to [::1:" + port + "] failed -> WSAECONNREFUSED");
    const auto connected =
        std::find(lines.begin(), lines.end(),
                  std::string("Connected to ") + kDualName + " [127.0.0.1:" + port + "]");
    ASSERT_NE(refused, lines.end()) << testing::PrintToString(lines);
    ASSERT_NE(connected, lines.end()) << testing::PrintToString(lines);
    EXPECT_LT(refused, connected);
    EXPECT_EQ(std::string("Connecting to ") + kDualName, lines.front());
}

// SOCKS requests name a server by its IPv4 address when it has one, which SOCKS4 can carry,
// whatever order the name's addresses come in.
TEST_F(DualStackName, SocksRequestsNameTheIpv4Address) {
    for (int32_t type : {kProxySocks4, kProxySocks5}) {
        SCOPED_TRACE(type);
        SessionRequest request;
        request.host = kDualName;
        request.port = "21";
        SessionOptions options;
        options.proxyType = type;
        options.proxySetting = kDualName;
        auto session = CreateSession(request, std::move(options));
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(session->hostAddress, platform::ParseDottedAddress("127.0.0.1"));
        EXPECT_EQ(session->proxyAddress, platform::ParseDottedAddress("127.0.0.1"));
    }
}

}  // namespace
}  // namespace qvex
