#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/peer_thread.h"

namespace qvex::test {

// What the peer does that a real server does not, at the point where it matters.
enum class TlsPeerMisdeed {
    // Halfway through a download, asks for a new handshake (a HelloRequest: the peer speaks
    // TLS 1.2 at most) and sends the rest only when the client renegotiated.
    RenegotiateInDownload,
    // Never answers the client's close_notify, neither on a data connection nor on the
    // control connection, and keeps each connection open until the client closes it.
    SilentAtClose,
    // Halfway through a download, ends the data connection's TCP without close_notify and
    // still reports the transfer complete (226): what a cut by someone in between looks like
    // to the server.
    CutDownload,
};

// An FTP server over implicit TLS on 127.0.0.1 (an ephemeral port) for one session in
// passive mode, for what real servers do not do. It answers USER, PASS, PBSZ, PROT, TYPE,
// SYST, PWD, CWD, PASV, EPSV, LIST (one line naming "file.bin" with `listedSize` bytes),
// RETR (`file`, whatever the name), STOR (kept as uploaded()) and QUIT; anything else 502.
// Data connections run TLS and may resume the control connection's TLS session.
//
//     TlsFtpPeer peer(certificates.selfSigned(), TlsPeerMisdeed::CutDownload, bytes, 1000);
//     ASSERT_TRUE(peer.Start()) << peer.error();
//     ... a client logs in over ftps:// to 127.0.0.1:peer.port() ...
//     ASSERT_TRUE(peer.Wait());
//
// Every wait of the peer is bounded, and destroying it ends the session where it stands.
class TlsFtpPeer {
  public:
    // `certificate`: a PEM file with the certificate (and the chain it sends) and the key.
    TlsFtpPeer(std::string certificate, TlsPeerMisdeed misdeed, std::string file,
               uint64_t listedSize);
    TlsFtpPeer(const TlsFtpPeer&) = delete;
    TlsFtpPeer& operator=(const TlsFtpPeer&) = delete;

    // Listening; false with error() when the port or the TLS set-up failed.
    [[nodiscard]] bool Start();
    // Waits until the session has ended (the client closed the control connection).
    [[nodiscard]] bool Wait(std::chrono::seconds bound = std::chrono::seconds(30));
    uint16_t port() const { return thread_.port(); }

    // What the session showed, read after Wait: the commands in order, the bytes of the last
    // STOR, whether the client took part in a renegotiation, and what failed on the peer's
    // side (empty when nothing did; a refused renegotiation counts as nothing failing).
    std::vector<std::string> commands() const;
    std::string uploaded() const;
    bool renegotiated() const;
    std::string error() const;

  private:
    struct Session;
    void Serve(Session& session);

    std::string certificate_;
    TlsPeerMisdeed misdeed_;
    std::string file_;
    uint64_t listedSize_;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::string uploaded_;
    // ClientHello messages since the last connection's first handshake.
    int clientHellos_ = 0;
    bool renegotiated_ = false;
    PeerThread thread_;
};

}  // namespace qvex::test
