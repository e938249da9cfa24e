#include "engine/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/control_connection.h"
#include "engine/proxy.h"
#include "engine/server_features.h"
#include "engine/tls_session.h"
#include "log/log_sink.h"
#include "platform/local_time.h"
#include "platform/socket.h"
#include "state/restart_database.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "state/url_grammar.h"

namespace qvex {
namespace {

constexpr size_t kMaxSessionUrl = 511;

const char* const kCommandNames[kCommandKindCount] = {
    "listing",      "listing to a file",       "make directory", "delete", "download",
    "upload",       "print working directory", "end of session", "rename", "site search",
    "SITE command",
};

void PublishTitle(const std::string& text) {
    if (SharedHeap* heap = ProcessHeap()) {
        (void)heap->PublishString("AppTitle", text.c_str());
    }
}

bool Cancelled(const SessionWorker& session) {
    return session.connectCancelled.load();
}

// An address for SOCKS requests: a literal as written, else the name's first IPv4 address,
// which SOCKS4 can carry too, else its first address (IPv6, for SOCKS5); "none" when
// unresolvable.
platform::NetAddress ResolveForSocks(const std::string& host) {
    std::vector<platform::NetAddress> addresses;
    if (!ResolveHost(host.c_str(), &addresses)) {
        return platform::kAddressNone;
    }
    const auto ipv4 =
        std::find_if(addresses.begin(), addresses.end(),
                     [](const platform::NetAddress& address) { return !address.ipv6; });
    return ipv4 != addresses.end() ? *ipv4 : addresses.front();
}

void LogTimeout(uint32_t seconds, SocketWait what, bool control) {
    const char* doing = "";
    switch (what) {
        case SocketWait::Connect:
            doing = control ? "connecting" : "connecting for DATA";
            break;
        case SocketWait::Accept:
            doing = "waiting for the server to connect for DATA";
            break;
        case SocketWait::Receive:
            doing = control ? "waiting for a reply" : "waiting for DATA";
            break;
        case SocketWait::Send:
            doing = control ? "sending a command" : "sending DATA";
            break;
    }
    char line[128];
    std::snprintf(line, sizeof line, "*** Time-out after %u second%s %s", seconds,
                  seconds == 1 ? "" : "s", doing);
    logExt(line);
}

void SendQuit(SessionWorker& session) {
    (void)SendCommand(session, "QUIT");
}

// RFC 959 section 5.4: the greeting, then USER and, when asked for, PASS.
bool ReadGreeting(SessionWorker& session) {
    FtpReply reply;
    int code = ReadReply(session, reply, false);
    if (session.controlLost) {
        return false;  // the time-out or protocol error has said why
    }
    switch (code) {
        case 220:
            logExt("... connected, logging in");
            return true;
        case 120:
            logExt("*** cannot connect at this time");
            return false;
        case 421:
            logExt("*** service not available");
            return false;
        default:
            logExt("*** <undefined response>");
            return false;
    }
}

std::string LoginName(const SessionWorker& session) {
    const SessionRequest& request = session.request;
    if (session.proxyType != kProxyFtp) {
        return request.user;
    }
    std::string name = request.user + "@" + request.host;
    if (!request.portDefaulted) {
        name.push_back(':');
        name.append(std::to_string(PortNumber(request.port.c_str())));
    }
    return name;
}

enum class Step {
    Success,
    Continue,
    QuitAndFail,
    Fail,
};

Step AnswerToUser(int code, const std::string& prefix) {
    switch (code) {
        case 230:
            logExt((prefix + " logged in").c_str());
            return Step::Success;
        case 331:
            logExt("... user OK, need passwd");
            return Step::Continue;
        case 332:
            logExt("... user OK, need acct");
            logExt("*** \"account\" feature NOT supported!");
            return Step::QuitAndFail;
        case 421:
            logExt("*** service not available");
            return Step::Fail;
        case 500:
        case 501:
            logExt("*** command error, try again");
            return Step::QuitAndFail;
        case 530:
            logExt((prefix + " NOT logged in").c_str());
            return Step::Fail;
        default:
            logExt("*** <undefined response>");
            return Step::QuitAndFail;
    }
}

Step AnswerToPass(int code, const std::string& prefix) {
    switch (code) {
        case 202:
            logExt("... password NOT required");
            return Step::Success;
        case 230:
            logExt((prefix + " logged in").c_str());
            return Step::Success;
        case 332:
            logExt("... passwd OK, need account");
            logExt("*** \"account\" feature NOT supported!");
            return Step::QuitAndFail;
        case 421:
            logExt("*** service not available");
            return Step::Fail;
        case 500:
        case 501:
        case 503:
            logExt("*** command error, try again");
            return Step::QuitAndFail;
        case 530:
            logExt((prefix + " NOT logged in").c_str());
            return Step::Fail;
        default:
            logExt("*** <undefined response>");
            return Step::QuitAndFail;
    }
}

bool Finish(SessionWorker& session, Step step) {
    if (step == Step::QuitAndFail && !Cancelled(session)) {
        SendQuit(session);
    }
    return step == Step::Success;
}

int RunCommand(SessionWorker& session, SessionCommand& command) {
    int32_t kind = command.kind;
    if (kind >= 0 && kind < kCommandKindCount && session.handlers[static_cast<size_t>(kind)]) {
        return session.handlers[static_cast<size_t>(kind)](session, command);
    }
    char line[128];
    std::snprintf(line, sizeof line, "*** %s: not available in this version",
                  kind >= 0 && kind < kCommandKindCount ? kCommandNames[kind] : "unknown command");
    logExt(line);
    return 502;
}

// Takes the next command; false when the queue is empty (a count without a command).
bool TakeCommand(SessionWorker& session, SessionCommand& command) {
    std::lock_guard guard(session.queueLock);
    if (session.queue.empty()) {
        return false;
    }
    command = std::move(session.queue.front());
    session.queue.pop_front();
    return true;
}

// Reads and drops replies that arrived between commands. False when the socket is gone.
bool DiscardExtraneousReplies(SessionWorker& session, int& lastResult) {
    for (;;) {
        int32_t waiting = 0;
        if (!session.control.BytesAvailable(&waiting)) {
            LogNetFailure("Socket failure");
            return false;
        }
        // Bytes already read into the socket's buffer are waiting just the same: a stray
        // reply that came with the last one must not pass for the next command's answer.
        waiting += session.control.count();
        if (waiting < 5) {
            return true;
        }
        logExt("!!! (discarding extraneous response)");
        FtpReply reply;
        lastResult = ReadReply(session, reply, false);
    }
}

// Runs queued commands until an end-of-session command (true: end with QUIT) or a lost
// connection (false).
bool CommandLoop(SessionWorker& session, int& exitCode) {
    for (;;) {
        session.commandSignal.acquire();
        session.abortRequested = false;
        int lastResult = 0;
        if (!DiscardExtraneousReplies(session, lastResult)) {
            return false;
        }
        SessionCommand command;
        if (TakeCommand(session, command)) {
            if (command.kind == kCommandEndSession) {
                exitCode = command.b;
                return true;
            }
            lastResult = RunCommand(session, command);
        }
        session.abortRequested = false;
        session.abortSent = false;
        if (lastResult == kReplyConnectionLost) {
            return false;
        }
    }
}

void QueueFirstCommands(SessionWorker& session) {
    if (Cancelled(session)) {
        return;
    }
    PostCommand(session, kCommandPrintDirectory);
    if (session.restartEnabled && session.restartDatabase != nullptr) {
        session.restartOffset = RestartPendingFlag(*session.restartDatabase);
    }
    if (session.restartOffset == 0) {
        std::string path = session.request.path;
        if (path.find('%') != std::string::npos) {
            path = DecodeUrlEscapes(path).value_or(path);
        }
        PostCommand(session, kCommandList, path, 0, 5, -1);
    }
}

// After the connected notice: either record this host in the current restart slot, or
// queue the interrupted transfer the slot describes.
void RecordOrResume(SessionWorker& session) {
    if (Cancelled(session) || !session.restartEnabled || session.restartDatabase == nullptr) {
        return;
    }
    RestartDatabase& database = *session.restartDatabase;
    if (session.restartOffset == 0) {
        SetRestartHost(database, session.sessionUrl);
        return;
    }
    RestartRecord record = ReadRestartRecord(database);
    PostCommand(session, kCommandList, record.remoteDirectory, 0, 4, -1);
    int32_t mode = record.mode == 'a' ? 0 : record.mode == 'x' ? 2 : 1;
    // The listing queued just before has no cache id yet: -1 lets the transfer take the
    // directory the server is in when it runs.
    if (record.direction == 'G') {
        PostCommand(session, kCommandGet, record.localFolder, 0, mode | 0x10000, -1,
                    std::make_unique<TextPayload>(record.remoteName));
    } else {
        PostCommand(session, kCommandPut, record.localFolder, 0, mode | 0x10000, -1);
    }
}

void MakeHostText(SessionWorker& session) {
    char address[platform::kAddressTextSize] = {};
    uint16_t port = 0;
    if (!Cancelled(session)) {
        (void)session.control.PeerAddress(address, &port);
    }
    const std::string& host = session.request.host;
    if (host == address) {
        session.hostText = host + " [:" + std::to_string(port) + "]";
    } else {
        session.hostText = host + " [" + address + ":" + std::to_string(port) + "]";
    }
    session.connectedText = "Connected to " + session.hostText;
}

// SYST; false when the server answered that it is closing (421).
bool IdentifyServer(SessionWorker& session) {
    if (Cancelled(session) || session.commandLineStart) {
        return true;
    }
    (void)SendCommand(session, "SYST");
    FtpReply reply;
    int code = ReadReply(session, reply, true);
    if (code / 100 == 2) {
        const char* line = reply.lastLine.data();
        session.systText = std::strlen(line) > 4 ? line + 4 : "";
    }
    return code != kReplyConnectionLost;
}

// Under sendLock: CancelConnect shuts the control socket from another thread.
void CloseConnections(SessionWorker& session) {
    {
        std::lock_guard guard(session.sendLock);
        session.control.Close();
    }
    session.data.Close();
}

}  // namespace

SessionPatterns::SessionPatterns()
    : byteCount("\\([^[:digit:]]*\\s*([[:digit:]]+)\\s*\\S*\\)"),
      passiveReply(
          "([[:digit:]]+),([[:digit:]]+),([[:digit:]]+),([[:digit:]]+),([[:digit:]]+),([[:digit:]]+"
          ")"),
      directoryReply("\"([^\"]+)\""),
      pdfName(".+\\.(?:PDF|pdf)$") {}

SessionOptions SessionOptionsFromSettings(const Settings& settings, std::string_view hostUrl) {
    SessionOptions options;
    options.passive = settings.GetInt("Passive") != 0;
    options.proxySetting = settings.GetString("Proxy");
    options.proxyType = settings.GetInt("ProxyType");
    options.proxyUser = settings.GetString("AuthName");
    options.proxyPassword = settings.GetString("AuthPasswd");
    options.restart = settings.GetInt("Restart") != 0;
    options.commandLineOnly = settings.GetInt("CLOnly") != 0;
    options.commandLineStart = settings.GetInt("CLStart") != 0;
    options.noUiQuit = settings.GetInt("NoUIQuit") != 0;
    options.replaceSpaces = settings.GetInt("ReplaceSpaces") != 0;
    options.timeoutSeconds = static_cast<uint32_t>(settings.GetInt("Timeout"));
    options.perHostWord = settings.PerHostWord(hostUrl);
    return options;
}

std::shared_ptr<SessionWorker> CreateSession(const SessionRequest& request,
                                             SessionOptions options) {
    auto session = std::make_shared<SessionWorker>();
    session->request = request;
    session->sessionUrl = CanonicalUrl(request);
    if (session->sessionUrl.size() > kMaxSessionUrl) {
        logExt("*** URL too long for a session (more than 511 characters)");
        return nullptr;
    }
    uint32_t word = options.perHostWord;
    session->passive = options.passive ? 1 : 0;
    if (uint32_t mode = PerHostOptionOf(word, kPerHostDataMode); mode != 0) {
        session->passive = static_cast<int32_t>(mode - 1);
    }
    uint32_t language = PerHostOptionOf(word, kPerHostLanguage);
    session->listingLanguage = static_cast<uint16_t>(language != 0 ? language : 1033);
    if (uint32_t zone = PerHostOptionOf(word, kPerHostTimeZone); zone != 0) {
        session->localBias = int64_t{60} * platform::UtcMinusLocalMinutes();
        session->serverBias = -(static_cast<int64_t>(zone) - 64) * 15 * 60;
    }
    if (PerHostOptionOf(word, kPerHostDirect) == 0) {
        session->proxySetting = options.proxySetting;
        session->proxyType = options.proxyType;
        session->proxyUser = options.proxyUser;
        session->proxyPassword = options.proxyPassword;
    }
    switch (SchemeOf(request.scheme)) {
        case UrlScheme::Ftps:
            session->security = TlsSecurity::Implicit;
            break;
        case UrlScheme::Ftpes:
            session->security = TlsSecurity::ExplicitRequired;
            break;
        default:
            session->security = static_cast<TlsSecurity>(PerHostOptionOf(word, kPerHostSecurity));
            break;
    }
    session->certificateStore = options.certificateStore;
    session->certificateServer =
        request.host + ":" + std::to_string(PortNumber(request.port.c_str()));
    session->restartEnabled = options.restart && !options.commandLineOnly;
    if (session->proxyType != kProxyNone) {
        std::string defaultPort = std::to_string(DefaultProxyPort(session->proxyType));
        if (auto proxy = ParseUrlWithDefaultPort(session->proxySetting, defaultPort)) {
            session->proxy = *proxy;
        }
        if (session->proxyType == kProxySocks4 || session->proxyType == kProxySocks5) {
            session->hostAddress = ResolveForSocks(request.host);
            session->proxyAddress = ResolveForSocks(session->proxy.host);
        }
    }
    session->commandLineStart = options.commandLineStart;
    session->noUiQuit = options.noUiQuit;
    session->replaceSpaces = options.replaceSpaces;
    session->observer = options.observer;
    session->restartDatabase = options.restartDatabase;
    session->handlers = std::move(options.handlers);
    SetSessionTimeout(*session, options.timeoutSeconds);
    return session;
}

void SetSessionTimeout(SessionWorker& session, uint32_t seconds) {
    auto limitsFor = [&session, seconds](bool control) {
        WaitLimits limits;
        limits.milliseconds = int64_t{1000} * seconds;
        // A stop ends a wait for the server's data, never one for its replies: the reply
        // after ABOR is still to be read.
        limits.interrupt = control ? nullptr : &session.abortRequested;
        limits.onTimeout = [&session, seconds, control](SocketWait what) {
            LogTimeout(seconds, what, control);
            AbandonConnection(session);
            if (!control) {
                session.data.Abandon();
            }
        };
        return limits;
    };
    session.control.SetWaitLimits(limitsFor(true));
    session.data.SetWaitLimits(limitsFor(false));
}

void PostCommand(SessionWorker& session, int32_t kind, std::string text, int32_t a, int32_t b,
                 int32_t c, std::unique_ptr<CommandPayload> object) {
    {
        std::lock_guard guard(session.queueLock);
        if (session.quitQueued) {
            return;
        }
        SessionCommand command;
        command.kind = kind;
        command.text = std::move(text);
        command.a = a;
        command.object = std::move(object);
        command.b = b;
        command.c = c;
        session.queue.push_back(std::move(command));
        if (kind == kCommandEndSession && b != 0) {
            session.quitQueued = true;
        }
    }
    session.commandSignal.release();
}

void SetQuitWhenDone(SessionWorker& session, bool on) {
    {
        std::lock_guard guard(session.queueLock);
        if (session.quitQueued == on) {
            return;
        }
        if (!on) {
            // Nothing is queued behind the end-of-session command; the worker may already
            // have taken it, and then there is nothing left to withdraw.
            if (!session.queue.empty() && session.queue.back().kind == kCommandEndSession) {
                session.queue.pop_back();
                (void)session.commandSignal.try_acquire();
            }
            session.quitQueued = false;
            return;
        }
    }
    PostCommand(session, kCommandEndSession, {}, 0, kExitProgram, -1);
}

void CancelConnect(SessionWorker& session) {
    session.connectCancelled = true;
    if (!session.loggedIn.load()) {
        // The worker creates and closes the socket under the same lock, so the handle is
        // never one it has already given back.
        std::lock_guard guard(session.sendLock);
        platform::ShutdownSocket(session.control.handle());
    } else {
        PostCommand(session, kCommandEndSession, {}, 0, kExitSessionOnly, -1);
    }
}

bool Login(SessionWorker& session) {
    if (Cancelled(session) || !ReadGreeting(session) || !NegotiateAuthTls(session)) {
        return false;
    }
    if (Cancelled(session)) {
        return false;
    }
    if (!SendCommand(session, "USER", LoginName(session))) {
        return false;
    }
    if (Cancelled(session)) {
        return false;
    }
    const std::string prefix = "... user " + session.request.user;
    FtpReply reply;
    int code = ReadReply(session, reply, false);
    if (Cancelled(session) || session.controlLost) {
        return false;
    }
    Step step = AnswerToUser(code, prefix);
    if (step != Step::Continue) {
        return Finish(session, step);
    }
    if (Cancelled(session) || !SendCommand(session, "PASS", session.request.password) ||
        Cancelled(session)) {
        return false;
    }
    code = ReadReply(session, reply, false);
    if (Cancelled(session) || session.controlLost) {
        return false;
    }
    return Finish(session, AnswerToPass(code, prefix));
}

void AskFeatures(SessionWorker& session) {
    if (Cancelled(session) || session.controlLost || !SendCommand(session, "FEAT")) {
        return;
    }
    std::string lines;
    FtpReply reply;
    reply.lines = &lines;
    if (ReadReply(session, reply, false) != 211) {
        return;
    }
    session.features = ParseFeatureReply(lines);
    reply.lines = nullptr;
    if (session.features.utf8 && !Cancelled(session) && SendCommand(session, "OPTS", "UTF8 ON")) {
        (void)ReadReply(session, reply, false);
    }
    // A refusal leaves the default facts; the listing reads what it gets.
    if (const std::string facts = MlstFactsToAsk(session.features);
        !facts.empty() && !Cancelled(session) && SendCommand(session, "OPTS", "MLST " + facts)) {
        (void)ReadReply(session, reply, false);
    }
}

int RunSession(SessionWorker& session) {
    bool created = false;
    {
        std::lock_guard guard(session.sendLock);
        created = session.control.Create();
    }
    if (created && session.control.SetNoDelay(1)) {
        (void)session.control.SetBuffer(4096);
    }
    (void)session.control.SetKeepAlive(true);
    std::string connecting = "Connecting to " + session.request.host;
    PublishTitle(connecting);
    logExt(connecting.c_str());

    int exitCode = kExitSessionOnly;
    bool connected = ConnectControl(session);
    if (connected && session.security == TlsSecurity::Implicit) {
        connected = SecureControlConnection(session);
    }
    bool loggedIn = connected && Login(session) && ProtectDataConnections(session);
    session.loggedIn = loggedIn;
    // A server that never greets, stops answering or breaks the protocol before the login
    // is through refused nobody: the connection failed.
    connected = connected && !session.controlLost;
    if (!loggedIn) {
        if (Cancelled(session)) {
            logExt("!!! login aborted");
        } else {
            PublishTitle("");
            if (!connected) {
                LogNetFailure("Failed to connect");
            } else {
                logExt("*** failed to log in");
            }
            if (session.observer != nullptr) {
                session.observer->OnOutcome(connected ? kOutcomeLoginFailed
                                                      : kOutcomeConnectFailed);
            }
            if (session.commandLineStart && session.noUiQuit) {
                exitCode = kExitFailedUnattended;
            }
        }
        CloseConnections(session);
        return exitCode;
    }

    MakeHostText(session);
    if (IdentifyServer(session)) {
        AskFeatures(session);
    }
    if (!Cancelled(session)) {
        PublishTitle(session.connectedText);
        logExt(session.connectedText.c_str());
    }
    QueueFirstCommands(session);
    if (!Cancelled(session) && session.observer != nullptr) {
        session.observer->OnConnected(session.hostText, session.sessionUrl);
    }
    RecordOrResume(session);
    if (Cancelled(session)) {
        PostCommand(session, kCommandEndSession, {}, 0, kExitSessionOnly, -1);
        logExt("!!! login aborted");
    }
    if (CommandLoop(session, exitCode)) {
        SendQuit(session);
    }
    CloseConnections(session);
    return exitCode;
}

int SessionThread(std::shared_ptr<SessionWorker> session) {
    int exitCode = RunSession(*session);
    if (session->observer != nullptr) {
        session->observer->OnSessionEnded(exitCode);
    }
    return exitCode;
}

}  // namespace qvex
