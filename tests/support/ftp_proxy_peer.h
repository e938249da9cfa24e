#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/peer_thread.h"

namespace qvex::test {

// An FTP proxy on 127.0.0.1 (an ephemeral port) for one session, speaking explicit TLS to
// its client and plain FTP to the site. It answers AUTH TLS, PBSZ and PROT itself. "USER
// name@site[:port]" (the site's IPv4 address; port 21 when none is named) opens the site's
// control connection: the proxy takes its greeting and passes "USER name" on. From then on
// it relays each command and the site's whole reply. Data goes through it in active mode,
// as a client of an FTP proxy uses it: PORT is answered here, and the next transfer command
// (LIST, NLST, MLSD, RETR, STOR, APPE) goes to the site after PASV. The proxy connects to
// the site's data port and to the client's PORT address, the latter in TLS under PROT P (as
// the server, resuming sessions), and passes the bytes on until their end.
//
//     FtpProxyPeer proxy(certificates.issuedForLoopback());
//     ASSERT_TRUE(proxy.Start()) << proxy.error();
//     ... a client logs in to 127.0.0.1:proxy.port() as "qvexftp@127.0.0.1:2121" ...
//     ASSERT_TRUE(proxy.Wait());
//     EXPECT_EQ(proxy.commands()[0], "AUTH TLS");
//
// Every wait of the proxy is bounded, and destroying it ends the session where it stands.
class FtpProxyPeer {
  public:
    // `certificate`: a PEM file with the certificate (and the chain it sends) and the key.
    // `refuseAuth`: AUTH TLS is refused (502), as by a proxy without TLS.
    explicit FtpProxyPeer(std::string certificate, bool refuseAuth = false);
    FtpProxyPeer(const FtpProxyPeer&) = delete;
    FtpProxyPeer& operator=(const FtpProxyPeer&) = delete;

    // Listening; false with error() when no port could be had.
    [[nodiscard]] bool Start();
    // Waits until the session has ended (the client closed the control connection).
    [[nodiscard]] bool Wait(std::chrono::seconds bound = std::chrono::seconds(30));
    uint16_t port() const { return thread_.port(); }

    // Read after Wait: the client's command lines in order, how many TLS data connections
    // resumed a session of the proxy's, and what failed on the proxy's side (empty when
    // nothing did).
    std::vector<std::string> commands() const;
    int resumedDataConnections() const;
    std::string error() const;

  private:
    struct Session;
    void Serve(Session& session);
    // Connects to the site of "USER name@site[:port]" and logs in there as "name".
    bool OpenSite(Session& session, const std::string& argument);
    // Relays one transfer command (`line`) with its data connection.
    bool Transfer(Session& session, const std::string& line, bool upload);

    std::string certificate_;
    bool refuseAuth_;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    int resumed_ = 0;
    PeerThread thread_;
};

}  // namespace qvex::test
