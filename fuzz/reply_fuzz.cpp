// Replies from a hostile server: whatever bytes arrive, ReadReply returns a code and stops
// at 421 once the connection has closed or was given up, never reads past its buffers, and
// completes a reply only with a line of its own code: three digits and a blank.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/control_connection.h"
#include "engine/session_worker.h"

namespace {

qvex::TcpSocket& Listener() {
    static qvex::TcpSocket listener;
    static bool ready = listener.Create() && listener.Listen();
    if (!ready) {
        __builtin_trap();
    }
    return listener;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) {
        return 0;  // more than a socket buffer would block the single-threaded feed
    }
    qvex::TcpSocket& listener = Listener();
    uint32_t address = 0;
    uint16_t port = 0;
    if (!listener.LocalAddress(&address, &port)) {
        __builtin_trap();
    }
    qvex::SessionWorker session;
    qvex::TcpSocket server;
    if (!session.control.Create() || !session.control.Connect("127.0.0.1", port) ||
        !listener.Accept(server) || !session.control.SetBuffer(4096)) {
        __builtin_trap();
    }
    if (size > 0 && server.SendAll(data, static_cast<long>(size)) != static_cast<long>(size)) {
        __builtin_trap();
    }
    server.Close();
    // The first byte chooses whether an ABOR is pending, which changes what ends a reply.
    session.abortSent = size > 0 && (data[0] & 1) != 0;
    for (int replies = 0; replies <= 65536; ++replies) {
        qvex::FtpReply reply;
        int code = qvex::ReadReply(session, reply, true);
        if (code != reply.code || std::strlen(reply.lastLine.data()) > 511 ||
            reply.codeText[3] != '\0') {
            __builtin_trap();
        }
        if (code == 421 && std::strcmp(reply.codeText.data(), "421") == 0) {
            return 0;
        }
        const char* last = reply.lastLine.data();
        if (code < 100 || code > 599 || std::strncmp(last, reply.codeText.data(), 3) != 0 ||
            last[3] != ' ' || session.controlLost) {
            __builtin_trap();
        }
    }
    __builtin_trap();  // a closed connection must end the replies
}
