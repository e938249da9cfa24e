#include "tests/support/socks_server.h"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace qvex::test {
namespace {

constexpr const char* kDanted = "/usr/sbin/danted";
// What danted logs when it ends a session that stood still.
constexpr const char* kIdleEnd = "timeout";

std::string Configuration(uint16_t port, SocksServer::Auth auth, bool ipv6) {
    std::string text = "logoutput: stderr\n";
    text += "internal: 127.0.0.1 port = " + std::to_string(port) + "\n";
    text += "external: 127.0.0.1\n";
    if (ipv6) {
        text += "external: ::1\n";
    }
    text += "clientmethod: none\n";
    text += auth == SocksServer::Auth::None ? "socksmethod: none\n" : "socksmethod: username\n";
    text += "user.privileged: root\n";
    text += "user.unprivileged: nobody\n";
    // A session that stands still (a request never finished, a relay that moves nothing, a
    // destination that never answers) is ended and logged.
    const std::string idle = std::to_string(SocksServer::kIdleSeconds);
    text += "timeout.negotiate: " + idle + "\ntimeout.io: " + idle + "\ntimeout.connect: " + idle +
            "\n";
    text += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
    text +=
        "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0 command: bind connect bindreply\n"
        "  log: disconnect error\n}\n";
    if (ipv6) {
        // A BIND's reply comes from the IPv6 server, to the client on 127.0.0.1.
        text +=
            "socks pass {\n  from: 127.0.0.0/8 to: ::1/128 command: bind connect bindreply\n"
            "  log: disconnect error\n}\n"
            "socks pass {\n  from: ::1/128 to: 127.0.0.0/8 command: bindreply\n"
            "  log: disconnect error\n}\n";
    }
    return text;
}

}  // namespace

SocksServer::SocksServer(Auth auth, bool ipv6) {
    if (!ExecutableExists(kDanted)) {
        problem_ = "dante-server is not installed (scripts/install-deps.sh installs it)";
        return;
    }
    if (::geteuid() != 0) {
        problem_ = "danted needs root to switch to its unprivileged user";
        return;
    }
    if (auth == Auth::UserPassword && ::getpwnam(kUser) == nullptr) {
        problem_ = "the account qvexsocks is missing (run scripts/setup-test-peers.sh)";
        return;
    }
    // The port is chosen free just before the start; retry when another program took it.
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        uint16_t port = FreeLoopbackPort();
        std::string config = folder_.path("sockd.conf");
        WriteFileBytes(config, Configuration(port, auth, ipv6));
        if (!process_.Start({kDanted, "-f", config, "-p", folder_.path("sockd.pid")},
                            folder_.path("sockd.out"))) {
            problem_ = "danted could not be started";
            return;
        }
        if (WaitForLoopbackPort(port) && process_.running()) {
            port_ = port;
        } else {
            process_.Stop();
        }
    }
    if (port_ == 0) {
        problem_ = "danted did not start listening: " + output();
    }
}

SocksServer::~SocksServer() {
    const std::string log = output();
    if (log.find(kIdleEnd) != std::string::npos) {
        ADD_FAILURE() << "danted ended a session that stood still for " << kIdleSeconds
                      << " s: the client waited for the server or its destination, or the "
                      << "other way round. Its log:\n"
                      << log;
    }
}

std::string SocksServer::output() const {
    return ReadFileBytes(folder_.path("sockd.out"));
}

}  // namespace qvex::test
