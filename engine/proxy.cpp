#include "engine/proxy.h"

#include <span>
#include <string>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "engine/socks_reply.h"
#include "log/log_sink.h"

namespace qvex {
namespace {

constexpr const char* kUnableToConnectProxy = "*** unable to CONNECT to proxy server %s:%u";
constexpr const char* kUnableToConnectSocks = "*** unable to CONNECT to SOCKS server %s:%u";
constexpr const char* kSocks4IoError = "*** I/O error on SOCKS4 server %s:%u";
constexpr const char* kSocks4Error = "*** SOCKS4 error on server %s:%u (%d)";
constexpr const char* kSocks4NoIpv6 = "*** SOCKS4 cannot carry an IPv6 address (server %s:%u)";
constexpr const char* kSocks5IoError = "*** I/O error on SOCKS5 server %s:%u";
constexpr const char* kSocks5Error = "*** SOCKS5 error on server %s:%u (%02x)";
constexpr const char* kSocks5AuthFailed = "*** SOCKS5 authentication failed on server %s:%u";
constexpr const char* kUsingProxy = "... using proxy connection on [%s:%u] for CONTROL";

constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kCommandBind = 2;
constexpr uint8_t kSocks4Granted = 90;
// A SOCKS4 request is built in 128 bytes: 8 fixed bytes, the user id and its NUL.
constexpr size_t kMaxSocks4UserId = 119;
// RFC 1929: each of user name and password is one length byte long.
constexpr size_t kMaxSocks5Credential = 255;

bool SendExactly(TcpSocket& socket, const std::string& message) {
    long length = static_cast<long>(message.size());
    return socket.SendAll(message.data(), length) == length;
}

void AppendPort(std::string& message, uint16_t port) {
    message.push_back(static_cast<char>(port >> 8));
    message.push_back(static_cast<char>(port & 0xFF));
}

void AppendAddress(std::string& message, const platform::NetAddress& address) {
    message.append(reinterpret_cast<const char*>(address.bytes.data()), address.ipv6 ? 16 : 4);
}

// SOCKS4 request (command, destination port and address, user id and NUL). Refuses a user id
// that would not fit its message or would end early at a NUL.
bool SendSocks4Request(SessionWorker& session, TcpSocket& socket, uint8_t command, uint16_t port,
                       const platform::NetAddress& address) {
    const std::string& userId = session.proxyUser;
    if (userId.size() > kMaxSocks4UserId || userId.find('\0') != std::string::npos) {
        return false;
    }
    std::string message;
    message.push_back(4);
    message.push_back(static_cast<char>(command));
    AppendPort(message, port);
    AppendAddress(message, address);
    message.append(userId);
    message.push_back('\0');
    return SendExactly(socket, message);
}

// Reads the 8-byte SOCKS4 reply and checks for "granted", logging the failure lines.
bool ReadSocks4Reply(SessionWorker& session, TcpSocket& socket, SocksReply& reply) {
    uint8_t bytes[kSocks4ReplyLength];
    if (socket.RecvAll(bytes, sizeof bytes) != static_cast<long>(sizeof bytes)) {
        LogProxyLine(session, kSocks4IoError);
        return false;
    }
    reply = DecodeSocks4Reply(bytes);
    if (reply.result != kSocks4Granted) {
        LogProxyLine(session, kSocks4Error, reply.result);
        return false;
    }
    return true;
}

bool Socks4Exchange(SessionWorker& session, TcpSocket& socket, uint8_t command, uint16_t port,
                    const platform::NetAddress& address, SocksReply& reply) {
    if (address.ipv6) {
        // Its request has room for four address bytes only.
        LogProxyLine(session, kSocks4NoIpv6);
        return false;
    }
    if (!SendSocks4Request(session, socket, command, port, address)) {
        LogProxyLine(session, kSocks4IoError);
        return false;
    }
    return ReadSocks4Reply(session, socket, reply);
}

// Reads a SOCKS5 reply by its address type, to its last byte and no further.
bool ReadSocks5Reply(SessionWorker& session, TcpSocket& socket, SocksReply& reply) {
    uint8_t bytes[kSocks5ReplyMaxLength];
    size_t received = 0;
    for (;;) {
        const Socks5ReplyStep step = NextSocks5ReplyStep(std::span(bytes, received));
        switch (step.kind) {
            case Socks5ReplyStep::Kind::Read: {
                const long missing = static_cast<long>(step.length - received);
                if (socket.RecvAll(bytes + received, missing) != missing) {
                    LogProxyLine(session, kSocks5IoError);
                    return false;
                }
                received = step.length;
                break;
            }
            case Socks5ReplyStep::Kind::Refused:
                LogProxyLine(session, kSocks5Error, bytes[1]);
                return false;
            case Socks5ReplyStep::Kind::UnknownAddressType:
                LogProxyLine(session, kSocks5IoError);
                return false;
            case Socks5ReplyStep::Kind::Complete:
                reply = DecodeSocks5Reply(std::span(bytes, received));
                return true;
        }
    }
}

bool Socks5Exchange(SessionWorker& session, TcpSocket& socket, uint8_t command, uint16_t port,
                    const platform::NetAddress& address, SocksReply& reply) {
    if (!Socks5Negotiate(session, socket)) {
        return false;
    }
    std::string request = {
        5, static_cast<char>(command), 0,
        static_cast<char>(address.ipv6 ? kSocks5AddressIpv6 : kSocks5AddressIpv4)};
    AppendAddress(request, address);
    AppendPort(request, port);
    if (!SendExactly(socket, request)) {
        LogProxyLine(session, kSocks5IoError);
        return false;
    }
    return ReadSocks5Reply(session, socket, reply);
}

bool SocksExchange(SessionWorker& session, TcpSocket& socket, uint8_t command, uint16_t port,
                   const platform::NetAddress& address, SocksReply& reply) {
    if (session.proxyType == kProxySocks4) {
        return Socks4Exchange(session, socket, command, port, address, reply);
    }
    return Socks5Exchange(session, socket, command, port, address, reply);
}

bool Cancelled(const SessionWorker& session) {
    return session.connectCancelled.load();
}

bool ConnectToProxy(SessionWorker& session, TcpSocket& socket) {
    return socket.Connect(session.proxy.host.c_str(), PortNumber(session.proxy.port.c_str()));
}

}  // namespace

uint16_t DefaultProxyPort(int32_t proxyType) {
    switch (proxyType) {
        case kProxyFtp:
            return 21;
        case kProxySocks4:
        case kProxySocks5:
            return 1080;
        default:
            return 0;
    }
}

uint16_t PortNumber(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    uint32_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return 0;
        }
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        if (value > 65535) {
            return 0;
        }
    }
    return static_cast<uint16_t>(value);
}

bool Socks5Negotiate(SessionWorker& session, TcpSocket& socket) {
    // Version 5, two methods: no authentication, user name and password.
    const std::string greeting = {5, 2, 0, 2};
    unsigned char answer[2];
    if (!SendExactly(socket, greeting) || socket.RecvAll(answer, 2) != 2) {
        LogProxyLine(session, kSocks5IoError);
        return false;
    }
    switch (answer[1]) {
        case 0x00:
            return true;
        case 0x02:
            break;
        case 0xFF:
            LogProxyLine(session, kSocks5AuthFailed);
            return false;
        default:
            // RFC 1928 section 3: the proxy picks one of the methods offered; anything else
            // would leave us speaking a protocol we do not know.
            LogProxyLine(session, kSocks5Error, answer[1]);
            return false;
    }
    const std::string& user = session.proxyUser;
    const std::string& password = session.proxyPassword;
    if (user.empty() || password.empty() || user.size() > kMaxSocks5Credential ||
        password.size() > kMaxSocks5Credential) {
        LogProxyLine(session, kSocks5AuthFailed);
        logExt("*** (missing username and/or password)");
        return false;
    }
    std::string message;
    message.push_back(1);
    message.push_back(static_cast<char>(user.size()));
    message.append(user);
    message.push_back(static_cast<char>(password.size()));
    message.append(password);
    if (!SendExactly(socket, message) || socket.RecvAll(answer, 2) != 2) {
        LogProxyLine(session, kSocks5IoError);
        return false;
    }
    if (answer[0] != 1 || answer[1] != 0) {
        LogProxyLine(session, kSocks5AuthFailed);
        logExt("*** (username/password mismatch or invalid)");
        return false;
    }
    return true;
}

bool ConnectControl(SessionWorker& session) {
    bool viaProxy = session.proxyType != kProxyNone;
    if (Cancelled(session)) {
        return false;
    }
    // CancelConnect shuts the control socket under sendLock, so a socket made again for the
    // host's next address is made under it too.
    bool connected = viaProxy ? ConnectToProxy(session, session.control)
                              : session.control.Connect(session.request.host.c_str(),
                                                        PortNumber(session.request.port.c_str()),
                                                        &session.sendLock);
    if (Cancelled(session)) {
        return false;
    }
    if (!connected) {
        if (viaProxy) {
            LogProxyLine(session, kUnableToConnectProxy);
        }
        return false;
    }
    if (session.proxyType == kProxySocks4 || session.proxyType == kProxySocks5) {
        SocksReply reply;
        if (!SocksExchange(session, session.control, kCommandConnect,
                           PortNumber(session.request.port.c_str()), session.hostAddress, reply) ||
            Cancelled(session)) {
            return false;
        }
    }
    if (viaProxy) {
        LogProxyLine(session, kUsingProxy);
    }
    return true;
}

bool SocksBindData(SessionWorker& session, platform::NetAddress* address, uint16_t* port) {
    if (!session.data.Create() || !ConnectToProxy(session, session.data)) {
        LogProxyLine(session, kUnableToConnectSocks);
        session.data.Close();
        return false;
    }
    SocksReply reply;
    if (!SocksExchange(session, session.data, kCommandBind,
                       PortNumber(session.request.port.c_str()), session.hostAddress, reply)) {
        session.data.Close();
        return false;
    }
    if (reply.addressType == kSocks5AddressName) {
        // PORT and EPRT name addresses; a SOCKS5 proxy that binds under a name is no use.
        LogProxyLine(session, kSocks5IoError);
        session.data.Close();
        return false;
    }
    *address = reply.address;
    *port = reply.port;
    // A proxy that answers 0.0.0.0 (or ::) means "my own address".
    if (reply.address == platform::NetAddress(platform::kAddressAny)) {
        *address = session.proxyAddress;
    } else if (reply.address == platform::NetAddress::Ipv6({})) {
        uint16_t proxyPort = 0;
        (void)platform::PeerNetName(session.data.handle(), address, &proxyPort);
    }
    return true;
}

bool SocksAwaitData(SessionWorker& session) {
    SocksReply reply;
    bool granted = session.proxyType == kProxySocks4
                       ? ReadSocks4Reply(session, session.data, reply)
                       : ReadSocks5Reply(session, session.data, reply);
    if (!granted) {
        session.data.Close();
    }
    return granted;
}

bool SocksConnectData(SessionWorker& session, const platform::NetAddress& address, uint16_t port) {
    if (!ConnectToProxy(session, session.data)) {
        LogProxyLine(session, kUnableToConnectSocks);
        return false;
    }
    SocksReply reply;
    if (!SocksExchange(session, session.data, kCommandConnect, port, address, reply)) {
        session.data.Close();
        return false;
    }
    return true;
}

}  // namespace qvex
