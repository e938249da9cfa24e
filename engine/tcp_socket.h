#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/tls_channel.h"
#include "platform/local_file.h"
#include "platform/socket.h"

namespace qvex {

// What a socket was waiting for.
enum class SocketWait {
    Connect,
    Accept,
    Receive,
    Send,
};

// How long a socket's operations may wait for the peer, and what else ends a wait.
struct WaitLimits {
    // Longest wait of one operation (counted afresh whenever bytes have moved), in
    // milliseconds; 0 waits for ever.
    int64_t milliseconds = 0;
    // A wait ends soon after this turns true (the user's stop); the operation then fails
    // with WSAEINTR.
    const std::atomic<bool>* interrupt = nullptr;
    // Runs when a wait ran out of time, before the operation fails with WSAETIMEDOUT.
    std::function<void(SocketWait)> onTimeout;
};

// The FTP engine's only network endpoint: a blocking IPv4 or IPv6 TCP socket with an optional owned
// buffer for buffered reading (replies, downloads) and buffered sending (uploads).
// Booleans are true on success; the reason for a failure is the thread's last socket error,
// which WsaErrorName turns into a name. Used by one thread at a time; only the byte counters
// are atomic.
class TcpSocket {
  public:
    TcpSocket() = default;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    virtual ~TcpSocket();

    // Binds to `localAddress` (IPv4 any by default) and a port the system picks; the
    // socket is of the address's family.
    [[nodiscard]] bool Create(const platform::NetAddress& localAddress = {});
    // Tries each address of the host in turn: a failed one other than the last is logged
    // ("@@@ Connect to [address:port] failed -> reason") and the socket made again, of the
    // next address's family, bound to that family's any address, with the same SetNoDelay
    // and SetKeepAlive; so is the socket when the first address is of the other family.
    // `reopenLock`, when given, is held while the socket is made again (another thread may shut it
    // down meanwhile). A stop ends the attempts.
    [[nodiscard]] bool Connect(const char* host, uint16_t port, std::mutex* reopenLock = nullptr);
    [[nodiscard]] bool Listen();
    [[nodiscard]] virtual bool Accept(TcpSocket& target);
    virtual void Close();
    // Gives the connection up: the peer sees its end, and every later receive reports a
    // closed connection, bytes already received but not yet read included.
    void Abandon();
    // One raw send; `flags` is 0 or platform::kSendUrgent. The system's result, not counted.
    [[nodiscard]] virtual long Send(const void* bytes, long length, int flags);

    // All `length` bytes: `length`, 0 when length < 1, or -1.
    [[nodiscard]] long SendAll(const void* bytes, long length);
    // Exactly `length` bytes: `length`, 0 when length < 1, -1 on error, -2 when the peer
    // closed first.
    [[nodiscard]] long RecvAll(void* buffer, long length);
    // The text and CR LF: text length + 2, or -1 (also for a text longer than 510 characters,
    // which would not fit the line).
    [[nodiscard]] long SendLine(const char* text);

    // Sets the buffer's size in use, keeping the owned block when it is large enough.
    // False when the block cannot be allocated or the size is not positive.
    [[nodiscard]] bool SetBuffer(int32_t size);
    // One receive of up to capacity() bytes into buffer(): the count, -1 or -2.
    [[nodiscard]] long Fill();
    // One receive of up to `length` bytes written straight into `file` through `direct`,
    // waiting as Fill does: the count, -1, -2, or platform::SocketToFile::kWriteFailed.
    // Leaves the buffer empty.
    [[nodiscard]] long FillFile(platform::SocketToFile& direct, platform::LocalFile& file,
                                size_t length);
    // The next buffered byte (0-255), -1 or -2.
    [[nodiscard]] int ReadByte();
    // One text line into a 512-byte buffer: its length, -1 on error or an over-long line,
    // -2 when the peer closed before any byte of the line.
    [[nodiscard]] int ReadLine(char* line);
    // The first `length` bytes of buffer(): `length` or the first negative send result;
    // -1 for a length outside 0..capacity(), which would send bytes never filled in.
    [[nodiscard]] long SendBuffer(int32_t length);

    // `text` holds at least platform::kAddressTextSize bytes.
    [[nodiscard]] bool PeerAddress(char* text, uint16_t* port) const;
    [[nodiscard]] bool LocalAddress(uint32_t* addressNetworkOrder, uint16_t* port) const;
    [[nodiscard]] bool LocalNetAddress(platform::NetAddress* address, uint16_t* port) const;
    // Whether the socket is an IPv6 one (false for a closed socket).
    [[nodiscard]] bool isIpv6() const;
    [[nodiscard]] bool BytesAvailable(int32_t* count) const;
    [[nodiscard]] bool SetNoDelay(int on);
    [[nodiscard]] bool SetKeepAlive(int on);

    // From now on the connection runs TLS: the client handshake, waiting as receives do,
    // offering `resumeFrom`'s TLS session. On failure tls() stays for its error() and the
    // last socket error is WSAECONNABORTED (or the wait's reason). Close ends TLS too.
    // A receive that TLS fails (an alert, a data connection's end without close_notify)
    // gives -1 and logs "*** TLS connection failed (reason)" unless the user stopped.
    [[nodiscard]] bool StartTls(TlsContext& context, const std::string& hostName,
                                const TcpSocket* resumeFrom);
    bool secure() const { return tls_ != nullptr; }
    TlsChannel* tls() const { return tls_.get(); }

    // Limits kept across Close and Create; Send (the abort's raw send) never waits.
    void SetWaitLimits(WaitLimits limits) { limits_ = std::move(limits); }
    const WaitLimits& waitLimits() const { return limits_; }
    // Waits until this socket can be read (or accepted from) or `other` can, bytes already in
    // `other`'s buffer included; the time-out counts from `since`. 1 for this socket (it wins
    // when both are ready), 2 for `other`, 0 when the wait failed, ran out of time or was
    // interrupted (WSAETIMEDOUT, WSAEINTR).
    [[nodiscard]] int WaitReadable(const TcpSocket* other,
                                   std::chrono::steady_clock::time_point since);

    // Size of the line buffer ReadLine fills; a line holds at most one character less.
    static constexpr int kLineBufferSize = 512;

    platform::SocketHandle handle() const { return handle_; }
    bool isOpen() const { return handle_ != platform::kNoSocket; }
    // The buffer that buffered reads fill and SendBuffer sends from.
    char* buffer() const { return buffer_; }
    int32_t capacity() const { return capacity_; }
    int32_t ownedSize() const { return ownedSize_; }
    int32_t position() const { return position_; }
    int32_t count() const { return count_; }
    uint32_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
    uint32_t bytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }

  protected:
    // One connect attempt to one address, waiting within the limits.
    [[nodiscard]] bool ConnectTo(const platform::NetAddress& address, uint16_t port);
    // Waits before one operation; false when it must fail (the last error says why).
    [[nodiscard]] bool WaitFor(SocketWait what);
    // The wait behind WaitFor and WaitReadable: 1, 2 or 0 as WaitReadable gives them.
    [[nodiscard]] int WaitUntilReady(SocketWait what, platform::SocketHandle other,
                                     std::chrono::steady_clock::time_point since);
    // Whether operations wait in a poll first (and then move bytes without blocking).
    bool Limited() const { return limits_.milliseconds > 0 || limits_.interrupt != nullptr; }
    // Under TLS: one wait for what the channel asked for (also without limits, as the
    // channel never blocks); then the receive or send that moves plain bytes.
    [[nodiscard]] bool WaitTls(TlsStep step);
    [[nodiscard]] long TlsReceive(void* buffer, size_t length);
    // What has arrived already, without waiting: a buffer fills with every record at hand.
    [[nodiscard]] long TlsReceiveReady(char* buffer, size_t length);
    // Logs what TLS found and gives the receive's failure.
    long TlsFailure();
    [[nodiscard]] long TlsSend(const void* bytes, size_t length);
    // Sends close_notify and reads up to the peer's before the socket closes: closing with
    // records unread (a TLS 1.3 session ticket) resets the connection, and the server
    // loses the end of an upload. Bounded by the wait limit, never by the time-out's action.
    void EndTls();
    [[nodiscard]] bool WaitTlsEnd(TlsStep step, std::chrono::steady_clock::time_point deadline);

    platform::SocketHandle handle_ = platform::kNoSocket;
    std::unique_ptr<char[]> ownedBuffer_;
    char* buffer_ = nullptr;
    int32_t position_ = 0;
    int32_t count_ = 0;
    int32_t ownedSize_ = 0;
    int32_t capacity_ = 0;
    std::atomic<uint32_t> bytesReceived_{0};
    std::atomic<uint32_t> bytesSent_{0};
    WaitLimits limits_;
    bool listening_ = false;
    bool abandoned_ = false;
    // What SetNoDelay and SetKeepAlive asked for, for a socket Connect makes again.
    bool noDelay_ = false;
    bool keepAlive_ = false;
    std::unique_ptr<TlsChannel> tls_;
    // A failure met after bytes were taken, for the next receive to report.
    bool tlsFailureHeld_ = false;
};

// How Connect turns a host text into addresses: text made only of digits and dots goes to
// the dotted-address parser, text with a ":" to the IPv6 parser, anything else to `lookup`
// (every address of the name, in its order). 255.255.255.255 is never a destination: a
// lookup's is dropped, and when no address is left the last error is WSAEADDRNOTAVAIL, as
// for text that is no address.
using HostLookup = bool (*)(const char* name, std::vector<platform::NetAddress>* addresses);
[[nodiscard]] bool ResolveHost(const char* host, std::vector<platform::NetAddress>* addresses,
                               HostLookup lookup = platform::LookupHostAddresses);

// The name of the calling thread's last socket error ("WSAECONNREFUSED", ...), or
// "<WSAunknown: #%d>" for a code without a name.
[[nodiscard]] const char* WsaErrorName();
[[nodiscard]] const char* WsaErrorName(int code);

}  // namespace qvex
