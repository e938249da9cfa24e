#include "engine/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace qvex {
namespace {

// What one receive of a data connection may take in: four full records and their overhead.
constexpr size_t kDataReadAhead = 4 * (16384 + 256);

// The socket handle rides in the BIO's data pointer.
platform::SocketHandle HandleOf(BIO* bio) {
    return static_cast<platform::SocketHandle>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

// Never blocks: the socket's owner waits, so its time-out and stop rules hold under TLS too.
int SocketRead(BIO* bio, char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    long received = platform::ReceiveBytes(HandleOf(bio), buffer, static_cast<size_t>(length),
                                           platform::kNoWait);
    if (received < 0 && platform::LastSocketError() == platform::kWsaEwouldblock) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(received);
}

int SocketWrite(BIO* bio, const char* bytes, int length) {
    BIO_clear_retry_flags(bio);
    long sent =
        platform::SendBytes(HandleOf(bio), bytes, static_cast<size_t>(length), platform::kNoWait);
    if (sent < 0 && platform::LastSocketError() == platform::kWsaEwouldblock) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

long SocketControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qvex socket");
        if (made != nullptr) {
            BIO_meth_set_read(made, SocketRead);
            BIO_meth_set_write(made, SocketWrite);
            BIO_meth_set_ctrl(made, SocketControl);
            BIO_meth_set_create(made, SocketCreate);
        }
        return made;
    }();
    return method;
}

std::string LibraryError() {
    unsigned long code = ERR_get_error();
    std::string text;
    while (code != 0) {
        // The reason alone ("wrong version number"), not the library's internal position.
        const char* reason = ERR_reason_error_string(code);
        text = reason != nullptr ? reason : "error " + std::to_string(code);
        code = ERR_get_error();
    }
    return text;
}

std::string NameText(const X509_NAME* name) {
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) {
        return {};
    }
    // RFC 2253's order and escapes, with a blank after each comma so that a person reads it.
    (void)X509_NAME_print_ex(
        out, name, 0,
        (XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SEP_MASK) | XN_FLAG_SEP_CPLUS_SPC);
    char* data = nullptr;
    long length = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<size_t>(length));
    BIO_free(out);
    return text;
}

// "2026-12-08 08:31 UTC".
std::string TimeText(const ASN1_TIME* time) {
    std::tm parts{};
    char text[32];
    if (ASN1_TIME_to_tm(time, &parts) != 1 ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts) == 0) {
        return {};
    }
    return text;
}

bool IsDottedAddress(const std::string& host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

struct TlsContext::Impl {
    SSL_CTX* context = nullptr;
    std::string error;
    // The newest session ticket not yet offered. A TLS 1.3 server may take each ticket once
    // only, so every data connection offers a fresh one (from the control connection or
    // the data connection before it).
    SSL_SESSION* fresh = nullptr;

    void Keep(SSL_SESSION* session) {
        SSL_SESSION_free(fresh);
        fresh = session;
    }
    SSL_SESSION* Take() {
        SSL_SESSION* taken = fresh;
        fresh = nullptr;
        return taken;
    }
};


TlsContext::TlsContext() : impl_(std::make_unique<Impl>()) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr || SocketMethod() == nullptr) {
        impl_->error = LibraryError();
        SSL_CTX_free(context);
        return;
    }
    (void)SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // AES-128-GCM first among the TLS 1.3 suites, as browsers order them: strong enough, and
    // cheaper than AES-256 for both ends of a bulk transfer.
    (void)SSL_CTX_set_ciphersuites(
        context, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    // The check runs during the handshake but never ends it: the session decides what an
    // unaccepted certificate means (ask, trusted fingerprint, refuse).
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
        (void)LibraryError();  // no trust store: every certificate goes to the decision
    }
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A renegotiation could bring a certificate that nobody decided on: the client answers a
    // server's HelloRequest with a no_renegotiation alert, and the server may go on or end.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_set_app_data(context, impl_.get());
    // Takes the session over (returns 1): it waits here for the next connection.
    SSL_CTX_sess_set_new_cb(context, [](SSL* ssl, SSL_SESSION* session) {
        auto* impl = static_cast<Impl*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (impl == nullptr || SSL_SESSION_is_resumable(session) != 1) {
            return 0;
        }
        impl->Keep(session);
        return 1;
    });
    impl_->context = context;
}

TlsContext::~TlsContext() {
    SSL_SESSION_free(impl_->fresh);
    SSL_CTX_free(impl_->context);
}

bool TlsContext::valid() const {
    return impl_->context != nullptr;
}

const std::string& TlsContext::error() const {
    return impl_->error;
}

struct TlsChannel::Impl {
    SSL* ssl = nullptr;
    std::string error;
    // Set once the client has refused a renegotiation: the likely reason a server ends.
    bool renegotiationRefused = false;
    // A data connection's bytes end with the connection, so an end without close_notify
    // may be a cut made by anyone on the way (a forged TCP FIN), and a truncated file would
    // pass for a whole one: there it fails the read. A control connection's replies end
    // themselves, and servers may just hang up.
    bool closeNotifyRequired = false;

    // Outcome, with a refused renegotiation named as the likely cause of a failure.
    TlsStep Step(int result) {
        TlsStep step = Outcome(result);
        if (step == TlsStep::Failed && renegotiationRefused) {
            error = error.empty() ? "renegotiation refused" : "renegotiation refused; " + error;
        }
        return step;
    }

    // The step's outcome from the library's result; the error queue is emptied either way,
    // as it belongs to the thread and would taint the next connection's steps.
    TlsStep Outcome(int result) {
        if (result > 0) {
            return TlsStep::Done;
        }
        int code = SSL_get_error(ssl, result);
        switch (code) {
            case SSL_ERROR_WANT_READ:
                return TlsStep::WantRead;
            case SSL_ERROR_WANT_WRITE:
                return TlsStep::WantWrite;
            case SSL_ERROR_ZERO_RETURN:
                return TlsStep::Closed;
            case SSL_ERROR_SYSCALL:
                error = LibraryError();
                if (error.empty()) {
                    // The peer's end without close_notify, or a socket error.
                    const bool ended =
                        platform::LastSocketError() == platform::kWsaEwouldblock || result == 0;
                    if (ended && closeNotifyRequired && SSL_is_init_finished(ssl) == 1) {
                        error = "ended without close_notify";
                        return TlsStep::Failed;
                    }
                    return ended ? TlsStep::Closed : TlsStep::Failed;
                }
                return TlsStep::Failed;
            default:
                error = LibraryError();
                if (error.empty()) {
                    error = "TLS error " + std::to_string(code);
                }
                return TlsStep::Failed;
        }
    }
};

TlsChannel::TlsChannel(TlsContext& context, platform::SocketHandle handle,
                       const std::string& hostName, const TlsChannel* resumeFrom)
    : impl_(std::make_unique<Impl>()) {
    ERR_clear_error();
    SSL* ssl = context.valid() ? SSL_new(context.impl_->context) : nullptr;
    BIO* bio = ssl != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (bio == nullptr) {
        impl_->error = context.valid() ? LibraryError() : context.error();
        SSL_free(ssl);
        return;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(handle)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_msg_callback_arg(ssl, impl_.get());
    SSL_set_msg_callback(ssl, [](int writing, int /*version*/, int type, const void* bytes,
                                 size_t length, SSL* /*ssl*/, void* impl) {
        if (writing != 0 && type == SSL3_RT_ALERT && length == 2 &&
            static_cast<const unsigned char*>(bytes)[1] == SSL_AD_NO_RENEGOTIATION) {
            static_cast<Impl*>(impl)->renegotiationRefused = true;
        }
    });
    impl_->closeNotifyRequired = resumeFrom != nullptr;
    if (resumeFrom != nullptr) {
        // A data connection is read in bulk: one receive takes in several records, where
        // the library alone would ask for each record's header and then its body.
        SSL_set_read_ahead(ssl, 1);
        SSL_set_default_read_buffer_len(ssl, kDataReadAhead);
    }
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
    if (IsDottedAddress(hostName)) {
        (void)X509_VERIFY_PARAM_set1_ip_asc(check, hostName.c_str());
    } else {
        // SNI; the library's macro for it casts in the old style.
        (void)SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                       const_cast<char*>(hostName.c_str()));
        (void)SSL_set1_host(ssl, hostName.c_str());
    }
    if (resumeFrom != nullptr && resumeFrom->impl_->ssl != nullptr) {
        // Without a fresh ticket (TLS 1.2 issues none on resumption) the session is reused.
        SSL_SESSION* session = context.impl_->Take();
        if (session == nullptr) {
            session = SSL_get1_session(resumeFrom->impl_->ssl);
        }
        if (session != nullptr) {
            (void)SSL_set_session(ssl, session);
            SSL_SESSION_free(session);
        }
    }
    impl_->ssl = ssl;
}

TlsChannel::~TlsChannel() {
    SSL_free(impl_->ssl);
}

TlsStep TlsChannel::Handshake() {
    if (impl_->ssl == nullptr) {
        return TlsStep::Failed;
    }
    ERR_clear_error();
    return impl_->Step(SSL_connect(impl_->ssl));
}

TlsStep TlsChannel::Read(void* buffer, size_t length, long* count) {
    if (impl_->ssl == nullptr) {
        return TlsStep::Failed;
    }
    ERR_clear_error();
    size_t read = 0;
    TlsStep step = impl_->Step(SSL_read_ex(impl_->ssl, buffer, length, &read));
    *count = static_cast<long>(read);
    return step;
}

TlsStep TlsChannel::Write(const void* bytes, size_t length, long* count) {
    if (impl_->ssl == nullptr) {
        return TlsStep::Failed;
    }
    ERR_clear_error();
    size_t written = 0;
    TlsStep step = impl_->Step(SSL_write_ex(impl_->ssl, bytes, length, &written));
    *count = static_cast<long>(written);
    return step;
}

TlsStep TlsChannel::Shutdown() {
    if (impl_->ssl == nullptr || !SSL_is_init_finished(impl_->ssl)) {
        return TlsStep::Closed;
    }
    ERR_clear_error();
    int result = SSL_shutdown(impl_->ssl);
    if (result == 1) {
        return TlsStep::Done;
    }
    return result == 0 ? TlsStep::WantRead : impl_->Step(result);
}

size_t TlsChannel::Pending() {
    if (impl_->ssl == nullptr) {
        return 0;
    }
    // A peek makes the library take in records that have arrived (a TLS 1.3 session ticket
    // carries no data); it never waits, as the socket is read without waiting.
    char byte = 0;
    size_t peeked = 0;
    ERR_clear_error();
    (void)SSL_peek_ex(impl_->ssl, &byte, 1, &peeked);
    ERR_clear_error();
    return static_cast<size_t>(SSL_pending(impl_->ssl));
}

std::string TlsChannel::protocol() const {
    if (impl_->ssl == nullptr) {
        return {};
    }
    // "TLSv1.3" reads as "TLS 1.3" in the log.
    std::string name = SSL_get_version(impl_->ssl);
    if (name.rfind("TLSv", 0) == 0) {
        name = "TLS " + name.substr(4);
    }
    return name;
}

std::string TlsChannel::cipher() const {
    return impl_->ssl != nullptr ? SSL_get_cipher_name(impl_->ssl) : "";
}

bool TlsChannel::resumed() const {
    return impl_->ssl != nullptr && SSL_session_reused(impl_->ssl) == 1;
}

bool TlsChannel::verified() const {
    return impl_->ssl != nullptr && SSL_get0_peer_certificate(impl_->ssl) != nullptr &&
           SSL_get_verify_result(impl_->ssl) == X509_V_OK;
}

CertificateInfo TlsChannel::certificate() const {
    CertificateInfo info;
    X509* peer = impl_->ssl != nullptr ? SSL_get0_peer_certificate(impl_->ssl) : nullptr;
    if (peer == nullptr) {
        info.problem = "no certificate";
        return info;
    }
    info.subject = NameText(X509_get_subject_name(peer));
    info.issuer = NameText(X509_get_issuer_name(peer));
    info.notBefore = TimeText(X509_get0_notBefore(peer));
    info.notAfter = TimeText(X509_get0_notAfter(peer));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(peer, EVP_sha256(), digest, &size) == 1) {
        char pair[4];
        for (unsigned int i = 0; i < size; ++i) {
            std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
            info.fingerprint += pair;
        }
    }
    long result = SSL_get_verify_result(impl_->ssl);
    if (result != X509_V_OK) {
        info.problem = X509_verify_cert_error_string(result);
    }
    return info;
}

const std::string& TlsChannel::error() const {
    return impl_->error;
}

}  // namespace qvex
