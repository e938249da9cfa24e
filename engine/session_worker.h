#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <unordered_map>

#include "engine/server_features.h"
#include "engine/session_command.h"
#include "engine/session_observer.h"
#include "engine/tcp_socket.h"
#include "state/session_request.h"
#include "util/posix_regex.h"

namespace qvex {

// The proxy kinds of the "ProxyType" setting.
enum ProxyType : int32_t {
    kProxyNone = 0,
    kProxyFtp = 1,
    kProxySocks4 = 2,
    kProxySocks5 = 3,
};

class RestartDatabase;
class TlsContext;
struct SessionWorker;
namespace platform {
class RegistryFile;
}

// How a session secures itself, the values of the per-host option "Security".
enum class TlsSecurity : uint32_t {
    None = 0,
    ExplicitIfAvailable = 1,  // AUTH TLS; a refusal goes on in plain text
    ExplicitRequired = 2,     // AUTH TLS; a refusal ends the session before USER
    Implicit = 3,             // TLS from the first byte (port 990)
};

// Runs one queued command of one kind; returns an FTP reply code or the handler's own result
// (421 ends the session). The layers above the engine register them at start-up.
using CommandHandler = std::function<int(SessionWorker&, SessionCommand&)>;
using CommandHandlers = std::array<CommandHandler, kCommandKindCount>;

// Outcome bits of a session, in the application's exit-status word: one bit per transfer
// result, and the session's own failures.
inline constexpr uint32_t kOutcomeDownloaded = 0x01;
inline constexpr uint32_t kOutcomeUploaded = 0x02;
inline constexpr uint32_t kOutcomeDownloadSkipped = 0x04;
inline constexpr uint32_t kOutcomeUploadSkipped = 0x08;
inline constexpr uint32_t kOutcomeDownloadFailed = 0x10;
inline constexpr uint32_t kOutcomeUploadFailed = 0x20;
inline constexpr uint32_t kOutcomeLoginFailed = 0x40;
inline constexpr uint32_t kOutcomeConnectFailed = 0x80;

// Exit codes of a session: 0 ends the session only; 1 and 3 also end the program.
inline constexpr int kExitSessionOnly = 0;
inline constexpr int kExitProgram = 1;
inline constexpr int kExitFailedUnattended = 3;

// The process-wide patterns a session uses.
struct SessionPatterns {
    SessionPatterns();
    // A byte count in parentheses in a download's 1xx reply.
    PosixRegex byteCount;
    // The six numbers of a "227" reply.
    PosixRegex passiveReply;
    // The quoted directory of a "257" reply to PWD.
    PosixRegex directoryReply;
    // A PDF file name, for the automatic transfer type.
    PosixRegex pdfName;
};

// What the host page's meters read a few times a second while the worker runs. The running
// transfer, kept by its progress: its size (-1 unknown, 0 a listing), its position (bytes so
// far, a resumed part included) and how many transfers have started, which tells one transfer
// from the next. The session's ended transfers, added up from their summaries: their bytes
// and milliseconds.
struct TransferMeter {
    std::atomic<int64_t> size{0};
    std::atomic<uint64_t> position{0};
    std::atomic<uint32_t> starts{0};
    std::atomic<uint64_t> endedBytes{0};
    std::atomic<uint64_t> endedMilliseconds{0};
};

// One FTP session: the connection, its flags and what the engine's steps share. The worker
// thread runs it; the user-interface thread touches only the atomic flags, PostCommand and,
// through the abort operation, the control socket under `sendLock`.
struct SessionWorker {
    SessionRequest request;
    TcpSocket control;
    TcpSocket data;
    // Held around every send on `control`: the abort's urgent ABOR comes from another thread.
    std::mutex sendLock;

    // Guards `queue` and `quitQueued`; never held together with `sendLock`.
    std::mutex queueLock;
    std::counting_semaphore<32767> commandSignal{0};
    std::deque<SessionCommand> queue;
    bool quitQueued = false;

    // Set by the host page when the user cancels a connect in progress.
    std::atomic<bool> connectCancelled{false};
    std::atomic<bool> loggedIn{false};
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> abortSent{false};
    std::atomic<bool> rawListingLog{false};
    std::atomic<bool> transferActive{false};
    TransferMeter meter;

    // The control connection was given up (AbandonConnection); worker thread only.
    bool controlLost = false;

    int32_t currentType = 0;
    int32_t passive = 0;
    std::string systText;
    // What the server's FEAT answer offered; nothing when it has no FEAT.
    ServerFeatures features;
    // The server refused MLSD although it offered MLST: the session lists with LIST.
    bool mlsdRefused = false;
    // The unique facts MLSD gave for folders, by the folders' paths: a folder listed with the
    // fact of a folder above it is a link back up.
    std::unordered_map<std::string, std::string> uniqueOfFolder;

    bool restartEnabled = false;
    bool restartRequested = false;
    // At connect: the pending flag of the current restart slot; a resumed transfer then
    // puts its real offset here. Cleared when the server refuses REST.
    uint64_t restartOffset = 0;
    RestartDatabase* restartDatabase = nullptr;

    std::string proxySetting;
    SessionRequest proxy;
    int32_t proxyType = kProxyNone;
    // Resolved at creation for SOCKS only: the proxy and the server as the SOCKS requests
    // name it, each by its IPv4 address when it has one, else by its IPv6 address.
    platform::NetAddress proxyAddress;
    platform::NetAddress hostAddress;
    std::string proxyUser;
    std::string proxyPassword;

    TlsSecurity security = TlsSecurity::None;
    // Made when the session is secured; shared by the control and data connections.
    std::shared_ptr<TlsContext> tlsContext;
    // PROT P was accepted: every data connection runs TLS.
    bool protectData = false;
    // Where always-trusted certificate fingerprints are kept (none: only the observer's
    // decision counts), and this server's name there ("host:port").
    platform::RegistryFile* certificateStore = nullptr;
    std::string certificateServer;

    // The listing language's identifier (1033 = US English), shown by the raw-listing toggle.
    uint16_t listingLanguage = 1033;
    // Time-zone corrections for listing times, in seconds.
    int64_t localBias = 0;
    int64_t serverBias = 0;

    // The transfer in progress: the local folder being filled (a download) or the local
    // file being sent (an upload), the remote name fetched, and "G" or "P" with the mode
    // letter.
    std::string localFolder;
    std::string transferName;
    std::string transferCode;
    // "ReplaceSpaces": uploads store blanks in names as "_".
    bool replaceSpaces = false;

    std::string workingDirectory;
    std::string currentDirectory;
    // The request written back as a URL, without user and password.
    std::string sessionUrl;
    std::string hostText;
    std::string connectedText;

    // Command-line keys that change the session's course.
    bool commandLineStart = false;  // "CLStart"
    bool noUiQuit = false;          // "NoUIQuit"

    SessionPatterns patterns;
    CommandHandlers handlers;
    SessionObserver* observer = nullptr;
};

}  // namespace qvex
