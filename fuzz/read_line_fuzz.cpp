// TcpSocket::ReadLine over a real stream: the first input byte picks the buffer capacity
// (1..64, so lines straddle many fills), the rest is written into one end of a socket pair,
// which is then closed. Every result is checked against a plain model of the line rules.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/tcp_socket.h"
#include "platform/socket.h"

namespace {

using qvex::platform::SocketHandle;

// Small enough to fit the pair's buffers, so one thread can write everything first.
constexpr size_t kMaxInput = 16384;
constexpr int kLineBufferSize = qvex::TcpSocket::kLineBufferSize;

// The reading end of a socket pair; the reader does not care what kind of stream it is.
class PairSocket : public qvex::TcpSocket {
  public:
    explicit PairSocket(SocketHandle handle) { handle_ = handle; }
};

// What ReadLine must give for the input from `position` on: a length or -1 / -2.
struct Expected {
    int result;
    std::string line;
};

Expected NextLine(const uint8_t* bytes, size_t size, size_t& position) {
    Expected expected{0, {}};
    while (position < size) {
        const uint8_t byte = bytes[position++];
        if (byte == '\r' || byte == '\n') {
            if (byte == '\r') {
                while (position < size && bytes[position++] != '\n') {
                }
            }
            expected.result = static_cast<int>(expected.line.size());
            return expected;
        }
        expected.line.push_back(static_cast<char>(byte));
        if (expected.line.size() == static_cast<size_t>(kLineBufferSize)) {
            expected.result = -1;
            return expected;
        }
    }
    expected.result = expected.line.empty() ? -2 : static_cast<int>(expected.line.size());
    return expected;
}

bool WriteAll(SocketHandle handle, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        long sent = qvex::platform::SendBytes(handle, bytes, size, 0);
        if (sent < 1) {
            return false;
        }
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxInput) {
        return 0;
    }
    const int32_t capacity = 1 + data[0] % 64;
    const uint8_t* input = data + 1;
    const size_t inputSize = size - 1;

    SocketHandle reader = qvex::platform::kNoSocket;
    SocketHandle writer = qvex::platform::kNoSocket;
    if (!qvex::platform::OpenSocketPair(&reader, &writer)) {
        return 0;
    }
    const bool written = WriteAll(writer, input, inputSize);
    qvex::platform::ShutdownSocket(writer);
    qvex::platform::CloseSocket(writer);
    if (!written) {
        qvex::platform::CloseSocket(reader);
        return 0;
    }

    PairSocket socket(reader);
    if (!socket.SetBuffer(capacity)) {
        __builtin_trap();
    }
    size_t position = 0;
    char line[kLineBufferSize];
    for (;;) {
        std::memset(line, 'x', sizeof line);
        const int result = socket.ReadLine(line);
        const Expected expected = NextLine(input, inputSize, position);
        if (result != expected.result) {
            __builtin_trap();
        }
        if (result < 0) {
            break;
        }
        if (result >= kLineBufferSize || line[result] != '\0' ||
            std::memchr(line, '\r', static_cast<size_t>(result)) != nullptr ||
            std::memchr(line, '\n', static_cast<size_t>(result)) != nullptr ||
            std::memcmp(line, expected.line.data(), expected.line.size()) != 0) {
            __builtin_trap();
        }
    }
    // Every byte the lines took came through the buffer, and was counted once.
    if (socket.bytesReceived() > inputSize || socket.bytesReceived() < position ||
        socket.count() > socket.capacity()) {
        __builtin_trap();
    }
    return 0;
}
