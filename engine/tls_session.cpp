#include "engine/tls_session.h"

#include <string>

#include "engine/control_connection.h"
#include "engine/proxy.h"
#include "engine/session_observer.h"
#include "engine/tls_channel.h"
#include "log/log_sink.h"
#include "platform/socket.h"
#include "state/trusted_certificates.h"

namespace qvex {
namespace {

// What the handshake's failure line names: the library's reason, else the socket's.
std::string FailureReason(const TcpSocket& socket) {
    const TlsChannel* tls = socket.tls();
    if (tls != nullptr && !tls->error().empty()) {
        return tls->error();
    }
    return WsaErrorName();
}

// A time-out has given the connection up already and named itself.
void GiveUp(SessionWorker& session) {
    if (!session.controlLost) {
        AbandonConnection(session);
        // What the session's "Failed to connect" line names: we ended the connection.
        platform::SetLastSocketError(platform::kWsaEconnaborted);
    }
}

bool AcceptCertificate(SessionWorker& session) {
    const TlsChannel& tls = *session.control.tls();
    if (tls.verified()) {
        return true;
    }
    CertificateInfo certificate = tls.certificate();
    if (session.certificateStore != nullptr && !certificate.fingerprint.empty() &&
        TrustedFingerprint(*session.certificateStore, session.certificateServer) ==
            certificate.fingerprint) {
        logExt("... certificate trusted by its fingerprint");
        return true;
    }
    CertificateDecision decision = session.observer != nullptr
                                       ? session.observer->OnUntrustedCertificate(certificate)
                                       : CertificateDecision::Cancel;
    switch (decision) {
        case CertificateDecision::TrustAlways:
            if (session.certificateStore != nullptr &&
                !TrustFingerprint(*session.certificateStore, session.certificateServer,
                                  certificate.fingerprint)) {
                logRaw("@@@ certificate trust could not be saved");
            }
            logExt("!!! certificate trusted from now on");
            return true;
        case CertificateDecision::TrustOnce:
            logExt("!!! certificate accepted for this session");
            return true;
        case CertificateDecision::Cancel:
            break;
    }
    logExt(("*** certificate not trusted (" + certificate.problem + ")").c_str());
    logExt(("*** (SHA-256 " + certificate.fingerprint + ")").c_str());
    return false;
}

// The name the server's certificate must hold. An FTP proxy answers AUTH TLS itself (the
// site's login comes later, inside its TLS), so the certificate is the proxy's; a SOCKS proxy
// only relays bytes, and TLS runs with the site.
const std::string& TlsPeerName(const SessionWorker& session) {
    return session.proxyType == kProxyFtp ? session.proxy.host : session.request.host;
}

}  // namespace

bool SecureControlConnection(SessionWorker& session) {
    if (!session.tlsContext) {
        session.tlsContext = std::make_shared<TlsContext>();
    }
    if (session.proxyType == kProxyFtp) {
        // Its fingerprint is trusted, and asked about, under the proxy's name and port too.
        session.certificateServer =
            session.proxy.host + ":" + std::to_string(PortNumber(session.proxy.port.c_str()));
    }
    if (!session.control.StartTls(*session.tlsContext, TlsPeerName(session), nullptr)) {
        if (!session.controlLost) {  // a time-out has said why
            logExt(("*** TLS handshake failed (" + FailureReason(session.control) + ")").c_str());
        }
        GiveUp(session);
        return false;
    }
    if (!AcceptCertificate(session)) {
        GiveUp(session);
        return false;
    }
    const TlsChannel& tls = *session.control.tls();
    logExt(("... " + tls.protocol() + " negotiated (" + tls.cipher() + ")").c_str());
    if (session.observer != nullptr) {
        session.observer->OnSecured(tls.protocol(), tls.cipher());
    }
    return true;
}

bool NegotiateAuthTls(SessionWorker& session) {
    if (session.security != TlsSecurity::ExplicitIfAvailable &&
        session.security != TlsSecurity::ExplicitRequired) {
        return true;
    }
    if (!SendCommand(session, "AUTH", "TLS")) {
        return false;
    }
    FtpReply reply;
    int code = ReadReply(session, reply, false);
    if (session.controlLost || code == kReplyConnectionLost) {
        return false;
    }
    if (code == 234) {
        return SecureControlConnection(session);
    }
    if (session.security == TlsSecurity::ExplicitIfAvailable) {
        logExt("!!! AUTH TLS refused; logging in without TLS");
        return true;
    }
    logExt("*** AUTH TLS refused; TLS is required for this host");
    (void)SendCommand(session, "QUIT");
    GiveUp(session);
    return false;
}

bool ProtectDataConnections(SessionWorker& session) {
    if (!session.control.secure()) {
        return true;
    }
    FtpReply reply;
    // RFC 4217 section 9: PBSZ comes first; 0 is the only size for a stream protocol.
    if (!SendCommand(session, "PBSZ", "0") ||
        ReadReply(session, reply, false) == kReplyConnectionLost ||
        !SendCommand(session, "PROT", "P")) {
        return false;
    }
    int code = ReadReply(session, reply, false);
    if (code == 200) {
        session.protectData = true;
        return true;
    }
    if (code == kReplyConnectionLost) {
        return false;
    }
    if (session.security == TlsSecurity::ExplicitIfAvailable) {
        logExt("!!! PROT P refused; DATA connections without TLS");
        return true;
    }
    logExt("*** PROT P refused; TLS is required for this host");
    (void)SendCommand(session, "QUIT");
    return false;
}

bool SecureDataConnection(SessionWorker& session) {
    if (!session.protectData) {
        return true;
    }
    if (session.data.StartTls(*session.tlsContext, TlsPeerName(session), &session.control)) {
        return true;
    }
    logExt(("*** TLS handshake failed for DATA (" + FailureReason(session.data) + ")").c_str());
    return false;
}

}  // namespace qvex
