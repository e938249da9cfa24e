// FTP over TLS against real servers from Debian (vsftpd, which insists that data connections
// resume the control connection's TLS session, and pyftpdlib's TLS handler) with
// certificates made for the test, and against scripted peers for what a real server does
// not do: refused AUTH, garbage instead of a handshake, a handshake that stalls, a
// renegotiation, a close_notify never answered, a download cut without close_notify; and
// through an FTP proxy that answers AUTH TLS itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/proxy.h"
#include "engine/session.h"
#include "engine/tls_session.h"
#include "platform/registry_file.h"
#include "state/restart_database.h"
#include "state/settings.h"
#include "state/trusted_certificates.h"
#include "tests/support/ftp_proxy_peer.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_env.h"
#include "tests/support/test_certificates.h"
#include "tests/support/tls_ftp_peer.h"
#include "transfer/download.h"
#include "transfer/listing_cache.h"
#include "transfer/navigation.h"
#include "transfer/transfer_handlers.h"
#include "transfer/transfer_type.h"
#include "transfer/upload.h"

namespace qvex {
namespace {

namespace fs = std::filesystem;
using test::FtpProxyPeer;
using test::FtpServer;
using test::FtpServerKind;
using test::FtpServerOptions;
using test::ReadFileBytes;
using test::ScriptedPeer;
using test::TestCertificates;
using test::TlsFtpPeer;
using test::TlsPeerMisdeed;
using test::WriteFileBytes;

// "... TLS 1.3 negotiated (TLS_AES_128_GCM_SHA256)"
bool IsNegotiatedLine(const std::string& line) {
    const std::string start = "... TLS 1.";
    const std::string middle = " negotiated (TLS_";
    return line.rfind(start, 0) == 0 && line.size() > start.size() + 1 &&
           (line[start.size()] == '2' || line[start.size()] == '3') &&
           line.compare(start.size() + 1, middle.size(), middle) == 0 && line.back() == ')';
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            ++count;
        }
    }
    return count;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// Each of `wanted` (a line's start, or the negotiated line for "TLS") after the one before.
void ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    size_t at = 0;
    for (const std::string& prefix : wanted) {
        while (at < lines.size() &&
               !(prefix == "TLS" ? IsNegotiatedLine(lines[at]) : lines[at].rfind(prefix, 0) == 0)) {
            ++at;
        }
        ASSERT_LT(at, lines.size()) << "no \"" << prefix << "\" in order in:\n" << Joined(lines);
        ++at;
    }
}

// Sets SSL_CERT_FILE for one scope, so a test authority is the whole trust store.
class TrustStoreFile {
  public:
    explicit TrustStoreFile(const std::string& path) {
        if (!path.empty()) {
            setenv("SSL_CERT_FILE", path.c_str(), 1);
        }
    }
    ~TrustStoreFile() { unsetenv("SSL_CERT_FILE"); }
    TrustStoreFile(const TrustStoreFile&) = delete;
    TrustStoreFile& operator=(const TrustStoreFile&) = delete;
};

struct TransferCase {
    const char* name;
    FtpServerKind kind;
    bool implicitTls;
    bool passive;
    // 0: waits without limit (blocking receives); otherwise every wait is a poll first.
    uint32_t timeoutSeconds;
};

// One secured session driven on the test's thread, logged in with the steps in the order
// the session runs them; the server's self-signed certificate is trusted by its fingerprint.
class TlsTransfers : public ::testing::TestWithParam<TransferCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(certificates.made()) << certificates.problem();
        const TransferCase& param = GetParam();
        FtpServerOptions options;
        options.tlsCertificate = certificates.selfSigned();
        options.implicitTls = param.implicitTls;
        server = test::StartFtpServer(param.kind, options);
        ASSERT_TRUE(server->started()) << server->problem();

        const std::string name = "127.0.0.1:" + std::to_string(server->port());
        ASSERT_TRUE(TrustFingerprint(store, name, certificates.selfSignedFingerprint()));
        session.request.user = FtpServer::kUser;
        session.request.password = FtpServer::kPassword;
        session.request.host = "127.0.0.1";
        session.security =
            param.implicitTls ? TlsSecurity::Implicit : TlsSecurity::ExplicitRequired;
        session.certificateStore = &store;
        session.certificateServer = name;
        session.passive = param.passive ? 1 : 0;
        SetSessionTimeout(session, param.timeoutSeconds);
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", server->port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
        if (param.implicitTls) {
            ASSERT_TRUE(SecureControlConnection(session)) << Joined(log.TakeTexts());
        }
        ASSERT_TRUE(Login(session)) << Joined(log.TakeTexts()) << server->output();
        ASSERT_TRUE(ProtectDataConnections(session)) << Joined(log.TakeTexts());
    }

    int32_t ListRoot() {
        SessionCommand list;
        list.text = "/";
        list.b = kListRefresh;
        int32_t id = -1;
        EXPECT_EQ(listDirectory(session, cache, list, &id), 226) << server->output();
        return id;
    }

    TestCertificates certificates;
    test::TempFolder local;
    platform::RegistryFile store{local.path("registry.reg")};
    test::LogCapture log;
    std::unique_ptr<FtpServer> server;
    SessionWorker session;
    ListingCache cache;
};

TEST_P(TlsTransfers, ListUploadDownloadAndResumeByteForByte) {
    const std::string up = test::RandomBytes(3 * 1024 * 1024 + 7, 1);
    const std::string down = test::RandomBytes(2 * 1024 * 1024 + 3, 2);
    WriteFileBytes(local.path("up.bin"), up);
    ASSERT_TRUE(server->PutFile("down.bin", down));

    int32_t root = ListRoot();
    ASSERT_GE(cache.FindEntry(root, "down.bin"), 0);
    SessionCommand put;
    put.b = makeTransferFlags(TransferType::Image, false, 3);
    put.c = root;
    put.object = std::make_unique<NameList>(std::vector<std::string>{local.path("up.bin")});
    EXPECT_EQ(putFiles(session, cache, put), 226) << server->output();
    EXPECT_EQ(ReadFileBytes(server->path("up.bin")), up);

    fs::create_directories(local.path("down"));
    SessionCommand get;
    get.b = makeTransferFlags(TransferType::Image, false, 0);
    get.text = local.path("down");
    get.c = root;
    get.object = std::make_unique<PositionList>(
        cache, root, std::vector<int32_t>{cache.FindEntry(root, "down.bin")});
    EXPECT_EQ(getFiles(session, cache, get), 226) << server->output();
    EXPECT_EQ(ReadFileBytes(local.path("down/down.bin")), down);

    // A resumed download: REST, then the rest of the file over a secured data connection.
    session.restartRequested = true;
    session.restartOffset = 1000001;
    ASSERT_EQ(OpenDataConnection(session, "RETR down.bin"), kDataOpen) << server->output();
    session.restartRequested = false;
    std::string rest;
    long received = 0;
    while ((received = session.data.Fill()) > 0) {
        rest.append(session.data.buffer(), static_cast<size_t>(received));
    }
    EXPECT_EQ(received, -2);
    session.data.Close();
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, false), 226);
    EXPECT_EQ(rest, down.substr(1000001));

    std::vector<std::string> lines = log.TakeTexts();
    std::vector<std::string> order = {"... certificate trusted by its fingerprint",
                                      "TLS",
                                      "<USER qvexftp",
                                      "<PASS ****",
                                      "<PBSZ 0",
                                      "<PROT P",
                                      ">200",
                                      "<REST 1000001"};
    if (!GetParam().implicitTls) {
        order.insert(order.begin(), {"<AUTH TLS", ">234"});
    }
    ExpectInOrder(lines, order);
    EXPECT_EQ(CountPrefix(lines, "<AUTH"), GetParam().implicitTls ? 0u : 1u);
    EXPECT_EQ(CountPrefix(lines, "*** "), 0u) << Joined(lines);
    EXPECT_EQ(CountPrefix(lines, "@@@ "), 0u) << Joined(lines);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsTransfers,
    ::testing::Values(TransferCase{"pyftpdlib_passive", FtpServerKind::PyFtpd, false, true, 0},
                      TransferCase{"pyftpdlib_active", FtpServerKind::PyFtpd, false, false, 20},
                      TransferCase{"vsftpd_passive", FtpServerKind::Vsftpd, false, true, 20},
                      TransferCase{"vsftpd_active", FtpServerKind::Vsftpd, false, false, 0},
                      TransferCase{"vsftpd_implicit_passive", FtpServerKind::Vsftpd, true, true, 0},
                      TransferCase{"vsftpd_implicit_active", FtpServerKind::Vsftpd, true, false,
                                   20}),
    [](const ::testing::TestParamInfo<TransferCase>& row) { return row.param.name; });

// Decides as told, records what it was shown, and ends the session once it is logged in.
class Deciding : public SessionObserver {
  public:
    explicit Deciding(CertificateDecision decision) : decision_(decision) {}
    CertificateDecision OnUntrustedCertificate(const CertificateInfo& certificate) override {
        shown.push_back(certificate);
        return decision_;
    }
    void OnConnected(const std::string&, const std::string&) override {
        SetQuitWhenDone(*session, true);
    }
    void OnOutcome(uint32_t bits) override { outcome |= bits; }

    std::shared_ptr<SessionWorker> session;
    std::vector<CertificateInfo> shown;
    std::atomic<uint32_t> outcome{0};

  private:
    CertificateDecision decision_;
};

// Whole sessions on a worker thread, as the program runs them: the exit code.
int RunWholeSession(const std::string& scheme, const std::string& host, uint16_t port,
                    Deciding& observer, platform::RegistryFile* store, uint32_t perHostWord = 0,
                    uint32_t timeoutSeconds = 20) {
    SessionRequest request;
    request.scheme = scheme;
    request.user = FtpServer::kUser;
    request.password = FtpServer::kPassword;
    request.host = host;
    request.port = std::to_string(port);
    SessionOptions options;
    options.restart = false;
    options.observer = &observer;
    options.certificateStore = store;
    options.perHostWord = perHostWord;
    options.timeoutSeconds = timeoutSeconds;
    ListingCache cache;
    InstallTransferHandlers(options.handlers, cache);
    observer.session = CreateSession(request, std::move(options));
    std::shared_ptr<SessionWorker> session = observer.session;
    int exitCode = -1;
    std::thread worker([session, &exitCode] { exitCode = SessionThread(session); });
    worker.join();
    observer.session.reset();
    return exitCode;
}

struct CertificateCase {
    const char* name;
    const char* host;
    std::string (TestCertificates::*certificate)() const;
    bool trustAuthority;  // the test authority is the trust store
    CertificateDecision decision;
    // What the window was asked about ("" when it was not asked), and the lines wanted.
    std::string problemShown;
    std::vector<std::string> lines;
    uint32_t outcome;
};

TEST(TlsCertificates, TrustStoreHostNameAndTheUsersDecision) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    const std::vector<CertificateCase> cases = {
        {"self-signed, unattended",
         "127.0.0.1",
         &TestCertificates::selfSigned,
         false,
         CertificateDecision::Cancel,
         "self-signed certificate",
         {"<AUTH TLS", "*** certificate not trusted (self-signed certificate)",
          "*** (SHA-256 " + certificates.selfSignedFingerprint() + ")",
          "@@@ Failed to connect -> WSAECONNABORTED"},
         kOutcomeConnectFailed},
        {"self-signed, trusted once",
         "127.0.0.1",
         &TestCertificates::selfSigned,
         false,
         CertificateDecision::TrustOnce,
         "self-signed certificate",
         {"!!! certificate accepted for this session", "TLS", "<USER",
          "... user qvexftp logged in"},
         0},
        {"issued for another name, reached by name",
         "localhost",
         &TestCertificates::issuedForOtherName,
         true,
         CertificateDecision::Cancel,
         "hostname mismatch",
         {"*** certificate not trusted (hostname mismatch)", "*** (SHA-256 ",
          "@@@ Failed to connect"},
         kOutcomeConnectFailed},
        {"issued for another name, reached by address",
         "127.0.0.1",
         &TestCertificates::issuedForOtherName,
         true,
         CertificateDecision::Cancel,
         "IP address mismatch",
         {"*** certificate not trusted (IP address mismatch)", "*** (SHA-256 ",
          "@@@ Failed to connect"},
         kOutcomeConnectFailed},
        {"expired, unattended",
         "127.0.0.1",
         &TestCertificates::expired,
         true,
         CertificateDecision::Cancel,
         "certificate has expired",
         {"<AUTH TLS", "*** certificate not trusted (certificate has expired)", "*** (SHA-256 ",
          "@@@ Failed to connect -> WSAECONNABORTED"},
         kOutcomeConnectFailed},
        {"expired, trusted once",
         "127.0.0.1",
         &TestCertificates::expired,
         true,
         CertificateDecision::TrustOnce,
         "certificate has expired",
         {"!!! certificate accepted for this session", "TLS", "<USER",
          "... user qvexftp logged in"},
         0},
        // The server sends all 50; the trust store holds the last one only.
        {"a chain of 50 up to the trusted authority",
         "127.0.0.1",
         &TestCertificates::chainOf50,
         true,
         CertificateDecision::Cancel,
         "",
         {"<AUTH TLS", "TLS", "<USER", "... user qvexftp logged in", "<QUIT"},
         0},
        {"a chain of 50 up to an unknown authority, unattended",
         "127.0.0.1",
         &TestCertificates::chainOf50,
         false,
         CertificateDecision::Cancel,
         "self-signed certificate in certificate chain",
         {"*** certificate not trusted (self-signed certificate in certificate chain)",
          "*** (SHA-256 ", "@@@ Failed to connect -> WSAECONNABORTED"},
         kOutcomeConnectFailed},
        {"issued for this address",
         "127.0.0.1",
         &TestCertificates::issuedForLoopback,
         true,
         CertificateDecision::Cancel,
         "",
         {"<AUTH TLS", "TLS", "<USER", "<PROT P", "<QUIT"},
         0},
    };
    for (const CertificateCase& row : cases) {
        SCOPED_TRACE(row.name);
        FtpServerOptions options;
        options.tlsCertificate = (certificates.*row.certificate)();
        auto server = test::StartFtpServer(FtpServerKind::Vsftpd, options);
        ASSERT_TRUE(server->started()) << server->problem();
        TrustStoreFile trust(row.trustAuthority ? certificates.authority() : "");
        test::LogCapture log;
        Deciding observer(row.decision);
        RunWholeSession("ftpes", row.host, server->port(), observer, nullptr);
        std::vector<std::string> lines = log.TakeTexts();
        ExpectInOrder(lines, row.lines);
        EXPECT_EQ(observer.outcome.load(), row.outcome) << Joined(lines);
        if (row.problemShown.empty()) {
            EXPECT_TRUE(observer.shown.empty());
        } else {
            ASSERT_EQ(observer.shown.size(), 1u);
            EXPECT_EQ(observer.shown[0].problem, row.problemShown);
        }
        if (row.outcome != 0) {
            // Nothing of the login went out.
            EXPECT_EQ(CountPrefix(lines, "<USER"), 0u) << Joined(lines);
        }
    }
}

TEST(TlsCertificates, AlwaysTrustedIsKeptAndAcceptedByItsFingerprintNextTime) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    FtpServerOptions options;
    options.tlsCertificate = certificates.selfSigned();
    options.implicitTls = true;
    auto server = test::StartFtpServer(FtpServerKind::Vsftpd, options);
    ASSERT_TRUE(server->started()) << server->problem();
    test::TempFolder folder;
    platform::RegistryFile store(folder.path("registry.reg"));
    test::LogCapture log;

    Deciding asking(CertificateDecision::TrustAlways);
    EXPECT_EQ(RunWholeSession("ftps", "127.0.0.1", server->port(), asking, &store), kExitProgram);
    ASSERT_EQ(asking.shown.size(), 1u);
    const CertificateInfo& shown = asking.shown[0];
    EXPECT_EQ(shown.subject, "CN=127.0.0.1");
    EXPECT_EQ(shown.issuer, "CN=127.0.0.1");
    EXPECT_EQ(shown.fingerprint, certificates.selfSignedFingerprint());
    // "2026-12-08 08:31 UTC"
    const auto dayAndMinute = [](const std::string& text) {
        const std::string form = "dddd-dd-dd dd:dd UTC";
        if (text.size() != form.size()) {
            return false;
        }
        for (size_t at = 0; at < form.size(); ++at) {
            if (form[at] == 'd' ? text[at] < '0' || text[at] > '9' : text[at] != form[at]) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(dayAndMinute(shown.notBefore)) << shown.notBefore;
    EXPECT_TRUE(dayAndMinute(shown.notAfter)) << shown.notAfter;
    EXPECT_LT(shown.notBefore, shown.notAfter);
    const std::string name = "127.0.0.1:" + std::to_string(server->port());
    platform::RegistryFile reread(folder.path("registry.reg"));
    EXPECT_EQ(TrustedFingerprint(reread, name), certificates.selfSignedFingerprint());
    ExpectInOrder(log.TakeTexts(), {"!!! certificate trusted from now on", "TLS", "<USER"});

    // Unattended now: the stored fingerprint decides, nobody is asked.
    Deciding unattended(CertificateDecision::Cancel);
    EXPECT_EQ(RunWholeSession("ftps", "127.0.0.1", server->port(), unattended, &store),
              kExitProgram);
    EXPECT_TRUE(unattended.shown.empty());
    EXPECT_EQ(unattended.outcome.load(), 0u);
    std::vector<std::string> lines = log.TakeTexts();
    ExpectInOrder(lines, {"... certificate trusted by its fingerprint", "TLS", "<USER",
                          "... user qvexftp logged in", "<PBSZ 0", "<PROT P", "<QUIT"});
    EXPECT_EQ(CountPrefix(lines, "<AUTH"), 0u);
}

// A server without TLS: "if available" (from the per-host word) logs in in plain text.
TEST(TlsRefusals, AuthRefusedGoesOnInPlainTextWhenTlsIsOnlyWanted) {
    auto server = test::StartFtpServer(FtpServerKind::PyFtpd);
    ASSERT_TRUE(server->started()) << server->problem();
    test::LogCapture log;
    Deciding observer(CertificateDecision::Cancel);
    const uint32_t ifAvailable = 1u << 28;
    ASSERT_EQ(PerHostOptionOf(ifAvailable, kPerHostSecurity), 1u);
    EXPECT_EQ(RunWholeSession("ftp", "127.0.0.1", server->port(), observer, nullptr, ifAvailable),
              kExitProgram);
    std::vector<std::string> lines = log.TakeTexts();
    ExpectInOrder(lines, {"<AUTH TLS", ">5", "!!! AUTH TLS refused; logging in without TLS",
                          "<USER qvexftp", "... user qvexftp logged in", "<QUIT"});
    EXPECT_EQ(CountPrefix(lines, "<PBSZ"), 0u);
    EXPECT_EQ(observer.outcome.load(), 0u);
}

struct PeerCase {
    const char* name;
    const char* scheme;
    std::function<void(ScriptedPeer&)> script;
    uint32_t timeoutSeconds;
    std::vector<std::string> lines;
    std::string wire;  // what the peer received; "-" when not compared
};

TEST(TlsRefusals, ScriptedPeersGetNoLoginAndGiveClearLines) {
    // A ClientHello starts with the record header 16 03 01 (or 03 03) and a length.
    const std::vector<PeerCase> cases = {
        {"AUTH refused when TLS is required",
         "ftpes",
         [](ScriptedPeer& peer) {
             peer.SendLine("220 Hi").ReadLine().SendLine("500 AUTH not understood").ReadLine();
         },
         20,
         {"<AUTH TLS", ">500 AUTH not understood",
          "*** AUTH TLS refused; TLS is required for this host", "<QUIT",
          "@@@ Failed to connect -> WSAECONNABORTED"},
         "AUTH TLS\r\nQUIT\r\n"},
        {"garbage instead of a handshake",
         "ftpes",
         [](ScriptedPeer& peer) {
             peer.SendLine("220 Hi")
                 .ReadLine()
                 .SendLine("234 Go ahead")
                 .ReadBytes(5)
                 .Send("HTTP/1.0 400 Bad Request\r\n\r\n")
                 .ReadToEnd();
         },
         20,
         {"<AUTH TLS", ">234 Go ahead", "*** TLS handshake failed (",
          "@@@ Failed to connect -> WSAECONNABORTED"},
         "-"},
        {"a plain greeting on the implicit TLS port",
         "ftps",
         [](ScriptedPeer& peer) { peer.SendLine("220 plain FTP here").ReadToEnd(); },
         20,
         {"*** TLS handshake failed (", "@@@ Failed to connect -> WSAECONNABORTED"},
         "-"},
        {"a handshake that stalls",
         "ftpes",
         [](ScriptedPeer& peer) {
             peer.SendLine("220 Hi").ReadLine().SendLine("234 Go ahead").ReadBytes(5).ReadToEnd();
         },
         1,
         {"<AUTH TLS", "*** Time-out after 1 second waiting for a reply",
          "@@@ Failed to connect -> WSAETIMEDOUT"},
         "-"},
    };
    for (const PeerCase& row : cases) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer;
        row.script(peer);
        ASSERT_TRUE(peer.Start());
        test::LogCapture log;
        Deciding observer(CertificateDecision::TrustOnce);
        RunWholeSession(row.scheme, "127.0.0.1", peer.port(), observer, nullptr, 0,
                        row.timeoutSeconds);
        ASSERT_TRUE(peer.Wait());
        std::vector<std::string> lines = log.TakeTexts();
        ExpectInOrder(lines, row.lines);
        EXPECT_EQ(observer.outcome.load(), kOutcomeConnectFailed);
        EXPECT_EQ(CountPrefix(lines, "<USER"), 0u) << Joined(lines);
        EXPECT_TRUE(observer.shown.empty());
        if (row.wire != "-") {
            EXPECT_EQ(peer.received(0), row.wire);
        }
    }
}

struct MisdeedCase {
    const char* name;
    TlsPeerMisdeed misdeed;
    bool upload;  // STOR of `bytes`, else RETR of it
    std::vector<std::string> lines;
    int code;
    uint32_t outcome;
};

// One session in passive mode against a peer that misbehaves in a transfer: never a success
// that is none, never a wait beyond the time-out. The listing gives the file's size as it
// was before it grew, so only TLS can tell a cut download.
TEST(TlsPeers, MisbehavingServersEndInAClearResult) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    const std::string bytes = test::RandomBytes(512 * 1024 + 5, 3);
    const std::string half = bytes.substr(0, bytes.size() / 2);
    constexpr uint32_t kTimeoutSeconds = 2;
    const std::vector<MisdeedCase> cases = {
        {"a renegotiation halfway through a download",
         TlsPeerMisdeed::RenegotiateInDownload,
         false,
         {"<RETR file.bin",
          "*** TLS connection failed (renegotiation refused; sslv3 alert handshake failure)",
          ">426 Renegotiation refused", "*** Network error, queue flushed"},
         kReplyConnectionLost,
         kOutcomeDownloadFailed},
        {"a download cut without close_notify, and 226",
         TlsPeerMisdeed::CutDownload,
         false,
         {"<RETR file.bin", "*** TLS connection failed (ended without close_notify)",
          ">226 Transfer complete", "*** Network error, queue flushed"},
         kReplyConnectionLost,
         kOutcomeDownloadFailed},
        {"close_notify never answered after an upload and at the end",
         TlsPeerMisdeed::SilentAtClose,
         true,
         {"<STOR file.bin", ">226 Transfer complete", "<QUIT", ">221 Bye"},
         226,
         kOutcomeUploaded},
    };
    for (const MisdeedCase& row : cases) {
        SCOPED_TRACE(row.name);
        TlsFtpPeer peer(certificates.selfSigned(), row.misdeed, bytes, 1000);
        ASSERT_TRUE(peer.Start()) << peer.error();
        test::TempFolder local;
        platform::RegistryFile store(local.path("registry.reg"));
        RestartDatabase restart(local.root() + "/");
        ASSERT_GT(restart.ClaimRestartSlot(true), 0);
        const std::string name = "127.0.0.1:" + std::to_string(peer.port());
        ASSERT_TRUE(TrustFingerprint(store, name, certificates.selfSignedFingerprint()));
        test::LogCapture log;
        Deciding observer(CertificateDecision::Cancel);
        SessionWorker session;
        session.request.user = FtpServer::kUser;
        session.request.password = FtpServer::kPassword;
        session.request.host = "127.0.0.1";
        session.security = TlsSecurity::Implicit;
        session.certificateStore = &store;
        session.certificateServer = name;
        session.observer = &observer;
        session.restartEnabled = true;
        session.restartDatabase = &restart;
        session.passive = 1;
        SetSessionTimeout(session, kTimeoutSeconds);
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", peer.port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
        ASSERT_TRUE(SecureControlConnection(session)) << Joined(log.TakeTexts());
        ASSERT_TRUE(Login(session)) << Joined(log.TakeTexts());
        ASSERT_TRUE(ProtectDataConnections(session)) << Joined(log.TakeTexts());
        ListingCache cache;
        SessionCommand list;
        list.text = "/";
        list.b = kListRefresh;
        int32_t root = -1;
        ASSERT_EQ(listDirectory(session, cache, list, &root), 226) << Joined(log.TakeTexts());

        const auto start = std::chrono::steady_clock::now();
        SessionCommand transfer;
        transfer.c = root;
        if (row.upload) {
            WriteFileBytes(local.path("file.bin"), bytes);
            transfer.b = makeTransferFlags(TransferType::Image, false, 3);
            transfer.object =
                std::make_unique<NameList>(std::vector<std::string>{local.path("file.bin")});
            EXPECT_EQ(putFiles(session, cache, transfer), row.code);
        } else {
            fs::create_directories(local.path("down"));
            transfer.b = makeTransferFlags(TransferType::Image, false, 0);
            transfer.text = local.path("down");
            transfer.object = std::make_unique<PositionList>(
                cache, root, std::vector<int32_t>{cache.FindEntry(root, "file.bin")});
            EXPECT_EQ(getFiles(session, cache, transfer), row.code);
        }
        FtpReply reply;
        if (SendCommand(session, "QUIT")) {
            (void)ReadReply(session, reply, false);
        }
        session.control.Close();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        ASSERT_TRUE(peer.Wait());

        std::vector<std::string> lines = log.TakeTexts();
        ExpectInOrder(lines, row.lines);
        EXPECT_EQ(observer.outcome.load(), row.outcome) << Joined(lines);
        // Each close_notify waited for at most the time-out: the data connection's, the
        // control connection's.
        EXPECT_LE(seconds, 2 * kTimeoutSeconds + 2);
        EXPECT_FALSE(peer.renegotiated());
        EXPECT_EQ(peer.error(), "");
        if (row.upload) {
            EXPECT_EQ(peer.uploaded(), bytes);
        } else {
            // What came stays for a resumption, with no time that would pass for up to date.
            EXPECT_EQ(ReadFileBytes(local.path("down/file.bin")), half);
            EXPECT_EQ(test::FileTime(local.path("down/file.bin")), 0);
            EXPECT_EQ(restart.GetRestartPending(), 1u);
        }
    }
}

// A session through an FTP proxy, driven on the test's thread in the order the session runs
// its steps; the proxy is at 127.0.0.1 (`proxyPort`), the site at 127.0.0.1 (`sitePort`).
std::shared_ptr<SessionWorker> ProxiedSession(uint16_t proxyPort, uint16_t sitePort,
                                              platform::RegistryFile& store) {
    SessionRequest request;
    request.scheme = "ftpes";
    request.user = FtpServer::kUser;
    request.password = FtpServer::kPassword;
    request.host = "127.0.0.1";
    request.port = std::to_string(sitePort);
    SessionOptions options;
    options.passive = true;  // which an FTP proxy turns into active mode
    options.proxySetting = "127.0.0.1:" + std::to_string(proxyPort);
    options.proxyType = kProxyFtp;
    options.restart = false;
    options.certificateStore = &store;
    options.timeoutSeconds = 20;
    std::shared_ptr<SessionWorker> session = CreateSession(request, std::move(options));
    if (session != nullptr && session->control.Create() && session->control.SetBuffer(4096) &&
        ConnectControl(*session)) {
        return session;
    }
    return nullptr;
}

// An FTP proxy answers AUTH TLS itself and reaches the site in plain FTP: the certificate
// checked is the proxy's, the login names the site, and every transfer goes in active mode
// (PORT to the proxy, which connects back in TLS as the server, the client resuming its
// session). A listing, a download and an upload, each byte for byte, against both servers.
TEST(TlsThroughAnFtpProxy, ListDownloadAndUploadByteForByte) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    const std::string down = test::RandomBytes(1024 * 1024 + 11, 7);
    const std::string up = test::RandomBytes(1024 * 1024 + 5, 8);
    struct Row {
        const char* name;
        FtpServerKind site;
        // The proxy's certificate: issued for 127.0.0.1 by the test authority, which is then
        // the trust store; else self-signed, its fingerprint trusted under the proxy's name
        // and port.
        bool fromAuthority;
    };
    const Row rows[] = {
        {"pyftpdlib site, proxy certificate from the trust store", FtpServerKind::PyFtpd, true},
        {"vsftpd site, proxy certificate trusted by its fingerprint", FtpServerKind::Vsftpd, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto site = test::StartFtpServer(row.site);
        ASSERT_TRUE(site->started()) << site->problem();
        ASSERT_TRUE(site->PutFile("down.bin", down));
        FtpProxyPeer proxy(row.fromAuthority ? certificates.issuedForLoopback()
                                             : certificates.selfSigned());
        ASSERT_TRUE(proxy.Start()) << proxy.error();
        const std::string proxyName = "127.0.0.1:" + std::to_string(proxy.port());
        const std::string siteName = "127.0.0.1:" + std::to_string(site->port());
        test::TempFolder local;
        platform::RegistryFile store(local.path("registry.reg"));
        if (!row.fromAuthority) {
            ASSERT_TRUE(TrustFingerprint(store, proxyName, certificates.selfSignedFingerprint()));
        }
        TrustStoreFile trust(row.fromAuthority ? certificates.authority() : "");
        test::LogCapture log;

        std::shared_ptr<SessionWorker> session = ProxiedSession(proxy.port(), site->port(), store);
        ASSERT_NE(session, nullptr) << Joined(log.TakeTexts());
        ASSERT_TRUE(Login(*session) && ProtectDataConnections(*session))
            << Joined(log.TakeTexts()) << proxy.error() << site->output();
        EXPECT_EQ(session->certificateServer, proxyName);
        AskFeatures(*session);
        ListingCache cache;
        SessionCommand list;
        list.text = "/";
        list.b = kListRefresh;
        int32_t root = -1;
        ASSERT_EQ(listDirectory(*session, cache, list, &root), 226)
            << Joined(log.TakeTexts()) << proxy.error();
        ASSERT_GE(cache.FindEntry(root, "down.bin"), 0) << "the site's listing";

        fs::create_directories(local.path("down"));
        SessionCommand get;
        get.b = makeTransferFlags(TransferType::Image, false, 0);
        get.text = local.path("down");
        get.c = root;
        get.object = std::make_unique<PositionList>(
            cache, root, std::vector<int32_t>{cache.FindEntry(root, "down.bin")});
        EXPECT_EQ(getFiles(*session, cache, get), 226) << proxy.error() << site->output();
        EXPECT_TRUE(ReadFileBytes(local.path("down/down.bin")) == down) << "not the file's bytes";

        WriteFileBytes(local.path("up.bin"), up);
        SessionCommand put;
        put.b = makeTransferFlags(TransferType::Image, false, 3);
        put.c = root;
        put.object = std::make_unique<NameList>(std::vector<std::string>{local.path("up.bin")});
        EXPECT_EQ(putFiles(*session, cache, put), 226) << proxy.error() << site->output();
        EXPECT_TRUE(ReadFileBytes(site->path("up.bin")) == up) << "not the file's bytes";

        FtpReply reply;
        ASSERT_TRUE(SendCommand(*session, "QUIT"));
        EXPECT_EQ(ReadReply(*session, reply, false), 221);
        session->control.Close();
        ASSERT_TRUE(proxy.Wait());
        EXPECT_EQ(proxy.error(), "");
        EXPECT_EQ(proxy.resumedDataConnections(), 3);

        std::vector<std::string> lines = log.TakeTexts();
        std::vector<std::string> order = {
            "... using proxy connection on [" + proxyName + "] for CONTROL",
            "<AUTH TLS",
            ">234",
            "TLS",
            "<USER qvexftp@" + siteName,
            "... user qvexftp logged in",
            "<PBSZ 0",
            "<PROT P",
            "!!! PASSIVE not valid with FTP proxy server; using PORT",
            "<PORT 127,0,0,1,",
            "Accepted connection on [127.0.0.1:"};
        if (!row.fromAuthority) {
            order.insert(order.begin() + 3, "... certificate trusted by its fingerprint");
        }
        ExpectInOrder(lines, order);
        EXPECT_EQ(CountPrefix(lines, "!!! PASSIVE"), 1u) << Joined(lines);
        EXPECT_EQ(CountPrefix(lines, "*** "), 0u) << Joined(lines);
        EXPECT_EQ(CountPrefix(lines, "@@@ "), 0u) << Joined(lines);

        // What reached the proxy: TLS first, the site in the user name, and a PORT of ours
        // right before each transfer command.
        const std::vector<std::string> wire = proxy.commands();
        ASSERT_GE(wire.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(wire.begin(), wire.begin() + 5),
                  (std::vector<std::string>{"AUTH TLS", "USER qvexftp@" + siteName,
                                            std::string("PASS ") + FtpServer::kPassword, "PBSZ 0",
                                            "PROT P"}));
        EXPECT_EQ(wire.back(), "QUIT");
        size_t transfers = 0;
        for (size_t at = 1; at < wire.size(); ++at) {
            const std::string verb = wire[at].substr(0, 4);
            if (verb == "LIST" || verb == "MLSD" || verb == "RETR" || verb == "STOR") {
                ++transfers;
                EXPECT_EQ(wire[at - 1].rfind("PORT 127,0,0,1,", 0), 0u) << wire[at];
            }
            EXPECT_TRUE(verb != "PASV" && verb != "EPSV") << wire[at];
        }
        EXPECT_EQ(transfers, 3u) << Joined(wire);
    }
}

// A proxy that refuses AUTH TLS under "Require explicit TLS" gets no user name: neither the
// user's nor the site's.
TEST(TlsThroughAnFtpProxy, RefusedAuthSendsNoUserName) {
    TestCertificates certificates;
    ASSERT_TRUE(certificates.made()) << certificates.problem();
    FtpProxyPeer proxy(certificates.selfSigned(), true);
    ASSERT_TRUE(proxy.Start()) << proxy.error();
    test::TempFolder local;
    platform::RegistryFile store(local.path("registry.reg"));
    test::LogCapture log;
    std::shared_ptr<SessionWorker> session = ProxiedSession(proxy.port(), 2121, store);
    ASSERT_NE(session, nullptr) << Joined(log.TakeTexts());
    EXPECT_FALSE(Login(*session));
    session->control.Close();
    ASSERT_TRUE(proxy.Wait());
    EXPECT_EQ(proxy.commands(), (std::vector<std::string>{"AUTH TLS", "QUIT"}));
    ExpectInOrder(log.TakeTexts(),
                  {"<AUTH TLS", ">502 AUTH not available here",
                   "*** AUTH TLS refused; TLS is required for this host", "<QUIT"});
}

}  // namespace
}  // namespace qvex
