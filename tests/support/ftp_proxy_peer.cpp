#include "tests/support/ftp_proxy_peer.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "tests/support/peer_sockets.h"

namespace qvex::test {
namespace {

// One end of a connection: TLS over `fd` when `tls` is set.
struct Link {
    int fd = -1;
    SSL* tls = nullptr;
};

// Bytes read; 0 at an orderly end (a TLS end must come with close_notify); -1 on failure.
long Receive(const Link& link, char* bytes, size_t size) {
    if (link.tls == nullptr) {
        return static_cast<long>(::recv(link.fd, bytes, size, 0));
    }
    size_t got = 0;
    if (SSL_read_ex(link.tls, bytes, size, &got) == 1) {
        return static_cast<long>(got);
    }
    return SSL_get_error(link.tls, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

bool Send(const Link& link, std::string_view bytes) {
    while (!bytes.empty()) {
        size_t sent = 0;
        if (link.tls != nullptr) {
            if (SSL_write_ex(link.tls, bytes.data(), bytes.size(), &sent) != 1) {
                return false;
            }
        } else {
            const ssize_t count = ::send(link.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (count <= 0) {
                return false;
            }
            sent = static_cast<size_t>(count);
        }
        bytes.remove_prefix(sent);
    }
    return true;
}

// The next line without its line end; false when the connection ended first.
bool ReadLine(const Link& link, std::string& input, std::string* line) {
    size_t end;
    while ((end = input.find('\n')) == std::string::npos) {
        char bytes[512];
        const long got = Receive(link, bytes, sizeof bytes);
        if (got <= 0) {
            return false;
        }
        input.append(bytes, static_cast<size_t>(got));
    }
    *line = input.substr(0, end);
    input.erase(0, end + 1);
    if (!line->empty() && line->back() == '\r') {
        line->pop_back();
    }
    return true;
}

// A whole reply (multi-line ones to their "ddd " line), each line ending in CR LF; its code,
// or 0 when the connection ended first.
int ReadReply(const Link& link, std::string& input, std::string* reply) {
    reply->clear();
    std::string line;
    if (!ReadLine(link, input, &line) || line.size() < 3) {
        return 0;
    }
    const std::string code = line.substr(0, 3);
    *reply = line + "\r\n";
    if (line.size() > 3 && line[3] == '-') {
        do {
            if (!ReadLine(link, input, &line)) {
                return 0;
            }
            *reply += line + "\r\n";
        } while (line.compare(0, 4, code + " ") != 0);
    }
    return std::isdigit(static_cast<unsigned char>(code[0])) != 0 ? std::stoi(code) : 0;
}

// "h1,h2,h3,h4,p1,p2" as in PORT and the 227 reply, from the first digit of `text` on.
bool ParseHostPort(std::string_view text, std::string* dotted, uint16_t* port) {
    const size_t first = text.find_first_of("0123456789");
    if (first == std::string_view::npos) {
        return false;
    }
    const std::string numbers(text.substr(first));
    std::array<unsigned, 6> part{};
    if (std::sscanf(numbers.c_str(), "%u,%u,%u,%u,%u,%u", &part[0], &part[1], &part[2], &part[3],
                    &part[4], &part[5]) != 6 ||
        std::any_of(part.begin(), part.end(), [](unsigned value) { return value > 255; })) {
        return false;
    }
    *dotted = std::to_string(part[0]) + "." + std::to_string(part[1]) + "." +
              std::to_string(part[2]) + "." + std::to_string(part[3]);
    *port = static_cast<uint16_t>(part[4] << 8 | part[5]);
    return true;
}

// Passes bytes on until `from` ends; false when a side failed or `from` ended without
// close_notify.
bool Pump(const Link& from, const Link& to) {
    std::array<char, 65536> block;
    for (;;) {
        const long got = Receive(from, block.data(), block.size());
        if (got <= 0) {
            return got == 0;
        }
        if (!Send(to, std::string_view(block.data(), static_cast<size_t>(got)))) {
            return false;
        }
    }
}

}  // namespace

struct FtpProxyPeer::Session {
    SSL_CTX* context = nullptr;
    Link client;
    std::string clientInput;
    Link site;
    std::string siteInput;
    bool protectData = false;
    // The client's last PORT, for the next transfer only.
    std::string portAddress;
    uint16_t portNumber = 0;

    ~Session() {
        SSL_free(client.tls);
        SSL_CTX_free(context);
    }
};

FtpProxyPeer::FtpProxyPeer(std::string certificate, bool refuseAuth)
    : certificate_(std::move(certificate)), refuseAuth_(refuseAuth) {}

bool FtpProxyPeer::Start() {
    return thread_.Start([this] {
        Session session;
        session.context = NewServerTlsContext(certificate_);
        if (session.context == nullptr) {
            thread_.Fail("TLS set-up");
            return;
        }
        Serve(session);
    });
}

bool FtpProxyPeer::Wait(std::chrono::seconds bound) {
    return thread_.Wait(bound);
}

std::vector<std::string> FtpProxyPeer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

int FtpProxyPeer::resumedDataConnections() const {
    std::lock_guard lock(mutex_);
    return resumed_;
}

std::string FtpProxyPeer::error() const {
    return thread_.error();
}

void FtpProxyPeer::Serve(Session& session) {
    session.client.fd = thread_.Accept(thread_.listener());
    auto reply = [&session](const std::string& text) {
        return Send(session.client, text + "\r\n");
    };
    if (session.client.fd < 0 || !reply("220 FTP proxy ready")) {
        return;
    }
    std::string line;
    while (ReadLine(session.client, session.clientInput, &line)) {
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(line);
        }
        std::string verb = line.substr(0, line.find(' '));
        std::transform(verb.begin(), verb.end(), verb.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
        bool going = true;
        if (verb == "AUTH" && (refuseAuth_ || session.client.tls != nullptr)) {
            going = reply("502 AUTH not available here");
        } else if (verb == "AUTH") {
            // The reply still goes in plain text; what follows, in TLS.
            going = reply("234 Proceed with TLS") &&
                    (session.client.tls = SSL_new(session.context)) != nullptr &&
                    SSL_set_fd(session.client.tls, session.client.fd) == 1 &&
                    SSL_accept(session.client.tls) == 1;
            if (!going) {
                thread_.Fail("control handshake");
            }
        } else if (verb == "PBSZ") {
            going = reply("200 PBSZ=0");
        } else if (verb == "PROT") {
            session.protectData = argument == "P";
            going =
                reply(session.protectData ? "200 Protection level P" : "200 Protection level C");
        } else if (verb == "PORT") {
            going = ParseHostPort(argument, &session.portAddress, &session.portNumber)
                        ? reply("200 PORT command successful")
                        : reply("501 Bad PORT argument");
        } else if (verb == "PASV" || verb == "EPSV" || verb == "EPRT") {
            going = reply("502 Only PORT through this proxy");
        } else if (verb == "QUIT") {
            std::string answer = "221 Bye\r\n";
            if (session.site.fd >= 0 && Send(session.site, line + "\r\n")) {
                (void)ReadReply(session.site, session.siteInput, &answer);
            }
            if (Send(session.client, answer) && session.client.tls != nullptr) {
                (void)SSL_shutdown(session.client.tls);
            }
            return;
        } else if (verb == "USER" && session.site.fd < 0) {
            going = OpenSite(session, argument);
        } else if (session.site.fd < 0) {
            going = reply("530 Log in with USER user@site first");
        } else if (verb == "LIST" || verb == "NLST" || verb == "MLSD" || verb == "RETR" ||
                   verb == "STOR" || verb == "APPE") {
            going = Transfer(session, line, verb == "STOR" || verb == "APPE");
        } else {
            std::string answer;
            going = Send(session.site, line + "\r\n") &&
                    ReadReply(session.site, session.siteInput, &answer) != 0 &&
                    Send(session.client, answer);
        }
        if (!going) {
            return;
        }
    }
}

bool FtpProxyPeer::OpenSite(Session& session, const std::string& argument) {
    auto reply = [&session](const std::string& text) {
        return Send(session.client, text + "\r\n");
    };
    const size_t at = argument.rfind('@');
    if (at == std::string::npos) {
        return reply("530 Log in as user@site");
    }
    std::string site = argument.substr(at + 1);
    unsigned long sitePort = 21;
    if (const size_t colon = site.rfind(':'); colon != std::string::npos) {
        sitePort = std::strtoul(site.c_str() + colon + 1, nullptr, 10);
        site.erase(colon);
    }
    std::string answer;
    if (sitePort == 0 || sitePort > 65535 ||
        (session.site.fd = thread_.Track(ConnectIpv4(site, static_cast<uint16_t>(sitePort)))) < 0 ||
        ReadReply(session.site, session.siteInput, &answer) != 220) {
        thread_.Close(session.site.fd);
        session.site.fd = -1;
        return reply("421 Site " + site + " not reached");
    }
    return Send(session.site, "USER " + argument.substr(0, at) + "\r\n") &&
           ReadReply(session.site, session.siteInput, &answer) != 0 && Send(session.client, answer);
}

bool FtpProxyPeer::Transfer(Session& session, const std::string& line, bool upload) {
    auto reply = [&session](const std::string& text) {
        return Send(session.client, text + "\r\n");
    };
    if (session.portAddress.empty()) {
        return reply("503 PORT first");
    }
    // A PORT serves one transfer.
    const std::string clientAddress = std::exchange(session.portAddress, {});
    std::string answer;
    std::string siteAddress;
    uint16_t sitePort = 0;
    if (!Send(session.site, "PASV\r\n")) {
        return false;
    }
    const int passive = ReadReply(session.site, session.siteInput, &answer);
    if (passive != 227 ||
        !ParseHostPort(answer.substr(answer.find('(') + 1), &siteAddress, &sitePort)) {
        return passive != 0 && Send(session.client, answer);
    }
    const Link siteData{thread_.Track(ConnectIpv4(siteAddress, sitePort)), nullptr};
    if (siteData.fd < 0) {
        return reply("425 The site's data port was not reached");
    }
    if (!Send(session.site, line + "\r\n") ||
        ReadReply(session.site, session.siteInput, &answer) == 0) {
        return false;
    }
    if (answer[0] != '1') {
        thread_.Close(siteData.fd);
        return Send(session.client, answer);
    }
    if (!Send(session.client, answer)) {
        return false;
    }
    Link clientData{thread_.Track(ConnectIpv4(clientAddress, session.portNumber)), nullptr};
    bool secured = clientData.fd >= 0;
    if (secured && session.protectData) {
        // The client is the TLS client on data connections, active ones too (RFC 4217).
        clientData.tls = SSL_new(session.context);
        secured = clientData.tls != nullptr && SSL_set_fd(clientData.tls, clientData.fd) == 1 &&
                  SSL_accept(clientData.tls) == 1;
    }
    if (secured && clientData.tls != nullptr && SSL_session_reused(clientData.tls) == 1) {
        std::lock_guard lock(mutex_);
        ++resumed_;
    }
    if (!secured) {
        thread_.Fail("data connection to the client");
    } else if (!(upload ? Pump(clientData, siteData) : Pump(siteData, clientData))) {
        thread_.Fail(upload ? "upload relay" : "download relay");
    }
    if (secured && clientData.tls != nullptr) {
        // close_notify ends the bytes; the second call waits for the client's in answer.
        if (SSL_shutdown(clientData.tls) == 0) {
            (void)SSL_shutdown(clientData.tls);
        }
    }
    SSL_free(clientData.tls);
    thread_.Close(clientData.fd);
    // The site's end of an upload is its connection's end.
    thread_.Close(siteData.fd);
    return ReadReply(session.site, session.siteInput, &answer) != 0 && Send(session.client, answer);
}

}  // namespace qvex::test
