#include "tests/support/ftp_servers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/tcp_socket.h"
#include "tests/support/temp_env.h"

namespace qvex::test {
namespace {

using namespace std::string_literals;

// CR LF, NUL and high bytes show that TYPE I moves bytes unchanged.
const std::string kHello = "0123456789\r\n\0\xff tail"s;
const std::string kUpload = "upload\r\n\0\x80\xfe\xff done\n"s;

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

class FtpServersTest : public ::testing::TestWithParam<ServerRow> {
  protected:
    void SetUp() override {
        server_ = StartFtpServer(GetParam().kind);
        if (!server_->started()) {
            GTEST_SKIP() << server_->problem();
        }
        ASSERT_TRUE(server_->PutFile("hello.bin", kHello));
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

    void Connect(Control& control) {
        ASSERT_TRUE(control.Open(server_->port())) << WsaErrorName();
        std::string greeting = control.Reply();
        ASSERT_EQ(greeting, GetParam().greeting) << server_->output();
    }

    void LogIn(Control& control, const LoginRow& login) {
        ASSERT_NO_FATAL_FAILURE(Connect(control));
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
        char peer[16];
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
        Control control;
        ASSERT_NO_FATAL_FAILURE(LogIn(control, login));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "TYPE I", 200));
        TcpSocket data;
        ASSERT_NO_FATAL_FAILURE(OpenPassive(control, data));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "REST 3", 350));
        ASSERT_NO_FATAL_FAILURE(ExpectTransferStart(control, "RETR hello.bin"));
        EXPECT_EQ(ReadToEnd(data), kHello.substr(3));
        data.Close();
        ASSERT_NO_FATAL_FAILURE(ExpectTransferEnd(control));
        ASSERT_NO_FATAL_FAILURE(Expect(control, "QUIT", 221));
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

std::string ServerName(const ::testing::TestParamInfo<ServerRow>& row) {
    return row.param.name;
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpServersTest, ::testing::ValuesIn(kServers), ServerName);

}  // namespace
}  // namespace qvex::test
