#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/session_worker.h"
#include "state/session_request.h"

namespace qvex {

class Settings;

// What a new session takes from the settings, the command line and the host's per-host
// option word, read once on the thread that creates it.
struct SessionOptions {
    bool passive = true;             // "Passive"
    std::string proxySetting;        // "Proxy": host[:port]
    int32_t proxyType = kProxyNone;  // "ProxyType"
    std::string proxyUser;           // "AuthName"
    std::string proxyPassword;       // "AuthPasswd"
    bool restart = true;             // "Restart"
    bool commandLineOnly = false;    // "CLOnly"
    bool commandLineStart = false;   // "CLStart"
    bool noUiQuit = false;           // "NoUIQuit"
    bool replaceSpaces = false;      // "ReplaceSpaces"
    uint32_t timeoutSeconds = 120;   // "Timeout"; 0 waits for ever
    uint32_t perHostWord = 0;
    platform::RegistryFile* certificateStore = nullptr;
    SessionObserver* observer = nullptr;
    RestartDatabase* restartDatabase = nullptr;
    CommandHandlers handlers;
};

// Reads the settings a session needs; `hostUrl` selects the per-host option word.
SessionOptions SessionOptionsFromSettings(const Settings& settings, std::string_view hostUrl);

// Makes a session from a parsed request. Returns null, with a "***" line, when the request
// cannot make a session (its URL would not fit the session's 511 characters).
std::shared_ptr<SessionWorker> CreateSession(const SessionRequest& request, SessionOptions options);

// The worker thread's body: runs the session to its end, tells the observer, returns the
// exit code (0, 1 or 3). The caller keeps its own reference for PostCommand; once the session
// has ended, posted commands are simply never run.
int SessionThread(std::shared_ptr<SessionWorker> session);

// Connect, log in, identify the server, queue the first commands, run the command loop;
// closes the connections at the end and returns the exit code.
int RunSession(SessionWorker& session);

// USER and PASS with every answer of RFC 959 section 5.4; true when logged in.
[[nodiscard]] bool Login(SessionWorker& session);

// FEAT after the login (RFC 2389), never required: a refusal (500, 502) only means no
// features. The offered ones go to session.features; with UTF8 among them (RFC 2640)
// "OPTS UTF8 ON" asks the servers that need asking, and its answer changes nothing: names go
// to the server as it listed them. When the server keeps back a fact the listing reads,
// "OPTS MLST" asks for it.
void AskFeatures(SessionWorker& session);

// How long the session waits for its peers: connect, each reply, accept in active mode and
// each receive or send on a data connection. A time-out is a lost connection: a "***" line
// naming it, and the connection given up, so the running command ends with 421. Waits on the
// data connection also end when the user stops the transfer. 0 seconds wait for ever.
void SetSessionTimeout(SessionWorker& session, uint32_t seconds);

// Queues one command (any thread). Dropped when an end-of-session command with a non-zero
// exit code is already queued.
void PostCommand(SessionWorker& session, int32_t kind, std::string text = {}, int32_t a = 0,
                 int32_t b = 0, int32_t c = -1, std::unique_ptr<CommandPayload> object = nullptr);
// Queues (on) or withdraws (off) an end-of-session command with exit code 1.
void SetQuitWhenDone(SessionWorker& session, bool on);

// The user cancelled a connect in progress (user-interface thread): sets the cancel flag
// and shuts the control connection down, so a worker blocked on a silent server returns.
// After login the cancel becomes a queued end of the session instead.
void CancelConnect(SessionWorker& session);

}  // namespace qvex
