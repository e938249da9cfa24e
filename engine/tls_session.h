#pragma once

#include "engine/session_worker.h"

namespace qvex {

// The TLS steps of a session (RFC 4217). Each failure has written its "***" line; a failure
// that gave the control connection up leaves `controlLost` set, so the session counts it as
// a failed connect.

// The handshake on the control connection (right after the connect for implicit TLS, after
// a 234 reply to AUTH TLS otherwise), the certificate decision and the negotiated line.
[[nodiscard]] bool SecureControlConnection(SessionWorker& session);

// After the greeting, for explicit TLS: AUTH TLS and the handshake. True to go on with the
// login: secured, or in plain text when the server refused and the host asks for TLS only
// "if available". A refusal under "Require explicit TLS" ends the session before USER.
[[nodiscard]] bool NegotiateAuthTls(SessionWorker& session);

// After the login on a secured control connection: PBSZ 0 and PROT P, so that data
// connections run TLS too.
[[nodiscard]] bool ProtectDataConnections(SessionWorker& session);

// A data connection just opened (the transfer command answered 1xx): the handshake, offering
// the control connection's TLS session, which servers may require. True without PROT P.
[[nodiscard]] bool SecureDataConnection(SessionWorker& session);

}  // namespace qvex
