#include "tests/support/peer_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace qvex::test {

int ListenOnLoopback(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int ConnectIpv4(const std::string& dotted, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr) != 1) {
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SetWaitLimit(int fd, int milliseconds) {
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

SSL_CTX* NewServerTlsContext(const std::string& certificate) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, certificate.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    // Data connections resume the control connection's session, as clients offer it.
    const unsigned char sessionContext[] = "qvex peer";
    (void)SSL_CTX_set_session_id_context(context, sessionContext, sizeof sessionContext);
    return context;
}

std::string TlsLibraryError() {
    std::string text;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        text = reason != nullptr ? reason : "error " + std::to_string(code);
    }
    return text;
}

}  // namespace qvex::test
