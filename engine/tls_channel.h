#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/socket.h"

namespace qvex {

// What the user is shown about a server certificate that the system's trust store or the
// host name check did not accept.
struct CertificateInfo {
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    // SHA-256 of the certificate, upper-case hexadecimal pairs joined by ":".
    std::string fingerprint;
    // Why it was not accepted ("self-signed certificate", "hostname mismatch", ...).
    std::string problem;
};

enum class CertificateDecision {
    Cancel,
    TrustOnce,
    TrustAlways,
};

// Where one step of TLS stands; the caller waits for the socket and repeats the step on
// WantRead and WantWrite.
enum class TlsStep {
    Done,
    WantRead,
    WantWrite,
    Closed,
    Failed,
};

// The client settings of one session's TLS connections: the system's trust store, TLS 1.2
// or later, and a session cache so that data connections resume the control connection's
// TLS session (servers may insist on it: RFC 4217 section 10.2).
class TlsContext {
  public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // False when the library could not set up a context (error() says why).
    bool valid() const;
    const std::string& error() const;

  private:
    friend class TlsChannel;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The client end of one TLS connection over a connected socket. The socket is read and
// written without waiting; the owner waits between steps (with its own time-out rules).
class TlsChannel {
  public:
    // `hostName` is checked against the certificate (a dotted address as an IP address);
    // with `resumeFrom`, the handshake offers the context's newest unused session ticket,
    // else that channel's session, and the connection (a data connection) must end with
    // the peer's close_notify: an end without it fails the read. A server's renegotiation
    // is refused.
    TlsChannel(TlsContext& context, platform::SocketHandle handle, const std::string& hostName,
               const TlsChannel* resumeFrom);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    TlsStep Handshake();
    // On Done, `*count` bytes moved (at least one).
    TlsStep Read(void* buffer, size_t length, long* count);
    TlsStep Write(const void* bytes, size_t length, long* count);
    // Sends close_notify: Done when the peer's has come too, WantRead when ours is out and
    // the peer's is still to come (Read takes it in as Closed), WantWrite to repeat.
    TlsStep Shutdown();
    // Decrypted bytes ready to read, records that already arrived included.
    size_t Pending();

    // After the handshake: "TLS 1.3", the cipher suite's name, whether the session was
    // resumed, and whether the certificate passed the trust store and the host name check.
    std::string protocol() const;
    std::string cipher() const;
    bool resumed() const;
    bool verified() const;
    CertificateInfo certificate() const;
    // The library's reason for the last failure, for log lines.
    const std::string& error() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qvex
