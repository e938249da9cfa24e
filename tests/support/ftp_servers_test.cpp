#include "tests/support/ftp_servers.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/tcp_socket.h"
#include "tests/support/tcp_relay.h"
#include "tests/support/temp_env.h"

namespace qvex::test {
namespace {

using namespace std::string_literals;

// CR LF, NUL and high bytes show that TYPE I moves bytes unchanged.
const std::string kHello = "0123456789\r\n\0\xff tail"s;
const std::string kUpload = "upload\r\n\0\x80\xfe\xff done\n"s;

// Large enough to take seconds at kRate; random, so that a piece in the wrong place shows.
const std::string kBig = RandomBytes(256 * 1024, 11);
constexpr uint64_t kRate = 64 * 1024;
// kBig at kRate takes about 4 s; anything under this was not held back.
constexpr auto kSlowest = std::chrono::seconds(1);
// How long a test waits for something a server does at once.
constexpr auto kPatience = std::chrono::seconds(20);

using Clock = std::chrono::steady_clock;

struct ServerRow {
    const char* name;
    FtpServerKind kind;
    const char* greeting;
    // The reply to USER anonymous.
    int anonymousUserCode;
};

void PrintTo(const ServerRow& row, std::ostream* out) {
    *out << row.name;
}

const ServerRow kServers[] = {
    {"pyftpdlib", FtpServerKind::PyFtpd, "220 Qvex test pyftpdlib ready.", 331},
    {"vsftpd", FtpServerKind::Vsftpd, "220 Qvex test vsftpd ready.", 230},
};

struct LoginRow {
    const char* user;
    const char* password;
};

const LoginRow kLogins[] = {
    {FtpServer::kAnonymousUser, "guest@example.org"},
    {FtpServer::kUser, FtpServer::kPassword},
};

int Code(const std::string& reply) {
    if (reply.size() < 4 || reply[3] != ' ') {
        return -1;
    }
    return std::atoi(reply.substr(0, 3).c_str());
}

// An FTP control connection over the engine's socket.
class Control {
  public:
    [[nodiscard]] bool Open(uint16_t port) {
        return socket.Create() && socket.Connect("127.0.0.1", port) && socket.SetBuffer(4096);
    }
    // The last line of the next reply: "123-First line" ... "123 Last line" (RFC 959 4.2).
    std::string Reply() {
        char line[TcpSocket::kLineBufferSize];
        int length = socket.ReadLine(line);
        if (length < 0) {
            return "<ReadLine " + std::to_string(length) + ">";
        }
        std::string text(line, static_cast<size_t>(length));
        if (text.size() >= 4 && text[3] == '-') {
            const std::string last = text.substr(0, 3) + " ";
            do {
                length = socket.ReadLine(line);
                if (length < 0) {
                    return "<ReadLine " + std::to_string(length) + ">";
                }
                text.assign(line, static_cast<size_t>(length));
            } while (text.compare(0, 4, last) != 0);
        }
        return text;
    }
    std::string Command(const std::string& command) {
        if (socket.SendLine(command.c_str()) < 0) {
            return "<SendLine failed: " + std::string(WsaErrorName()) + ">";
        }
        return Reply();
    }

    TcpSocket socket;
};

// Everything the peer sends until it closes.
std::string ReadToEnd(TcpSocket& data) {
    std::string bytes;
    if (!data.SetBuffer(4096)) {
        return "<SetBuffer failed>";
    }
    for (;;) {
        long got = data.Fill();
        if (got == -2) {
            return bytes;
        }
        if (got < 0) {
            return bytes + "<Fill failed: " + WsaErrorName() + ">";
        }
        bytes.append(data.buffer(), static_cast<size_t>(got));
    }
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// The listing line of `name`, split into words; empty when the listing has none.
std::vector<std::string> ListingEntry(const std::string& listing, const std::string& name) {
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::vector<std::string> words = Words(line);
        if (!words.empty() && words.back() == name) {
            return words;
        }
    }
    return {};
}

// Appends what the peer sends until it closes or the connection breaks (a buffer set).
void ReadUntilBroken(TcpSocket& data, std::string& bytes) {
    for (long got = data.Fill(); got > 0; got = data.Fill()) {
        bytes.append(data.buffer(), static_cast<size_t>(got));
    }
}

// Whether the peer sent something or ended the connection within kPatience, so that a
// read that would wait for a server that should have gone fails instead of hanging.
bool Answers(const TcpSocket& socket) {
    // A handle is the socket's descriptor plus one (platform/socket.h).
    pollfd wait{socket.handle() - 1, POLLIN, 0};
    const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(kPatience);
    return ::poll(&wait, 1, static_cast<int>(bound.count())) == 1;
}

// The size of a file, -1 when it is missing.
long long FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

class FtpServersTest : public ::testing::TestWithParam<ServerRow> {
  protected:
    void SetUp() override {
        if (!Start()) {
            GTEST_SKIP() << server_->problem();
        }
        ASSERT_TRUE(server_->PutFile("hello.bin", kHello));
    }

    // Replaces server_ with a new one; false when it could not be started.
    [[nodiscard]] bool Start(const FtpServerOptions& options = {}) {
        server_ = StartFtpServer(GetParam().kind, options);
        return server_->started();
    }

    // Sends `command` and checks the code of the reply, which goes to `reply`.
    void Expect(Control& control, const std::string& command, int code,
                std::string* reply = nullptr) {
        std::string text = control.Command(command);
        if (reply != nullptr) {
            *reply = text;
        }
        ASSERT_EQ(Code(text), code) << command << " -> " << text << "\n" << server_->output();
    }

    // The reply that starts a transfer: 150, or 125 over a connection already open.
    void ExpectTransferStart(Control& control, const std::string& command) {
        std::string text = control.Command(command);
        ASSERT_TRUE(Code(text) == 150 || Code(text) == 125) << command << " -> " << text << "\n"
                                                            << server_->output();
    }

    void ExpectTransferEnd(Control& control) {
        std::string text = control.Reply();
        ASSERT_EQ(Code(text), 226) << text << "\n" << server_->output();
    }

    // To the server, or to a relay in front of it.
    void Connect(Control& control, uint16_t port = 0) {
        ASSERT_TRUE(control.Open(port != 0 ? port : server_->port())) << WsaErrorName();
        std::string greeting = control.Reply();
        ASSERT_EQ(greeting, GetParam().greeting) << server_->output();
    }

    void LogIn(Control& control, const LoginRow& login, uint16_t port = 0) {
        ASSERT_NO_FATAL_FAILURE(Connect(control, port));
        const bool anonymous = std::string(login.user) == FtpServer::kAnonymousUser;
        const int userCode = anonymous ? GetParam().anonymousUserCode : 331;
        ASSERT_NO_FATAL_FAILURE(Expect(control, std::string("USER ") + login.user, userCode));
        if (userCode == 331) {
            ASSERT_NO_FATAL_FAILURE(Expect(control, std::string("PASS ") + login.password, 230));
        }
    }

    // PASV, then a data connection to the address of the 227 reply.
    void OpenPassive(Control& control, TcpSocket& data) {
        std::string reply;
        ASSERT_NO_FATAL_FAILURE(Expect(control, "PASV", 227, &reply));
        // 227 Entering Passive Mode (127,0,0,1,97,224).
        size_t open = reply.find('(');
        ASSERT_NE(open, std::string::npos) << reply;
        unsigned h1 = 0, h2 = 0, h3 = 0, h4 = 0, p1 = 0, p2 = 0;
        ASSERT_EQ(std::sscanf(reply.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4,
                              &p1, &p2),
                  6)
            << reply;
        EXPECT_EQ(std::to_string(h1) + "." + std::to_string(h2) + "." + std::to_string(h3) + "." +
                      std::to_string(h4),
                  "127.0.0.1");
        const unsigned port = p1 * 256 + p2;
        EXPECT_GE(port, server_->passivePortMin()) << reply;
        EXPECT_LE(port, server_->passivePortMax()) << reply;
        ASSERT_TRUE(data.Create());
        ASSERT_TRUE(data.Connect("127.0.0.1", static_cast<uint16_t>(port))) << WsaErrorName();
    }

    // A listening socket offered to the server with PORT 127,0,0,1,...
    void OfferActive(Control& control, TcpSocket& listener) {
        ASSERT_TRUE(listener.Create());
        ASSERT_TRUE(listener.Listen());
        uint32_t address = 0;
        uint16_t port = 0;
        ASSERT_TRUE(listener.LocalAddress(&address, &port));
        ASSERT_NE(port, 0);
        ASSERT_NO_FATAL_FAILURE(Expect(
            control,
            "PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256),
            200));
    }

    // RETR through a passive connection in a session of its own, after REST `offset`
    // unless it is 0.
    void Retrieve(const std::string& name, std::string& bytes, const LoginRow& login = kLogins[1],
                  size_t offset = 0) {
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, login));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
        TcpSocket data;
        ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
        if (offset != 0) {
            ASSERT_NO_FATAL_FAILURE(Expect(control, "REST " + std::to_string(offset), 350));
        }
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "RETR " + name));
        bytes = ReadToEnd(data);
        data.Close();
        ASSERT_NO_FATAL_FAILURE(ExpectTransferEnd(control));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    }

    // STOR of `bytes` by the account in a session of its own, after REST `offset` unless it
    // is 0.
    void Store(const std::string& name, const std::string& bytes, size_t offset = 0) {
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1]));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
        TcpSocket data;
        ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
        if (offset != 0) {
            ASSERT_NO_FATAL_FAILURE(Expect(control, "REST " + std::to_string(offset), 350));
        }
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "STOR " + name));
        ASSERT_EQ(data.SendAll(bytes.data(), static_cast<long>(bytes.size())),
                  static_cast<long>(bytes.size()));
        data.Close();
        ASSERT_NO_FATAL_FAILURE(ExpectTransferEnd(control));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    }

    // After Kill: the session's control connection has ended and the port is dead.
    void ExpectGone(Control& control, uint16_t port) {
        char line[TcpSocket::kLineBufferSize];
        ASSERT_TRUE(Answers(control.socket)) << "the session goes on\n" << server_->output();
        EXPECT_LT(control.socket.ReadLine(line), 0) << line << "\n" << server_->output();
        TcpSocket socket;
        ASSERT_TRUE(socket.Create());
        EXPECT_FALSE(socket.Connect("127.0.0.1", port));
    }

    void ExpectHelloListed(const std::string& listing) {
        // -rw-r--r--   1 root     root           19 Dec 07 05:36 hello.bin
        std::vector<std::string> words = ListingEntry(listing, "hello.bin");
        ASSERT_EQ(words.size(), 9u) << listing;
        EXPECT_EQ(words[0], "-rw-r--r--") << listing;
        EXPECT_EQ(words[4], std::to_string(kHello.size())) << listing;
    }

    TempEnv env_;  // the servers inherit it: nothing of theirs reaches the real home
    std::unique_ptr<FtpServer> server_;
};

TEST_P(FtpServersTest, GreetsAndSaysGoodbye) {
    EXPECT_EQ(server_->greeting(), GetParam().greeting);
    EXPECT_EQ(server_->name(), GetParam().name);
    Control control;
    ASSERT_NO_FATAL_FAILURE(Connect(control));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    char line[TcpSocket::kLineBufferSize];
    EXPECT_EQ(control.socket.ReadLine(line), -2);
}

TEST_P(FtpServersTest, AnonymousNeedsAPasswordAsTheFixtureSays) {
    EXPECT_EQ(server_->anonymousAsksPassword(), GetParam().anonymousUserCode == 331);
}

TEST_P(FtpServersTest, BothLoginsAreRootedInTheFolder) {
    for (const LoginRow& login : kLogins) {
        SCOPED_TRACE(login.user);
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, login));
        std::string reply;
        ASSERT_NO_FATAL_FAILURE(Expect(control, "SYST", 215, &reply));
        EXPECT_EQ(reply, "215 UNIX Type: L8");
        ASSERT_NO_FATAL_FAILURE(Expect(control, "PWD", 257, &reply));
        EXPECT_EQ(reply.substr(0, 8), "257 \"/\" ") << reply;
        // Going up from "/" stays in the folder.
        ASSERT_NO_FATAL_FAILURE(Expect(control, "CDUP", 250));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "PWD", 257, &reply));
        EXPECT_EQ(reply.substr(0, 8), "257 \"/\" ") << reply;
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    }
}

TEST_P(FtpServersTest, RefusesAWrongPassword) {
    Control control;
    ASSERT_NO_FATAL_FAILURE(Connect(control));
    ASSERT_NO_FATAL_FAILURE(Expect(control, std::string("USER ") + FtpServer::kUser, 331));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "PASS not-the-password", 530));
}

TEST_P(FtpServersTest, ListsThroughPassiveMode) {
    for (const LoginRow& login : kLogins) {
        SCOPED_TRACE(login.user);
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, login));
        TcpSocket data;
        ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "LIST"));
        std::string listing = ReadToEnd(data);
        data.Close();
        ASSERT_NO_FATAL_FAILURE(ExpectTransferEnd(control));
        ASSERT_NO_FATAL_FAILURE(ExpectHelloListed(listing));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    }
}

TEST_P(FtpServersTest, ListsThroughActiveMode) {
    for (const LoginRow& login : kLogins) {
        SCOPED_TRACE(login.user);
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, login));
        TcpSocket listener;
        ASSERT_NO_FATAL_FAILURE(OfferActive(control, listener));
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "LIST"));
        TcpSocket data;
        ASSERT_TRUE(listener.Accept(data)) << WsaErrorName();
        char peer[platform::kAddressTextSize];
        uint16_t peerPort = 0;
        ASSERT_TRUE(data.PeerAddress(peer, &peerPort));
        EXPECT_STREQ(peer, "127.0.0.1");
        std::string listing = ReadToEnd(data);
        data.Close();
        ASSERT_NO_FATAL_FAILURE(ExpectTransferEnd(control));
        ASSERT_NO_FATAL_FAILURE(ExpectHelloListed(listing));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    }
}

TEST_P(FtpServersTest, RetrievesTheRestAfterRest) {
    for (const LoginRow& login : kLogins) {
        SCOPED_TRACE(login.user);
        std::string bytes;
        ASSERT_NO_FATAL_FAILURE(Retrieve("hello.bin", bytes, login, 3));
        EXPECT_EQ(bytes, kHello.substr(3));
    }
}

TEST_P(FtpServersTest, AccountStoresNewAndPutFiles) {
    ASSERT_TRUE(server_->PutFile("sub/old.bin", "old bytes"));
    const char* rows[] = {"upload.bin", "sub/old.bin"};
    Control control;
    ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1]));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
    for (const char* name : rows) {
        SCOPED_TRACE(name);
        TcpSocket data;
        ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, std::string("STOR ") + name));
        ASSERT_EQ(data.SendAll(kUpload.data(), static_cast<long>(kUpload.size())),
                  static_cast<long>(kUpload.size()));
        data.Close();
        ASSERT_NO_FATAL_FAILURE(ExpectTransferEnd(control));
        EXPECT_EQ(ReadFileBytes(server_->path(name)), kUpload);
    }
    ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
}

TEST_P(FtpServersTest, AnonymousCannotStore) {
    Control control;
    ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[0]));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "STOR anonymous.bin", 550));
    EXPECT_FALSE(FileExists(server_->path("anonymous.bin")));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
}

TEST_P(FtpServersTest, OutputHasTheConversation) {
    Control control;
    ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[0]));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "NOOP", 200));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    const std::string output = server_->output();
    EXPECT_NE(output.find("NOOP"), std::string::npos) << output;
}

TEST_P(FtpServersTest, StopsAndEndsSessionsOnDestruction) {
    Control control;
    ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1]));
    const uint16_t port = server_->port();
    server_.reset();
    // A session that survived would answer.
    static_cast<void>(control.socket.SendLine("NOOP"));
    char line[TcpSocket::kLineBufferSize];
    EXPECT_LT(control.socket.ReadLine(line), 0) << line;
    TcpSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", port));
}

TEST_P(FtpServersTest, ThrottledTransfersTakeTheirTime) {
    ASSERT_TRUE(Start({"", kRate})) << server_->problem();
    ASSERT_TRUE(server_->PutFile("big.bin", kBig));
    {
        SCOPED_TRACE("download");
        const auto start = Clock::now();
        std::string bytes;
        ASSERT_NO_FATAL_FAILURE(Retrieve("big.bin", bytes));
        EXPECT_GT(Clock::now() - start, kSlowest);
        EXPECT_TRUE(bytes == kBig) << bytes.size() << " bytes";
    }
    {
        SCOPED_TRACE("upload");
        // The system takes much of the upload at once; the end of the transfer (226) shows
        // when the server had read it all.
        const auto start = Clock::now();
        ASSERT_NO_FATAL_FAILURE(Store("up.bin", kBig));
        EXPECT_GT(Clock::now() - start, kSlowest);
        EXPECT_TRUE(ReadFileBytes(server_->path("up.bin")) == kBig);
    }
}

TEST_P(FtpServersTest, KillBreaksADownloadInTheMiddle) {
    ASSERT_TRUE(Start({"", kRate})) << server_->problem();
    ASSERT_TRUE(server_->PutFile("big.bin", kBig));
    Control control;
    ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1]));
    ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
    TcpSocket data;
    ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
    ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "RETR big.bin"));
    ASSERT_TRUE(data.SetBuffer(4096));
    const long first = data.Fill();
    ASSERT_GT(first, 0) << WsaErrorName();
    std::string bytes(data.buffer(), static_cast<size_t>(first));

    const uint16_t port = server_->port();
    server_->Kill();
    ReadUntilBroken(data, bytes);
    EXPECT_LT(bytes.size(), kBig.size());
    EXPECT_TRUE(kBig.compare(0, bytes.size(), bytes) == 0) << "not the file's first bytes";
    ASSERT_NO_FATAL_FAILURE(ExpectGone(control, port));
}

TEST_P(FtpServersTest, ANewServerResumesAnUploadTheKilledOneBroke) {
    TempFolder served;
    ASSERT_TRUE(Start({served.root(), kRate})) << server_->problem();
    EXPECT_EQ(server_->root(), served.root());
    const size_t sent = kBig.size() / 2;
    {
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1]));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
        TcpSocket data;
        ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "STOR part.bin"));
        ASSERT_EQ(data.SendAll(kBig.data(), static_cast<long>(sent)), static_cast<long>(sent));
        const auto deadline = Clock::now() + kPatience;
        while (FileSize(served.path("part.bin")) <= 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const uint16_t port = server_->port();
        server_->Kill();
        ASSERT_NO_FATAL_FAILURE(ExpectGone(control, port));
    }
    const std::string part = ReadFileBytes(served.path("part.bin"));
    ASSERT_GT(part.size(), 0u) << server_->output();
    ASSERT_LE(part.size(), sent);
    ASSERT_TRUE(kBig.compare(0, part.size(), part) == 0) << "not the file's first bytes";

    ASSERT_TRUE(Start({served.root()})) << server_->problem();
    {
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1]));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
        std::string reply;
        ASSERT_NO_FATAL_FAILURE(Expect(control, "SIZE part.bin", 213, &reply));
        EXPECT_EQ(reply, "213 " + std::to_string(part.size()));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
    }
    ASSERT_NO_FATAL_FAILURE(Store("part.bin", kBig.substr(part.size()), part.size()));
    std::string bytes;
    ASSERT_NO_FATAL_FAILURE(Retrieve("part.bin", bytes));
    EXPECT_TRUE(bytes == kBig) << bytes.size() << " bytes";

    // The folder is the caller's: it outlives the servers.
    server_.reset();
    EXPECT_TRUE(ReadFileBytes(served.path("part.bin")) == kBig);
}

TEST_P(FtpServersTest, ServesAGivenFolderWithWhatItHolds) {
    TempFolder served;
    WriteFileBytes(served.path("sub/given.bin"), kHello);
    ASSERT_TRUE(Start({served.root() + "/"})) << server_->problem();
    EXPECT_EQ(server_->root(), served.root());
    for (const LoginRow& login : kLogins) {
        SCOPED_TRACE(login.user);
        std::string bytes;
        ASSERT_NO_FATAL_FAILURE(Retrieve("sub/given.bin", bytes, login));
        EXPECT_EQ(bytes, kHello);
    }
    // What the caller wrote is the account's to replace.
    ASSERT_NO_FATAL_FAILURE(Store("sub/given.bin", kUpload));
    EXPECT_EQ(ReadFileBytes(served.path("sub/given.bin")), kUpload);
}

TEST_P(FtpServersTest, DoesNotStartOnAMissingFolder) {
    TempFolder parent;
    const std::string missing = parent.path("missing");
    EXPECT_FALSE(Start({missing}));
    EXPECT_NE(server_->problem().find(missing), std::string::npos) << server_->problem();
}

TEST_P(FtpServersTest, RelayCarriesAControlConnectionUntilCut) {
    const struct {
        const char* name;
        TcpRelay::Ending ending;
        int readLine;  // what ReadLine says once the relay has cut the connection
    } rows[] = {
        {"reset", TcpRelay::Ending::Reset, -1},
        {"close", TcpRelay::Ending::Close, -2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TcpRelay relay(server_->port());
        ASSERT_TRUE(relay.listening()) << relay.problem();
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, kLogins[1], relay.port()));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "NOOP", 200));
        const std::string sent =
            "USER "s + FtpServer::kUser + "\r\nPASS " + FtpServer::kPassword + "\r\nNOOP\r\n";
        EXPECT_EQ(relay.bytesToTarget(), sent.size());
        // The greeting, "331", "230" and "200" at least.
        EXPECT_GT(relay.bytesFromTarget(), server_->greeting().size() + 3 * 6);
        EXPECT_EQ(relay.connectionCount(), 1u);

        relay.Cut(row.ending);
        char line[TcpSocket::kLineBufferSize];
        ASSERT_TRUE(Answers(control.socket));
        EXPECT_EQ(control.socket.ReadLine(line), row.readLine);

        // The server behind the relay goes on, through the relay too.
        Control again;
        ASSERT_NO_FATAL_FAILURE(LogIn(again, kLogins[0], relay.port()));
        ASSERT_NO_FATAL_FAILURE(Expect(again, "QUIT", 221));
        EXPECT_EQ(relay.connectionCount(), 2u);
        EXPECT_EQ(again.socket.ReadLine(line), -2);
    }
}

TEST_P(FtpServersTest, RelayResetsWhatTheTargetRefuses) {
    const uint16_t port = server_->port();
    TcpRelay relay(port);
    ASSERT_TRUE(relay.listening()) << relay.problem();
    server_.reset();
    Control control;
    ASSERT_TRUE(control.Open(relay.port())) << WsaErrorName();
    char line[TcpSocket::kLineBufferSize];
    ASSERT_TRUE(Answers(control.socket));
    EXPECT_EQ(control.socket.ReadLine(line), -1);
    EXPECT_EQ(relay.connectionCount(), 1u);
}

std::string ServerName(const ::testing::TestParamInfo<ServerRow>& row) {
    return row.param.name;
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpServersTest, ::testing::ValuesIn(kServers), ServerName);

}  // namespace
}  // namespace qvex::test
