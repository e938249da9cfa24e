#include "tests/support/tls_ftp_peer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>
#include <utility>

#include "tests/support/peer_sockets.h"

namespace qvex::test {
namespace {

// How long the peer gives a client to answer its HelloRequest.
constexpr int kRenegotiationMilliseconds = 1500;

}  // namespace

struct TlsFtpPeer::Session {
    SSL_CTX* context = nullptr;
    SSL* control = nullptr;
    std::string input;
    int passive = -1;

    ~Session() {
        SSL_free(control);
        SSL_CTX_free(context);
    }
};

TlsFtpPeer::TlsFtpPeer(std::string certificate, TlsPeerMisdeed misdeed, std::string file,
                       uint64_t listedSize)
    : certificate_(std::move(certificate)),
      misdeed_(misdeed),
      file_(std::move(file)),
      listedSize_(listedSize) {}

bool TlsFtpPeer::Start() {
    return thread_.Start([this] {
        Session session;
        Serve(session);
    });
}

bool TlsFtpPeer::Wait(std::chrono::seconds bound) {
    return thread_.Wait(bound);
}

std::vector<std::string> TlsFtpPeer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::string TlsFtpPeer::uploaded() const {
    std::lock_guard lock(mutex_);
    return uploaded_;
}

bool TlsFtpPeer::renegotiated() const {
    std::lock_guard lock(mutex_);
    return renegotiated_;
}

std::string TlsFtpPeer::error() const {
    return thread_.error();
}

void TlsFtpPeer::Serve(Session& session) {
    auto secure = [this, &session](int fd) {
        SSL* ssl = SSL_new(session.context);
        if (ssl != nullptr && (SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1)) {
            SSL_free(ssl);
            return static_cast<SSL*>(nullptr);
        }
        std::lock_guard lock(mutex_);
        clientHellos_ = 0;  // a connection's first handshake is no renegotiation
        return ssl;
    };
    auto reply = [&session](const std::string& text) {
        const std::string line = text + "\r\n";
        return SSL_write(session.control, line.data(), static_cast<int>(line.size())) > 0;
    };

    session.context = NewServerTlsContext(certificate_);
    if (session.context == nullptr) {
        thread_.Fail("TLS set-up");
        return;
    }
    if (misdeed_ == TlsPeerMisdeed::RenegotiateInDownload) {
        (void)SSL_CTX_set_max_proto_version(session.context, TLS1_2_VERSION);
    }
    // Counts the client's ClientHello messages: a second one on a connection is a
    // renegotiation the client went along with.
    SSL_CTX_set_msg_callback_arg(session.context, this);
    SSL_CTX_set_msg_callback(session.context, [](int writing, int, int type, const void* bytes,
                                                 size_t length, SSL*, void* peer) {
        if (writing == 0 && type == SSL3_RT_HANDSHAKE && length > 0 &&
            *static_cast<const unsigned char*>(bytes) == SSL3_MT_CLIENT_HELLO) {
            auto* self = static_cast<TlsFtpPeer*>(peer);
            std::lock_guard lock(self->mutex_);
            ++self->clientHellos_;
        }
    });

    const int controlFd = thread_.Accept(thread_.listener());
    session.control = controlFd >= 0 ? secure(controlFd) : nullptr;
    if (session.control == nullptr) {
        thread_.Fail("control handshake");
        return;
    }
    if (!reply("220 TLS test peer")) {
        return;
    }
    // Commands with one fixed answer.
    const std::map<std::string, std::string> simple = {{"USER", "331 Password please"},
                                                       {"PASS", "230 Logged in"},
                                                       {"PBSZ", "200 PBSZ=0"},
                                                       {"PROT", "200 Protection level P"},
                                                       {"TYPE", "200 Type set"},
                                                       {"SYST", "215 UNIX Type: L8"},
                                                       {"PWD", "257 \"/\" is the current folder"},
                                                       {"CWD", "250 Folder changed"}};
    for (;;) {
        size_t end;
        while ((end = session.input.find('\n')) == std::string::npos) {
            char bytes[512];
            int got = SSL_read(session.control, bytes, sizeof bytes);
            if (got <= 0) {
                return;  // the client closed the control connection, or went quiet
            }
            session.input.append(bytes, static_cast<size_t>(got));
        }
        std::string line = session.input.substr(0, end);
        session.input.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(line);
        }
        std::string verb = line.substr(0, line.find(' '));
        std::transform(verb.begin(), verb.end(), verb.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (auto found = simple.find(verb); found != simple.end()) {
            if (!reply(found->second)) {
                return;
            }
            continue;
        }
        if (verb == "PASV" || verb == "EPSV") {
            uint16_t port = 0;
            thread_.Close(session.passive);
            session.passive = thread_.Track(ListenOnLoopback(&port));
            const std::string text =
                verb == "PASV"
                    ? "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                          std::to_string(port % 256) + ")"
                    : "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
            if (!reply(text)) {
                return;
            }
            continue;
        }
        if (verb == "QUIT") {
            (void)reply("221 Bye");
            if (misdeed_ == TlsPeerMisdeed::SilentAtClose) {
                // No close_notify back: the connection stays until the client drops it.
                char bytes[512];
                while (::recv(controlFd, bytes, sizeof bytes, 0) > 0) {
                }
            } else {
                (void)SSL_shutdown(session.control);
            }
            return;
        }
        if (verb != "LIST" && verb != "RETR" && verb != "STOR") {
            if (!reply("502 Not implemented here")) {
                return;
            }
            continue;
        }

        if (!reply("150 Opening the data connection")) {
            return;
        }
        const int dataFd = session.passive >= 0 ? thread_.Accept(session.passive) : -1;
        SSL* data = dataFd >= 0 ? secure(dataFd) : nullptr;
        if (data == nullptr) {
            thread_.Fail("data handshake");
            (void)reply("425 No data connection");
            continue;
        }
        auto send = [data](std::string_view bytes) {
            return bytes.empty() ||
                   SSL_write(data, bytes.data(), static_cast<int>(bytes.size())) > 0;
        };
        std::string answer = "226 Transfer complete";
        bool closeNotify = true;
        if (verb == "LIST") {
            (void)send("-rw-r--r-- 1 qvex qvex " + std::to_string(listedSize_) +
                       " Jan 01 2024 file.bin\r\n");
        } else if (verb == "STOR") {
            std::string bytes;
            char block[16384];
            int got;
            while ((got = SSL_read(data, block, sizeof block)) > 0) {
                bytes.append(block, static_cast<size_t>(got));
            }
            std::lock_guard lock(mutex_);
            uploaded_ = std::move(bytes);
            closeNotify = misdeed_ != TlsPeerMisdeed::SilentAtClose;
        } else if (misdeed_ == TlsPeerMisdeed::CutDownload) {
            (void)send(std::string_view(file_).substr(0, file_.size() / 2));
            (void)::shutdown(dataFd, SHUT_WR);  // a FIN without close_notify
            closeNotify = false;
        } else if (misdeed_ == TlsPeerMisdeed::RenegotiateInDownload) {
            const std::string_view half = std::string_view(file_).substr(0, file_.size() / 2);
            (void)send(half);
            if (SSL_renegotiate(data) != 1 || SSL_do_handshake(data) != 1) {
                thread_.Fail("HelloRequest");
            }
            // A client that goes along sends its ClientHello; one that refuses, a
            // no_renegotiation alert, and this server then gives up as OpenSSL does.
            SetWaitLimit(dataFd, kRenegotiationMilliseconds);
            char byte;
            (void)SSL_read(data, &byte, 1);
            ERR_clear_error();
            SetWaitLimit(dataFd, PeerThread::kWaitMilliseconds);
            bool along = false;
            {
                std::lock_guard lock(mutex_);
                along = clientHellos_ > 0;
                renegotiated_ = along;
            }
            if (along) {
                (void)send(std::string_view(file_).substr(half.size()));
            } else {
                answer = "426 Renegotiation refused; transfer aborted";
                closeNotify = false;
            }
        } else {
            (void)send(file_);
        }
        if (closeNotify) {
            (void)SSL_shutdown(data);
        }
        SSL_free(data);
        // The silent peer keeps the connection open until the session ends.
        if (misdeed_ != TlsPeerMisdeed::SilentAtClose) {
            thread_.Close(dataFd);
        }
        if (!reply(answer)) {
            return;
        }
    }
}

}  // namespace qvex::test
