#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_env.h"

namespace qvex::test {

// How a server is set up; the defaults give a fresh folder and full speed.
struct FtpServerOptions {
    // An existing folder to serve as "/" instead of a fresh temporary one, so that a second
    // server can take over what a first one left behind. The caller owns it: it stays when
    // the server goes. vsftpd gives it and everything in it to the account kUser; every
    // folder above it must let others pass (serve a TempFolder's root() itself, not a folder
    // below it).
    std::string root;
    // The highest speed of each data connection in bytes per second, for downloads and
    // uploads alike; 0 for no limit. Slow enough, a transfer can be broken in the middle.
    uint64_t bytesPerSecond = 0;
    // vsftpd honours ASCII transfers (LF on disk, CR LF on the wire), as pyftpdlib always
    // does; off, it moves the bytes of a TYPE A transfer unchanged.
    bool asciiText = false;
    // FTP over TLS: a PEM file with the server's certificate and key (readable by all, as
    // vsftpd reads it after dropping root); empty for plain FTP. AUTH TLS is offered, and
    // PROT P, but neither is required; vsftpd requires data connections to resume the
    // control connection's TLS session (its default).
    std::string tlsCertificate{};
    // With tlsCertificate: TLS from the first byte instead of AUTH TLS (vsftpd only); the
    // greeting is then not checked, as it is encrypted.
    bool implicitTls = false;
    // On ::1 instead of 127.0.0.1: passive mode is then EPSV, active mode EPRT to ::1.
    bool ipv6 = false;
    // With ipv6: another address of this machine to listen on instead of ::1: one with its
    // zone ("fe80::1%lo"), or "::" for every address (in a network of the test's own only;
    // the greeting is then awaited on ::1).
    std::string ipv6Address{};
};

// A real FTP server from Debian on 127.0.0.1 (or ::1), serving a fresh temporary folder as "/" to
// two logins: "anonymous" (any password, read-only) and the account kUser / kPassword
// (read and write). Passive mode hands out 127.0.0.1 and a port of passivePortMin() ..
// passivePortMax(); PORT to 127.0.0.1 is accepted; REST is supported.
//
//     auto server = StartFtpServer(FtpServerKind::Vsftpd);
//     if (!server->started()) {
//         GTEST_SKIP() << server->problem();
//     }
//     ASSERT_TRUE(server->PutFile("pub/notes.txt", "hello\r\n"));
//     ... a client logs in to 127.0.0.1:server->port() ...
//     EXPECT_EQ(ReadFileBytes(server->path("upload.bin")), bytes) << server->output();
//
// The server is ready when the constructor returns: it accepted a connection and sent
// its greeting. On destruction it is stopped, every connection to it closed, and the
// folder removed (unless FtpServerOptions::root named it).
class FtpServer {
  public:
    static constexpr const char* kAnonymousUser = "anonymous";
    // vsftpd checks this system account (scripts/setup-test-peers.sh creates it);
    // pyftpdlib is given the same pair so that tests can treat both servers alike.
    static constexpr const char* kUser = "qvexftp";
    static constexpr const char* kPassword = "Ftp-Pass-7";
    // Anonymous may not store, delete, rename or make folders on either server (550).
    static constexpr bool kAnonymousWritable = false;
    // A session that stands still this long (no command while no transfer runs, a data
    // connection that moves nothing, a data connection nobody opens) is ended by the server
    // with a 421, and the server's end fails the running test with the end of its log: a
    // wrong conversation fails at once instead of hanging.
    static constexpr int kIdleSeconds = 20;

    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;
    virtual ~FtpServer();

    // False when the server could not be started; problem() then says why.
    bool started() const { return port_ != 0; }
    const std::string& problem() const { return problem_; }
    // "pyftpdlib" or "vsftpd", for traces.
    const std::string& name() const { return name_; }
    uint16_t port() const { return port_; }
    // The address it listens on: "127.0.0.1", or "::1" (or FtpServerOptions::ipv6Address)
    // when FtpServerOptions::ipv6 was set.
    const char* address() const { return address_.c_str(); }
    // The whole greeting line, "220 " and the server's banner.
    const std::string& greeting() const { return greeting_; }
    uint16_t passivePortMin() const { return passivePortMin_; }
    uint16_t passivePortMax() const { return passivePortMax_; }
    // Whether anonymous is asked for a password (331) or logged in by USER alone (230).
    bool anonymousAsksPassword() const { return anonymousAsksPassword_; }

    // The folder served as "/" (no trailing separator), and a path below it.
    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    // Writes a file below root(), creating its folders, so that both logins can read it
    // and the account can overwrite, rename and delete it.
    [[nodiscard]] bool PutFile(const std::string& relative, const std::string& bytes) const;
    // A folder below root() (and those above it) with the same access.
    [[nodiscard]] bool PutFolder(const std::string& relative) const;

    // The server's own output and log (every command and reply), for failure messages.
    std::string output() const;

    // Ends the server at once (SIGKILL), sessions included: every control and data
    // connection breaks where it stands, and what an upload had written stays in the folder.
    // started() and port() keep their values, but nothing answers on the port any more.
    virtual void Kill();

  protected:
    FtpServer(std::string name, const FtpServerOptions& options);
    // Picks the passive range and lays out the folder; false (with problem()) on failure.
    [[nodiscard]] bool Prepare();
    // Gives root() and, when the caller's folder is served, all in it to a system account,
    // which then owns what PutFile writes.
    [[nodiscard]] bool GiveRootTo(unsigned uid, unsigned gid);
    // Waits (bounded) for the greeting on `port`; on success the server counts as started.
    [[nodiscard]] bool AwaitGreeting(uint16_t port, const std::string& banner);
    std::string Setting(const std::string& file) const { return folder_.path(file); }
    void Fail(const std::string& why) { problem_ = why; }

    uint64_t bytesPerSecond() const { return bytesPerSecond_; }
    bool asciiText() const { return asciiText_; }
    const std::string& tlsCertificate() const { return tlsCertificate_; }
    bool implicitTls() const { return implicitTls_; }
    bool ipv6() const { return ipv6_; }

    TempFolder folder_;
    ChildProcess process_;
    bool anonymousAsksPassword_ = true;

  private:
    [[nodiscard]] bool Own(const std::string& path, unsigned mode) const;

    std::string name_;
    std::string root_;
    // Whether root_ is the caller's folder rather than one below folder_.
    bool givenRoot_ = false;
    uint64_t bytesPerSecond_ = 0;
    bool asciiText_ = false;
    std::string tlsCertificate_;
    bool implicitTls_ = false;
    bool ipv6_ = false;
    std::string address_;
    std::string problem_;
    std::string greeting_;
    uint16_t port_ = 0;
    uint16_t passivePortMin_ = 0;
    uint16_t passivePortMax_ = 0;
    std::optional<unsigned> ownerUid_;
    unsigned ownerGid_ = 0;
};

// pyftpdlib run by Debian's /usr/bin/python3 with tests/support/pyftpd_server.py, on a
// port the system chose. Needs no root.
class PyFtpdServer : public FtpServer {
  public:
    explicit PyFtpdServer(const FtpServerOptions& options = {});
};

// vsftpd 3 in the foreground with a generated configuration, on a port that was free a
// moment before. Needs root, the account kUser and the PAM service "qvex-ftp"
// (scripts/setup-test-peers.sh). Anonymous is logged in by USER alone.
class VsftpdServer : public FtpServer {
  public:
    explicit VsftpdServer(const FtpServerOptions& options = {});
    // Ends the logged-in sessions too, which would outlive the listener.
    ~VsftpdServer() override;
    void Kill() override;

  private:
    void EndSessions(int signal);
};

enum class FtpServerKind {
    PyFtpd,
    Vsftpd,
};

// Either server, for tests that run the same body against both.
std::unique_ptr<FtpServer> StartFtpServer(FtpServerKind kind);
std::unique_ptr<FtpServer> StartFtpServer(FtpServerKind kind, const FtpServerOptions& options);

}  // namespace qvex::test
