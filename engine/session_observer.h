#pragma once

#include <cstdint>
#include <string>

#include "engine/tls_channel.h"

namespace qvex {

// What a session tells the windows. Calls come on the session's worker thread; a window
// turns each into a queued call on its own thread. Every method has a do-nothing default so
// a command-line run or a test implements only what it needs.
class SessionObserver {
  public:
    virtual ~SessionObserver() = default;

    // A transfer started, advanced by a display step, or ended; `tick` is the millisecond
    // tick counter at that moment.
    virtual void OnTransferStarted(uint32_t /*tick*/) {}
    virtual void OnTransferProgress(uint32_t /*tick*/) {}
    virtual void OnTransferEnded(uint32_t /*tick*/) {}

    // The session is logged in: `hostText` is "host [address:port]", `sessionUrl` the request
    // as a URL without user and password. Statistics and command-line work start here.
    virtual void OnConnected(const std::string& /*hostText*/, const std::string& /*sessionUrl*/) {}
    // Bits to add to the application's outcome word (failed connect or login, transfer
    // results).
    virtual void OnOutcome(uint32_t /*bits*/) {}
    // The session has ended with its exit code; codes other than 0 end the program.
    virtual void OnSessionEnded(int /*exitCode*/) {}
    // The server's certificate is not accepted by the trust store or does not name the host,
    // and its fingerprint is not trusted already. Without a window to ask (an unattended
    // run) the answer is Cancel.
    virtual CertificateDecision OnUntrustedCertificate(const CertificateInfo& /*certificate*/) {
        return CertificateDecision::Cancel;
    }
    // The control connection runs TLS from now on: the protocol ("TLS 1.3") and the cipher
    // suite negotiated, as the log line names them.
    virtual void OnSecured(const std::string& /*protocol*/, const std::string& /*cipher*/) {}
};

}  // namespace qvex
