#include "engine/data_connection.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/control_connection.h"
#include "engine/proxy.h"
#include "engine/session_worker.h"
#include "engine/tls_session.h"
#include "log/log_sink.h"
#include "platform/socket.h"

namespace qvex {
namespace {

bool ViaSocks(const SessionWorker& session) {
    return session.proxyType == kProxySocks4 || session.proxyType == kProxySocks5;
}

// A number of the 227 reply: at most three digits and at most 255.
bool ReplyByte(const std::string& digits, uint8_t* value) {
    if (digits.empty() || digits.size() > 3) {
        return false;
    }
    int number = std::stoi(digits);
    if (number > 255) {
        return false;
    }
    *value = static_cast<uint8_t>(number);
    return true;
}

// REST when a resumed transfer asks for it; an answer other than 3xx means the transfer
// starts from the beginning (RFC 3659 section 5.3).
void SendRestartOffset(SessionWorker& session) {
    if (!session.restartRequested) {
        return;
    }
    char argument[32];
    std::snprintf(argument, sizeof argument, "%" PRIu64, session.restartOffset);
    (void)SendCommand(session, "REST", argument);
    FtpReply reply;
    if (ReadReply(session, reply, false) / 100 != 3) {
        session.restartOffset = 0;
    }
}

int SendTransferCommand(SessionWorker& session, std::string_view commandLine,
                        std::array<char, 512>* lastLine) {
    FtpReply reply;
    if (!SendCommand(session, commandLine)) {
        return 599;  // refused before the wire: a local failure, not a lost connection
    }
    int code = ReadReply(session, reply, lastLine != nullptr);
    if (lastLine != nullptr) {
        *lastLine = reply.lastLine;
    }
    return code;
}

int FailureFor(int code) {
    return code == kReplyConnectionLost ? kDataClosed : kDataFailed;
}

// A failure that gave the control connection up (a time-out) ends the session.
int Failed(const SessionWorker& session) {
    return session.controlLost ? kDataClosed : kDataFailed;
}

// Waits for the server's data connection. A caller from another address than the server's is
// logged and dropped: its bytes would become the file. A reply on the control connection
// instead ("425 Can't open data connection") ends the wait.
int AcceptFromServer(SessionWorker& session, TcpSocket& listener, std::array<char, 512>* lastLine) {
    char server[platform::kAddressTextSize] = {};
    uint16_t serverPort = 0;
    (void)session.control.PeerAddress(server, &serverPort);
    const auto since = std::chrono::steady_clock::now();
    for (;;) {
        int ready = listener.WaitReadable(&session.control, since);
        if (ready == 2) {
            FtpReply reply;
            int code = ReadReply(session, reply, lastLine != nullptr);
            if (lastLine != nullptr) {
                *lastLine = reply.lastLine;
            }
            return FailureFor(code);
        }
        if (ready == 0 || !listener.Accept(session.data)) {
            if (platform::LastSocketError() != platform::kWsaEintr) {
                LogNetFailure("Accept failed");
            }
            session.data.Close();
            return Failed(session);
        }
        char caller[platform::kAddressTextSize] = {};
        uint16_t callerPort = 0;
        if (session.data.PeerAddress(caller, &callerPort) && std::strcmp(caller, server) == 0) {
            return kDataOpen;
        }
        char line[160];
        std::snprintf(line, sizeof line,
                      "!!! DATA connection from [%s:%u] refused: not the server's address", caller,
                      callerPort);
        logExt(line);
        session.data.Close();
    }
}

// `extended`: the reply is EPSV's "229", which names the port only; the data connection
// goes to the address the control connection goes to (RFC 2428 section 3).
int OpenPassive(SessionWorker& session, std::string_view commandLine,
                std::array<char, 512>* lastLine, const FtpReply& passiveReply, bool extended) {
    SendRestartOffset(session);
    // A socket that cannot be made fails at its connect, with that step's line.
    (void)session.data.Create();
    PassiveAddress address{};
    if (extended ? !ParseExtendedPassiveReply(passiveReply.lastLine.data(), &address.port)
                 : !ParsePassiveReply(session, passiveReply.lastLine.data(), &address)) {
        logExt(extended ? "*** unrecognized \"229\" response format"
                        : "*** unrecognized \"227\" response format");
        session.data.Close();
        return kDataFailed;
    }
    // A 229 reply names no address: through SOCKS the server's, as the requests name it.
    platform::NetAddress destination = session.hostAddress;
    if (!extended) {
        uint32_t networkOrder = 0;
        std::memcpy(&networkOrder, address.bytes, 4);
        destination = networkOrder;
    }
    char named[platform::kAddressTextSize] = {};
    (void)platform::FormatAddress(destination, named, sizeof named);
    char line[512];
    if (ViaSocks(session)) {
        if (!SocksConnectData(session, destination, address.port)) {
            return Failed(session);
        }
        std::snprintf(line, sizeof line, "Using proxy connection to [%s:%u] for DATA", named,
                      address.port);
        logExt(line);
    } else {
        // A 227 reply may name any machine; connecting there would let the server use us
        // against a third host. The data connection goes where the control connection goes.
        char peer[platform::kAddressTextSize] = {};
        uint16_t controlPort = 0;
        std::string target = named;
        if (session.control.PeerAddress(peer, &controlPort) && (extended || target != peer)) {
            if (!extended) {
                std::snprintf(line, sizeof line,
                              "!!! \"227\" reply named %s; connecting to the server at %s instead",
                              named, peer);
                logExt(line);
            }
            target = peer;
        }
        if (!session.data.Connect(target.c_str(), address.port)) {
            if (platform::LastSocketError() != platform::kWsaEintr) {
                LogNetFailure("Connect failed");
            }
            session.data.Close();
            return Failed(session);
        }
        std::snprintf(line, sizeof line, "Connected to [%s:%u] for DATA", target.c_str(),
                      address.port);
        logExt(line);
    }
    int code = SendTransferCommand(session, commandLine, lastLine);
    if (code >= 200) {
        session.data.Close();
        return FailureFor(code);
    }
    return kDataOpen;
}

// Under PROT P an open data connection is secured before its bytes move.
int Secured(SessionWorker& session, int opened) {
    if (opened != kDataOpen || SecureDataConnection(session)) {
        return opened;
    }
    session.data.Close();
    return Failed(session);
}

// PORT names an IPv4 address; an IPv6 listener (that of an IPv6 control connection, or a
// SOCKS proxy's BIND for an IPv6 server) is named by EPRT (RFC 2428 section 2).
int OpenActive(SessionWorker& session, std::string_view commandLine,
               std::array<char, 512>* lastLine) {
    TcpSocket listener;
    listener.SetWaitLimits(session.data.waitLimits());
    platform::NetAddress listening;
    uint16_t port = 0;
    if (ViaSocks(session)) {
        if (!SocksBindData(session, &listening, &port)) {
            return Failed(session);
        }
    } else {
        uint16_t controlPort = 0;
        // Listening on the address the server reaches us by only, not on every network.
        if (!session.control.LocalNetAddress(&listening, &controlPort) ||
            !listener.Create(listening) || !listener.LocalNetAddress(nullptr, &port) ||
            !listener.Listen()) {
            LogNetFailure("Listen failed");
            return kDataFailed;
        }
    }
    // A zone means something to this machine alone: EPRT names the address without it.
    platform::NetAddress named = listening;
    named.scope = 0;
    char shown[platform::kAddressTextSize] = {};
    (void)platform::FormatAddress(named, shown, sizeof shown);
    char argument[96];
    if (listening.ipv6) {
        std::snprintf(argument, sizeof argument, "|2|%s|%u|", shown, port);
        (void)SendCommand(session, "EPRT", argument);
    } else {
        const auto& bytes = listening.bytes;
        std::snprintf(argument, sizeof argument, "%u,%u,%u,%u,%u,%u", bytes[0], bytes[1], bytes[2],
                      bytes[3], port >> 8, port & 0xFF);
        (void)SendCommand(session, "PORT", argument);
    }
    FtpReply portReply;
    // Not judged: a refused PORT shows in the transfer command's reply.
    (void)ReadReply(session, portReply, false);
    SendRestartOffset(session);
    int code = SendTransferCommand(session, commandLine, lastLine);
    if (code >= 200) {
        if (ViaSocks(session)) {
            session.data.Close();
        }
        return FailureFor(code);
    }
    char line[512];
    if (ViaSocks(session)) {
        if (!SocksAwaitData(session)) {
            return Failed(session);
        }
        std::snprintf(line, sizeof line, "Using proxy connection on [%s:%u] for DATA", shown, port);
        logExt(line);
        return kDataOpen;
    }
    if (int accepted = AcceptFromServer(session, listener, lastLine); accepted != kDataOpen) {
        return accepted;
    }
    std::snprintf(line, sizeof line, "Accepted connection on [%s:%u] for DATA", shown, port);
    logExt(line);
    return kDataOpen;
}

}  // namespace

bool ParsePassiveReply(const SessionWorker& session, std::string_view line,
                       PassiveAddress* address) {
    auto numbers = session.patterns.passiveReply.Search(line);
    if (numbers.size() != 7) {
        return false;
    }
    for (int index = 0; index < 4; ++index) {
        if (!ReplyByte(*numbers[static_cast<size_t>(index + 1)], &address->bytes[index])) {
            return false;
        }
    }
    uint8_t high = 0;
    uint8_t low = 0;
    if (!ReplyByte(*numbers[5], &high) || !ReplyByte(*numbers[6], &low)) {
        return false;
    }
    address->port = static_cast<uint16_t>(high << 8 | low);
    return true;
}

bool ParseExtendedPassiveReply(std::string_view line, uint16_t* port) {
    const size_t open = line.find('(');
    if (open == std::string_view::npos) {
        return false;
    }
    std::string_view rest = line.substr(open + 1);
    // Any printable character but a digit, which would run into the port.
    const char delimiter = rest.empty() ? '\0' : rest[0];
    if (delimiter < 33 || delimiter > 126 || (delimiter >= '0' && delimiter <= '9') ||
        rest.size() < 6 || rest[1] != delimiter || rest[2] != delimiter) {
        return false;
    }
    uint32_t value = 0;
    size_t digits = 0;
    for (size_t index = 3; index < rest.size() && rest[index] >= '0' && rest[index] <= '9';
         ++index) {
        value = value * 10 + static_cast<uint32_t>(rest[index] - '0');
        if (++digits > 5) {
            return false;
        }
    }
    const size_t end = 3 + digits;
    if (digits == 0 || value == 0 || value > 65535 || end + 1 >= rest.size() ||
        rest[end] != delimiter || rest[end + 1] != ')') {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

int OpenDataConnection(SessionWorker& session, std::string_view commandLine,
                       std::array<char, 512>* lastLine) {
    if (session.passive != 0 && session.proxyType == kProxyFtp) {
        logExt("!!! PASSIVE not valid with FTP proxy server; using PORT");
        session.passive = 0;
    }
    if (session.passive != 0) {
        // PASV names an IPv4 address: an IPv6 server is asked for EPSV (RFC 2428 section 3),
        // and so is one that does not know PASV at all (500, not 502 "not implemented").
        // Through SOCKS the control connection goes to the proxy: the server's family is
        // that of the address the requests name.
        bool extended = session.control.isIpv6() || (ViaSocks(session) && session.hostAddress.ipv6);
        (void)SendCommand(session, extended ? "EPSV" : "PASV");
        FtpReply reply;
        int code = ReadReply(session, reply, true);
        if (code == 500 && !extended) {
            extended = true;
            (void)SendCommand(session, "EPSV");
            code = ReadReply(session, reply, true);
        }
        if (code == (extended ? 229 : 227)) {
            return Secured(session, OpenPassive(session, commandLine, lastLine, reply, extended));
        }
        if (code == kReplyConnectionLost) {
            logExt("... [DATA] connection CLOSED");
            return kDataClosed;
        }
        logExt("!!! Can't open PASSIVEly; trying PORT");
        session.passive = 0;
    }
    return Secured(session, OpenActive(session, commandLine, lastLine));
}

}  // namespace qvex
