#include "tests/support/ftp_servers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

namespace qvex::test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kPyftpdlib = "/usr/lib/python3/dist-packages/pyftpdlib/__init__.py";
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";
constexpr const char* kShell = "/bin/sh";
constexpr const char* kPamService = "qvex-ftp";
// vsftpd runs anonymous sessions as this account, which Debian's vsftpd package creates.
constexpr const char* kAnonymousAccount = "ftp";
constexpr const char* kPyftpdBanner = "Qvex test pyftpdlib ready.";
constexpr const char* kVsftpdBanner = "Qvex test vsftpd ready.";

// Passive ranges lie below the ephemeral ports (32768 and up), so that they never meet the
// ports FreeLoopbackPort hands out or the local ends of outgoing connections. Each server
// takes a random block; two servers that share one still work, because both servers try
// another port of their range when one is taken.
constexpr int kPassiveFirst = 20000;
constexpr int kPassiveBlocks = 100;
constexpr int kPassiveBlockSize = 100;

// Long enough for a loaded machine and a sanitizer build; reached only when a start fails.
constexpr auto kStartBound = std::chrono::seconds(20);
constexpr auto kPollPause = std::chrono::milliseconds(20);
// A port that was free a moment ago may be taken before vsftpd binds it.
constexpr int kPortAttempts = 5;
// A greeting longer than a reply line may be is not our server's.
constexpr size_t kLineLimit = 512;
// What pyftpdlib and vsftpd answer when they end a session that stood still.
constexpr const char* kIdleReplies[] = {"Control connection timed out.",
                                        "Data connection timed out.",
                                        "Passive data channel timed out.",
                                        "Active data channel timed out.",
                                        "421 Timeout.",
                                        "421 Data timeout."};
// How much of a server's log a failure shows.
constexpr size_t kLogTail = 3000;

using Clock = std::chrono::steady_clock;

enum class Answer {
    Refused,
    Line,
    Silent,
};

// Connects to address:port (a numeric address, IPv6 with its zone if any) and reads the
// first line (without CR LF) until `deadline`, or until `alive` says the server has gone:
// then whatever answers is another program.
Answer ReadFirstLine(const char* address, uint16_t port, Clock::time_point deadline,
                     const std::function<bool()>& alive, std::string& line) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address, std::to_string(port).c_str(), &hints, &found) != 0) {
        return Answer::Refused;
    }
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    ::freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0) {
            ::close(fd);
        }
        return Answer::Refused;
    }
    line.clear();
    Answer answer = Answer::Silent;
    for (;;) {
        if (Clock::now() >= deadline || !alive()) {
            break;
        }
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(kPollPause.count())) <= 0) {
            continue;
        }
        char bytes[256];
        ssize_t got = ::recv(fd, bytes, sizeof bytes, 0);
        if (got <= 0) {
            // Closed: a partial line (an error text without CR LF) still says something.
            answer = line.empty() ? Answer::Silent : Answer::Line;
            break;
        }
        line.append(bytes, static_cast<size_t>(got));
        size_t end = line.find('\n');
        if (end != std::string::npos || line.size() > kLineLimit) {
            line.resize(std::min(end, kLineLimit));
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            answer = Answer::Line;
            break;
        }
    }
    ::close(fd);
    return answer;
}

// The port of the script's "ready <port>" line, 0 while the line is not complete.
uint16_t ReadyPort(const std::string& output) {
    for (size_t at = output.find("ready "); at != std::string::npos;
         at = output.find("ready ", at + 1)) {
        if (at != 0 && output[at - 1] != '\n') {
            continue;
        }
        const char* first = output.data() + at + 6;
        const char* last = output.data() + output.size();
        uint16_t port = 0;
        auto [next, error] = std::from_chars(first, last, port);
        if (error == std::errc() && next != last && *next == '\n') {
            return port;
        }
    }
    return 0;
}

// The processes whose parent is `parent`, from /proc/<pid>/stat: "pid (name) state ppid ...".
std::vector<int> ChildrenOf(int parent) {
    std::vector<int> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = ReadFileBytes(entry.path().string() + "/stat");
        // The name may hold spaces and parentheses; the last ")" ends it.
        const size_t nameEnd = stat.rfind(')');
        int ppid = 0;
        if (nameEnd != std::string::npos &&
            std::sscanf(stat.c_str() + nameEnd + 1, " %*c %d", &ppid) == 1 && ppid == parent) {
            children.push_back(std::stoi(pid));
        }
    }
    return children;
}

struct VsftpdPaths {
    std::string root;
    std::string empty;
    std::string log;
};

// A folder that a server which switches to an account can enter only when each folder
// above it lets others pass; the first that does not, empty when all do.
std::string ClosedAncestor(const std::string& folder) {
    std::filesystem::path path = std::filesystem::absolute(folder).parent_path();
    for (;;) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
            return path.string();
        }
        if (path == path.root_path()) {
            return {};
        }
        path = path.parent_path();
    }
}

std::string VsftpdConfiguration(uint16_t port, uint16_t passiveMin, uint16_t passiveMax,
                                uint64_t bytesPerSecond, bool asciiText, bool ipv6,
                                const std::string& address, const VsftpdPaths& paths) {
    std::string text;
    auto set = [&text](const std::string& name, const std::string& value) {
        text += name + "=" + value + "\n";
    };
    // Standalone and in the foreground, so that the fixture's process is the listener.
    // (The built-in defaults are the opposite: started by inetd, no listener at all.)
    // The two listeners exclude each other; each has its own address setting.
    set("listen", ipv6 ? "NO" : "YES");
    set("listen_ipv6", ipv6 ? "YES" : "NO");
    // Without an address it listens on every one: vsftpd misreads "::" itself.
    if (address != "::") {
        set(ipv6 ? "listen_address6" : "listen_address", address);
    }
    set("listen_port", std::to_string(port));
    set("background", "NO");
    set("ftpd_banner", kVsftpdBanner);

    // Anonymous: logged in by USER alone, read-only. vsftpd always locks anonymous
    // sessions into anon_root, and refuses a root that their account could write to.
    set("anonymous_enable", "YES");
    set("anon_root", paths.root);
    set("no_anon_password", "YES");
    set("ftp_username", kAnonymousAccount);
    set("anon_upload_enable", "NO");
    set("anon_mkdir_write_enable", "NO");
    set("anon_other_write_enable", "NO");

    // The account: vsftpd enters the account's home folder before it locks the session
    // into local_root ("500 OOPS: cannot change directory" when the home is missing, hence
    // the home "/" that scripts/setup-test-peers.sh gives it). The account owns the root,
    // which vsftpd refuses as a locked-in root unless allow_writeable_chroot is set.
    set("local_enable", "YES");
    set("local_root", paths.root);
    set("chroot_local_user", "YES");
    set("allow_writeable_chroot", "YES");
    set("write_enable", "YES");
    // Uploads readable by anonymous too (the default mask is 077).
    set("local_umask", "022");
    // The stock "vsftpd" PAM service also wants a login shell, which the account lacks.
    set("pam_service_name", kPamService);
    // A refused login is answered at once (instead of after 1 s), as pyftpdlib is told to.
    set("delay_failed_login", "0");

    // pasv_address stays unset: the 227 reply then names the control connection's own
    // address, 127.0.0.1.
    set("pasv_enable", "YES");
    set("pasv_min_port", std::to_string(passiveMin));
    set("pasv_max_port", std::to_string(passiveMax));
    // Each data connection, either direction; 0 is vsftpd's own "no limit".
    set("local_max_rate", std::to_string(bytesPerSecond));
    set("anon_max_rate", std::to_string(bytesPerSecond));
    const char* ascii = asciiText ? "YES" : "NO";
    set("ascii_upload_enable", ascii);
    set("ascii_download_enable", ascii);
    // Active data connections come from any port, not port 20, which servers running at
    // the same time could not share.
    set("port_enable", "YES");
    set("connect_from_port_20", "NO");
    // A session that stands still is ended with a 421, as pyftpdlib is told to.
    const std::string idle = std::to_string(FtpServer::kIdleSeconds);
    set("idle_session_timeout", idle);
    set("data_connection_timeout", idle);
    set("accept_timeout", idle);
    set("connect_timeout", idle);

    // The pre-login process is locked into this folder. Debian's default
    // (/var/run/vsftpd/empty) exists only once the system service has run.
    set("secure_chroot_dir", paths.empty);
    // The system-call filter kills sessions on calls it does not know ("500 OOPS: child
    // died"), and containers often refuse new namespaces; tests need neither.
    set("seccomp_sandbox", "NO");
    set("isolate", "NO");
    set("isolate_network", "NO");

    // vsftpd_log_file is written only with xferlog_enable and without the standard xferlog
    // format; log_ftp_protocol adds every command and reply to it. Nothing goes to syslog.
    set("xferlog_enable", "YES");
    set("xferlog_std_format", "NO");
    set("vsftpd_log_file", paths.log);
    set("log_ftp_protocol", "YES");
    set("dual_log_enable", "NO");
    set("syslog_enable", "NO");
    return text;
}

// AUTH TLS (or TLS from the first byte) offered to the account, never required, so that one
// server serves secured and plain sessions; require_ssl_reuse keeps its default, YES.
std::string VsftpdTlsConfiguration(const std::string& certificate, bool implicitTls) {
    if (certificate.empty()) {
        return {};
    }
    std::string text;
    auto set = [&text](const std::string& name, const std::string& value) {
        text += name + "=" + value + "\n";
    };
    set("ssl_enable", "YES");
    set("rsa_cert_file", certificate);
    set("rsa_private_key_file", certificate);
    set("force_local_logins_ssl", "NO");
    set("force_local_data_ssl", "NO");
    set("allow_anon_ssl", "YES");
    set("implicit_ssl", implicitTls ? "YES" : "NO");
    return text;
}

}  // namespace

FtpServer::FtpServer(std::string name, const FtpServerOptions& options)
    : name_(std::move(name)),
      root_(options.root),
      givenRoot_(!options.root.empty()),
      bytesPerSecond_(options.bytesPerSecond),
      asciiText_(options.asciiText),
      tlsCertificate_(options.tlsCertificate),
      implicitTls_(options.implicitTls && !options.tlsCertificate.empty()),
      ipv6_(options.ipv6),
      address_(!options.ipv6                 ? "127.0.0.1"
               : options.ipv6Address.empty() ? "::1"
                                             : options.ipv6Address) {
    while (root_.size() > 1 && root_.back() == '/') {
        root_.pop_back();
    }
}

FtpServer::~FtpServer() {
    const std::string log = output();
    for (const char* reply : kIdleReplies) {
        if (log.find(reply) != std::string::npos) {
            const size_t tail = log.size() > kLogTail ? log.size() - kLogTail : 0;
            ADD_FAILURE() << name_ << " ended a session that stood still for " << kIdleSeconds
                          << " s (\"" << reply << "\"): the client waited for the server, or "
                          << "the server for the client. The end of its log:\n"
                          << log.substr(tail);
            return;
        }
    }
}

bool FtpServer::Prepare() {
    std::random_device random;
    int block = std::uniform_int_distribution<int>(0, kPassiveBlocks - 1)(random);
    passivePortMin_ = static_cast<uint16_t>(kPassiveFirst + block * kPassiveBlockSize);
    passivePortMax_ = static_cast<uint16_t>(passivePortMin_ + kPassiveBlockSize - 1);

    std::error_code error;
    if (givenRoot_) {
        if (!std::filesystem::is_directory(root_, error)) {
            Fail("the folder to serve, " + root_ + ", does not exist");
            return false;
        }
    } else {
        root_ = folder_.path("root");
        std::filesystem::create_directory(root_, error);
    }
    // Servers that switch to an account enter the root as that account: the folder above
    // it must let everyone pass (but not list), the root everyone read. The caller's
    // folder keeps its mode until GiveRootTo.
    if (!error) {
        std::filesystem::permissions(folder_.root(), std::filesystem::perms(0711), error);
    }
    if (!error && !givenRoot_) {
        std::filesystem::permissions(root_, std::filesystem::perms(0755), error);
    }
    if (error) {
        Fail("could not lay out " + folder_.root() + ": " + error.message());
        return false;
    }
    return true;
}

bool FtpServer::GiveRootTo(unsigned uid, unsigned gid) {
    if (givenRoot_) {
        const std::string closed = ClosedAncestor(root_);
        if (!closed.empty()) {
            Fail(closed + " does not let the account " + std::string(kUser) + " pass to " + root_ +
                 " (serve a folder whose parents all let others search them)");
            return false;
        }
    }
    ownerUid_ = uid;
    ownerGid_ = gid;
    if (!Own(root_, 0755)) {
        Fail("could not give " + root_ + " to uid " + std::to_string(uid));
        return false;
    }
    if (!givenRoot_) {
        return true;
    }
    // What the caller or an earlier server left there must be the account's to overwrite,
    // append to, rename and delete; modes stay as they are.
    std::error_code error;
    for (auto entry = std::filesystem::recursive_directory_iterator(root_, error);
         !error && entry != std::filesystem::recursive_directory_iterator();
         entry.increment(error)) {
        if (::lchown(entry->path().c_str(), uid, gid) != 0) {
            Fail("could not give " + entry->path().string() + " to uid " + std::to_string(uid));
            return false;
        }
    }
    if (error) {
        Fail("could not go through " + root_ + ": " + error.message());
        return false;
    }
    return true;
}

bool FtpServer::Own(const std::string& path, unsigned mode) const {
    if (::chmod(path.c_str(), mode) != 0) {
        return false;
    }
    return !ownerUid_ || ::chown(path.c_str(), *ownerUid_, ownerGid_) == 0;
}

bool FtpServer::PutFolder(const std::string& relative) const {
    std::string path = root_;
    for (const auto& part : std::filesystem::path(relative)) {
        path += "/" + part.string();
        std::error_code error;
        std::filesystem::create_directory(path, error);
        if (error || !Own(path, 0755)) {
            return false;
        }
    }
    return true;
}

bool FtpServer::PutFile(const std::string& relative, const std::string& bytes) const {
    std::string parent = std::filesystem::path(relative).parent_path().string();
    if (!parent.empty() && !PutFolder(parent)) {
        return false;
    }
    WriteFileBytes(path(relative), bytes);
    return ReadFileBytes(path(relative)) == bytes && Own(path(relative), 0644);
}

bool FtpServer::AwaitGreeting(uint16_t port, const std::string& banner) {
    const std::string expected = std::string("220 ") + banner;
    const auto deadline = Clock::now() + kStartBound;
    while (Clock::now() < deadline) {
        if (!process_.running()) {
            Fail(name_ + " exited before greeting: " + output());
            return false;
        }
        std::string line;
        if (implicitTls_) {
            // The greeting comes after a handshake: a connection that stays open is enough.
            if (ReadFirstLine(
                    address(), port, Clock::now() + kPollPause * 10,
                    [this] { return process_.running(); }, line) == Answer::Silent &&
                process_.running()) {
                port_ = port;
                problem_.clear();
                return true;
            }
            std::this_thread::sleep_for(kPollPause);
            continue;
        }
        switch (ReadFirstLine(
            address(), port, deadline, [this] { return process_.running(); }, line)) {
            case Answer::Refused:
                std::this_thread::sleep_for(kPollPause);
                break;
            case Answer::Silent:
                Fail(process_.running()
                         ? name_ + " accepted a connection but sent no greeting: " + output()
                         : name_ + " exited before greeting: " + output());
                return false;
            case Answer::Line:
                if (line != expected) {
                    Fail("port " + std::to_string(port) + " greeted with \"" + line +
                         "\" instead of \"" + expected + "\": " + output());
                    return false;
                }
                greeting_ = line;
                port_ = port;
                problem_.clear();
                return true;
        }
    }
    Fail(name_ + " did not accept connections on port " + std::to_string(port) + ": " + output());
    return false;
}

void FtpServer::Kill() {
    if (process_.pid() > 0) {
        ::kill(process_.pid(), SIGKILL);
    }
    // Reaps what is left of the process.
    process_.Stop();
}

std::string FtpServer::output() const {
    std::string text = ReadFileBytes(Setting("server.out"));
    if (FileExists(Setting("server.log"))) {
        text += "\n--- " + name_ + " log ---\n" + ReadFileBytes(Setting("server.log"));
    }
    return text;
}

PyFtpdServer::PyFtpdServer(const FtpServerOptions& options) : FtpServer("pyftpdlib", options) {
    // The script sits beside this file in the source tree; the build names its path, which
    // stays whole where a compiler cache makes __FILE__ relative to the build folder.
    const std::string script = QVEX_PYFTPD_SCRIPT;
    if (!ExecutableExists(kPython)) {
        Fail("Debian's /usr/bin/python3 is missing (scripts/install-deps.sh installs it)");
        return;
    }
    if (!FileExists(kPyftpdlib)) {
        Fail("python3-pyftpdlib is not installed (scripts/install-deps.sh installs it)");
        return;
    }
    if (!FileExists(script)) {
        Fail("the server script " + script + " is missing");
        return;
    }
    if (!Prepare()) {
        return;
    }
    // Isolated mode (-I): PYTHONPATH and the like from the test's environment must not
    // reach Debian's interpreter, which alone has the Debian modules.
    if (!process_.Start(
            {kPython, "-I", script, root(), "0", kUser, kPassword, std::to_string(passivePortMin()),
             std::to_string(passivePortMax()), kPyftpdBanner, std::to_string(kIdleSeconds),
             std::to_string(bytesPerSecond()), tlsCertificate(), address()},
            Setting("server.out"))) {
        Fail("/usr/bin/python3 could not be started");
        return;
    }
    const auto deadline = Clock::now() + kStartBound;
    uint16_t port = 0;
    while (port == 0 && Clock::now() < deadline) {
        port = ReadyPort(ReadFileBytes(Setting("server.out")));
        if (port == 0) {
            if (!process_.running()) {
                Fail("pyftpd_server.py exited: " + output());
                return;
            }
            std::this_thread::sleep_for(kPollPause);
        }
    }
    if (port == 0) {
        Fail("pyftpd_server.py did not report its port: " + output());
    } else if (!AwaitGreeting(port, kPyftpdBanner)) {
        process_.Stop();
    }
}

VsftpdServer::VsftpdServer(const FtpServerOptions& options) : FtpServer("vsftpd", options) {
    anonymousAsksPassword_ = false;
    if (!ExecutableExists(kVsftpd)) {
        Fail("vsftpd is not installed (scripts/install-deps.sh installs it)");
        return;
    }
    if (::geteuid() != 0) {
        Fail("vsftpd needs root to switch to the logged-in account");
        return;
    }
    const passwd* account = ::getpwnam(kUser);
    if (account == nullptr) {
        Fail(std::string("the account ") + kUser + " is missing (run scripts/setup-test-peers.sh)");
        return;
    }
    const unsigned uid = account->pw_uid;
    const unsigned gid = account->pw_gid;
    if (!FileExists(std::string("/etc/pam.d/") + kPamService)) {
        Fail(std::string("the PAM service ") + kPamService +
             " is missing (run scripts/setup-test-peers.sh)");
        return;
    }
    if (::getpwnam(kAnonymousAccount) == nullptr) {
        Fail("the account ftp for anonymous sessions is missing (reinstall vsftpd)");
        return;
    }
    if (!Prepare() || !GiveRootTo(uid, gid)) {
        return;
    }
    VsftpdPaths paths{root(), Setting("empty"), Setting("server.log")};
    std::error_code error;
    std::filesystem::create_directory(paths.empty, error);
    if (error) {
        Fail("could not create " + paths.empty + ": " + error.message());
        return;
    }
    const std::string config = Setting("vsftpd.conf");
    for (int attempt = 0; attempt < kPortAttempts && !started(); ++attempt) {
        uint16_t port = FreeLoopbackPort();
        if (port == 0) {
            Fail("no free port on 127.0.0.1 for vsftpd");
            continue;
        }
        WriteFileBytes(
            config, VsftpdConfiguration(port, passivePortMin(), passivePortMax(), bytesPerSecond(),
                                        asciiText(), ipv6(), address(), paths) +
                        VsftpdTlsConfiguration(tlsCertificate(), implicitTls()));
        // vsftpd writes its start-up errors ("500 OOPS: could not bind listening IPv4
        // socket") to descriptor 0, which is the control connection under inetd: the shell
        // points it at the output file, then becomes vsftpd.
        const std::string command = std::string("exec ") + kVsftpd + " \"$1\" 0>&1";
        if (!process_.Start({kShell, "-c", command, "vsftpd", config}, Setting("server.out"))) {
            Fail("vsftpd could not be started");
            return;
        }
        if (!AwaitGreeting(port, kVsftpdBanner)) {
            // Another port helps only when this one was taken (vsftpd then exits at once).
            const bool exited = !process_.running();
            process_.Stop();
            if (!exited) {
                return;
            }
        }
    }
}

VsftpdServer::~VsftpdServer() {
    EndSessions(SIGTERM);
}

void VsftpdServer::Kill() {
    // The sessions first: once the listener has gone, they are no longer its children.
    // The listener then starts no new ones, as it is stopped before it is killed.
    const int listener = process_.pid();
    if (listener > 0) {
        ::kill(listener, SIGSTOP);
    }
    EndSessions(SIGKILL);
    FtpServer::Kill();
}

void VsftpdServer::EndSessions(int signal) {
    // Each session is a process group of its own (vsftpd starts a new session for it) and
    // keeps serving when the listener alone ends.
    const int listener = process_.pid();
    if (listener > 0) {
        for (int session : ChildrenOf(listener)) {
            ::kill(-session, signal);
        }
    }
}

std::unique_ptr<FtpServer> StartFtpServer(FtpServerKind kind) {
    return StartFtpServer(kind, FtpServerOptions{});
}

std::unique_ptr<FtpServer> StartFtpServer(FtpServerKind kind, const FtpServerOptions& options) {
    switch (kind) {
        case FtpServerKind::PyFtpd:
            return std::make_unique<PyFtpdServer>(options);
        case FtpServerKind::Vsftpd:
            return std::make_unique<VsftpdServer>(options);
    }
    return nullptr;
}

}  // namespace qvex::test
