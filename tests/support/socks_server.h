#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_env.h"

namespace qvex::test {

// A real SOCKS4/SOCKS5 server (Debian's dante-server) on 127.0.0.1 with a generated
// configuration, allowing CONNECT and BIND between loopback addresses (with `ipv6`, also to
// and from ::1, the destinations of SOCKS5 requests naming IPv6 addresses). With user-name
// authentication it checks the system account below, which scripts/setup-test-peers.sh
// creates.
class SocksServer {
  public:
    enum class Auth {
        None,
        UserPassword,
    };
    static constexpr const char* kUser = "qvexsocks";
    static constexpr const char* kPassword = "S0cks-Pass";
    // A session that stands still this long is ended by the server, and the server's end
    // fails the running test with its log: a wrong conversation fails at once.
    static constexpr int kIdleSeconds = 20;

    // Starts the server; on failure `problem()` says why (the caller skips or fails).
    explicit SocksServer(Auth auth, bool ipv6 = false);
    SocksServer(const SocksServer&) = delete;
    SocksServer& operator=(const SocksServer&) = delete;
    ~SocksServer();
    bool started() const { return port_ != 0; }
    const std::string& problem() const { return problem_; }
    uint16_t port() const { return port_; }
    std::string output() const;

  private:
    TempFolder folder_;
    ChildProcess process_;
    uint16_t port_ = 0;
    std::string problem_;
};

}  // namespace qvex::test
