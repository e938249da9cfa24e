#include "engine/tcp_socket.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "log/log_sink.h"

namespace qvex {
namespace {

constexpr int kListenBacklog = 5;
// How often a wait that a stop may end looks at the stop flag.
constexpr int kStopCheckMilliseconds = 100;
// How long a TLS connection's end waits for the peer's close_notify when the socket waits
// for ever otherwise.
constexpr int64_t kTlsEndMilliseconds = 10000;
void Count(std::atomic<uint32_t>& counter, long bytes) {
    counter.fetch_add(static_cast<uint32_t>(bytes), std::memory_order_relaxed);
}

}  // namespace

bool ResolveHost(const char* host, std::vector<platform::NetAddress>* addresses,
                 HostLookup lookup) {
    if (host == nullptr || addresses == nullptr) {
        platform::SetLastSocketError(platform::kWsaEfault);
        return false;
    }
    addresses->clear();
    platform::NetAddress literal;
    if (std::strspn(host, "0123456789.") == std::strlen(host)) {
        addresses->push_back(platform::ParseDottedAddress(host));
    } else if (std::strchr(host, ':') != nullptr) {
        if (platform::ParseIpv6Address(host, &literal)) {
            addresses->push_back(literal);
        }
    } else if (lookup == nullptr) {
        platform::SetLastSocketError(platform::kWsaEfault);
        return false;
    } else if (!lookup(host, addresses)) {
        return false;
    }
    // The parser's "no address" value is also the broadcast address: never a destination.
    std::erase(*addresses, platform::NetAddress(platform::kAddressNone));
    if (addresses->empty()) {
        platform::SetLastSocketError(platform::kWsaEaddrnotavail);
        return false;
    }
    return true;
}

TcpSocket::~TcpSocket() {
    TcpSocket::Close();
}

bool TcpSocket::Create(const platform::NetAddress& localAddress) {
    if (isOpen()) {
        Close();
    }
    handle_ = platform::OpenStreamSocket(localAddress.ipv6);
    if (handle_ == platform::kNoSocket) {
        return false;
    }
    abandoned_ = false;
    // The handle stays even when the bind fails; Close or the destructor releases it.
    return platform::BindSocket(handle_, localAddress, 0);
}

bool TcpSocket::Connect(const char* host, uint16_t port, std::mutex* reopenLock) {
    std::vector<platform::NetAddress> addresses;
    if (!ResolveHost(host, &addresses)) {
        return false;
    }
    // A socket never made stays unmade: connecting it fails as it always did.
    const bool reopen = isOpen();
    for (size_t index = 0; index < addresses.size(); ++index) {
        const platform::NetAddress& address = addresses[index];
        if (reopen && (index > 0 || address.ipv6 != isIpv6())) {
            platform::NetAddress any;
            any.ipv6 = address.ipv6;
            std::unique_lock guard = reopenLock != nullptr ? std::unique_lock(*reopenLock)
                                                           : std::unique_lock<std::mutex>();
            // The new socket gets the options the caller gave the first one.
            if (!Create(any) || (noDelay_ && !platform::SetNoDelay(handle_, true)) ||
                (keepAlive_ && !platform::SetKeepAlive(handle_, true))) {
                return false;
            }
        }
        if (ConnectTo(address, port)) {
            return true;
        }
        const int reason = platform::LastSocketError();
        if (index + 1 == addresses.size() || reason == platform::kWsaEintr ||
            (limits_.interrupt != nullptr && limits_.interrupt->load())) {
            platform::SetLastSocketError(reason);
            return false;
        }
        char text[platform::kAddressTextSize] = {};
        (void)platform::FormatAddress(address, text, sizeof text);
        char line[128];
        std::snprintf(line, sizeof line, "@@@ Connect to [%s:%u] failed -> %s", text, port,
                      WsaErrorName(reason));
        logRaw(line);
    }
    return false;
}

bool TcpSocket::ConnectTo(const platform::NetAddress& address, uint16_t port) {
    if (!Limited()) {
        return platform::ConnectSocket(handle_, address, port);
    }
    bool pending = false;
    if (!platform::StartConnect(handle_, address, port, &pending)) {
        return false;
    }
    if (!pending) {
        return true;
    }
    if (!WaitFor(SocketWait::Connect)) {
        // Blocking again for whatever comes next; the wait's reason stays the error.
        int reason = platform::LastSocketError();
        (void)platform::FinishConnect(handle_);
        platform::SetLastSocketError(reason);
        return false;
    }
    return platform::FinishConnect(handle_);
}

bool TcpSocket::Listen() {
    listening_ = platform::ListenSocket(handle_, kListenBacklog);
    return listening_;
}

bool TcpSocket::Accept(TcpSocket& target) {
    if (!WaitFor(SocketWait::Accept)) {
        return false;
    }
    platform::SocketHandle accepted = platform::AcceptSocket(handle_);
    if (accepted == platform::kNoSocket) {
        return false;
    }
    if (target.isOpen()) {
        target.Close();
    }
    target.handle_ = accepted;
    return true;
}

void TcpSocket::Close() {
    if (tls_ != nullptr) {
        if (!abandoned_) {
            EndTls();
        }
        tls_.reset();
        tlsFailureHeld_ = false;
    }
    if (handle_ != platform::kNoSocket) {
        platform::ShutdownSocket(handle_);
        platform::CloseSocket(handle_);
        handle_ = platform::kNoSocket;
    }
    listening_ = false;
    abandoned_ = false;
}

void TcpSocket::Abandon() {
    platform::ShutdownSocket(handle_);
    position_ = 0;
    count_ = 0;
    abandoned_ = true;
}

long TcpSocket::Send(const void* bytes, long length, int flags) {
    if (length < 0) {
        platform::SetLastSocketError(platform::kWsaEinval);
        return -1;
    }
    return platform::SendBytes(handle_, bytes, static_cast<size_t>(length), flags);
}

long TcpSocket::SendAll(const void* bytes, long length) {
    if (length < 1) {
        return 0;
    }
    const char* next = static_cast<const char*>(bytes);
    long remaining = length;
    while (remaining > 0) {
        if (tls_ != nullptr) {
            long sent = TlsSend(next, static_cast<size_t>(remaining));
            if (sent < 1) {
                return -1;
            }
            Count(bytesSent_, sent);
            next += sent;
            remaining -= sent;
            continue;
        }
        if (!WaitFor(SocketWait::Send)) {
            return -1;
        }
        long sent = platform::SendBytes(handle_, next, static_cast<size_t>(remaining),
                                        Limited() ? platform::kNoWait : 0);
        if (sent < 0 && platform::LastSocketError() == platform::kWsaEwouldblock && Limited()) {
            continue;
        }
        if (sent < 1) {
            return -1;
        }
        Count(bytesSent_, sent);
        next += sent;
        remaining -= sent;
    }
    return length;
}

long TcpSocket::RecvAll(void* buffer, long length) {
    if (length < 1) {
        return 0;
    }
    char* next = static_cast<char*>(buffer);
    long remaining = length;
    while (remaining > 0) {
        if (abandoned_) {
            return -2;
        }
        if (tls_ != nullptr) {
            long received = TlsReceive(next, static_cast<size_t>(remaining));
            if (received < 0) {
                return received;
            }
            Count(bytesReceived_, received);
            next += received;
            remaining -= received;
            continue;
        }
        if (!WaitFor(SocketWait::Receive)) {
            return -1;
        }
        long received = platform::ReceiveBytes(handle_, next, static_cast<size_t>(remaining),
                                               Limited() ? platform::kNoWait : 0);
        if (received < 0 && platform::LastSocketError() == platform::kWsaEwouldblock && Limited()) {
            continue;
        }
        if (received < 0) {
            return -1;
        }
        if (received == 0) {
            return -2;
        }
        Count(bytesReceived_, received);
        next += received;
        remaining -= received;
    }
    return length;
}

long TcpSocket::SendLine(const char* text) {
    if (text == nullptr) {
        platform::SetLastSocketError(platform::kWsaEfault);
        return -1;
    }
    char line[kLineBufferSize];
    const size_t length = std::strlen(text);
    // Cutting the text would send a different command than the caller meant.
    if (length > sizeof line - 2) {
        platform::SetLastSocketError(platform::kWsaEmsgsize);
        return -1;
    }
    std::memcpy(line, text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    return SendAll(line, static_cast<long>(length + 2));
}

bool TcpSocket::SetBuffer(int32_t size) {
    if (size < 1) {
        platform::SetLastSocketError(platform::kWsaEinval);
        return false;
    }
    position_ = 0;
    count_ = 0;
    if (ownedSize_ < size) {
        ownedBuffer_.reset();
        ownedSize_ = 0;
        ownedBuffer_.reset(new (std::nothrow) char[static_cast<size_t>(size)]);
        if (!ownedBuffer_) {
            buffer_ = nullptr;
            capacity_ = 0;
            platform::SetLastSocketError(platform::kWsaEnobufs);
            return false;
        }
        ownedSize_ = size;
    }
    buffer_ = ownedBuffer_.get();
    capacity_ = size;
    return true;
}

long TcpSocket::Fill() {
    position_ = 0;
    count_ = 0;
    if (buffer_ == nullptr || capacity_ < 1) {
        // A receive of no bytes would look like a closed peer.
        platform::SetLastSocketError(platform::kWsaEinval);
        return -1;
    }
    if (abandoned_) {
        return -2;
    }
    long received;
    if (tls_ != nullptr) {
        received = TlsReceive(buffer_, static_cast<size_t>(capacity_));
        if (received < 0) {
            return received;
        }
        received += TlsReceiveReady(buffer_ + received, static_cast<size_t>(capacity_ - received));
        count_ = static_cast<int32_t>(received);
        Count(bytesReceived_, received);
        return received;
    }
    do {
        if (!WaitFor(SocketWait::Receive)) {
            return -1;
        }
        received = platform::ReceiveBytes(handle_, buffer_, static_cast<size_t>(capacity_),
                                          Limited() ? platform::kNoWait : 0);
    } while (received < 0 && platform::LastSocketError() == platform::kWsaEwouldblock && Limited());
    if (received < 0) {
        return -1;
    }
    if (received == 0) {
        return -2;
    }
    count_ = static_cast<int32_t>(received);
    Count(bytesReceived_, received);
    return received;
}

long TcpSocket::FillFile(platform::SocketToFile& direct, platform::LocalFile& file, size_t length) {
    if (tls_ != nullptr) {
        // The system cannot decrypt: the bytes come through the buffer and are written.
        long filled = Fill();
        position_ = 0;
        count_ = 0;
        if (filled > 0 && !file.Write(buffer_, static_cast<size_t>(filled))) {
            return platform::SocketToFile::kWriteFailed;
        }
        return filled;
    }
    position_ = 0;
    count_ = 0;
    if (abandoned_) {
        return -2;
    }
    if (!WaitFor(SocketWait::Receive)) {
        return -1;
    }
    long moved = direct.Move(handle_, file, length);
    if (moved == 0) {
        return -2;
    }
    if (moved > 0) {
        Count(bytesReceived_, moved);
    }
    return moved;
}

int TcpSocket::ReadByte() {
    if (count_ < 1) {
        long filled = Fill();
        if (filled < 0) {
            return static_cast<int>(filled);
        }
    }
    --count_;
    return static_cast<unsigned char>(buffer_[position_++]);
}

int TcpSocket::ReadLine(char* line) {
    int stored = 0;
    int next;
    // Whole runs of the buffer at a time: a listing of millions of lines goes through here.
    for (;;) {
        if (count_ < 1) {
            long filled = Fill();
            if (filled < 0) {
                next = static_cast<int>(filled);
                break;
            }
        }
        const char* start = buffer_ + position_;
        const auto room = static_cast<size_t>(std::min(count_, kLineBufferSize - stored));
        const auto* lineFeed = static_cast<const char*>(std::memchr(start, '\n', room));
        const size_t scanned = lineFeed != nullptr ? static_cast<size_t>(lineFeed - start) : room;
        const auto* carriageReturn = static_cast<const char*>(std::memchr(start, '\r', scanned));
        const char* end = carriageReturn != nullptr ? carriageReturn : lineFeed;
        const size_t taken = end != nullptr ? static_cast<size_t>(end - start) : room;
        std::memcpy(line + stored, start, taken);
        stored += static_cast<int>(taken);
        if (end != nullptr) {
            next = static_cast<unsigned char>(*end);
            position_ += static_cast<int32_t>(taken + 1);
            count_ -= static_cast<int32_t>(taken + 1);
            break;
        }
        position_ += static_cast<int32_t>(taken);
        count_ -= static_cast<int32_t>(taken);
        if (stored == kLineBufferSize) {
            // No room left for the terminating zero: the line is longer than a reply may be.
            platform::SetLastSocketError(platform::kWsaEmsgsize);
            return -1;
        }
    }
    line[stored] = '\0';
    if (next < 0) {
        // A partial line before the peer closed is still a line.
        return next == -2 && stored > 0 ? stored : next;
    }
    if (next == '\r') {
        // CR LF, and CR followed by anything up to LF, end one line.
        int skipped;
        do {
            skipped = ReadByte();
        } while (skipped >= 0 && skipped != '\n');
    }
    return stored;
}

long TcpSocket::SendBuffer(int32_t length) {
    if (length < 0 || length > capacity_) {
        platform::SetLastSocketError(platform::kWsaEinval);
        return -1;
    }
    position_ = 0;
    count_ = length;
    while (count_ > 0) {
        if (tls_ != nullptr) {
            long sent = TlsSend(buffer_ + position_, static_cast<size_t>(count_));
            if (sent < 1) {
                return -1;
            }
            position_ += static_cast<int32_t>(sent);
            count_ -= static_cast<int32_t>(sent);
            Count(bytesSent_, sent);
            continue;
        }
        if (!WaitFor(SocketWait::Send)) {
            return -1;
        }
        long sent = platform::SendBytes(handle_, buffer_ + position_, static_cast<size_t>(count_),
                                        Limited() ? platform::kNoWait : 0);
        if (sent < 0 && platform::LastSocketError() == platform::kWsaEwouldblock && Limited()) {
            continue;
        }
        if (sent < 1) {
            return -1;
        }
        position_ += static_cast<int32_t>(sent);
        count_ -= static_cast<int32_t>(sent);
        Count(bytesSent_, sent);
    }
    return length;
}

bool TcpSocket::PeerAddress(char* text, uint16_t* port) const {
    platform::NetAddress address;
    uint16_t peerPort = 0;
    if (!platform::PeerNetName(handle_, &address, &peerPort) ||
        !platform::FormatAddress(address, text, platform::kAddressTextSize)) {
        return false;
    }
    if (port != nullptr) {
        *port = peerPort;
    }
    return true;
}

bool TcpSocket::LocalAddress(uint32_t* addressNetworkOrder, uint16_t* port) const {
    return platform::LocalName(handle_, addressNetworkOrder, port);
}

bool TcpSocket::LocalNetAddress(platform::NetAddress* address, uint16_t* port) const {
    return platform::LocalNetName(handle_, address, port);
}

bool TcpSocket::isIpv6() const {
    platform::NetAddress address;
    return isOpen() && platform::LocalNetName(handle_, &address, nullptr) && address.ipv6;
}

bool TcpSocket::BytesAvailable(int32_t* count) const {
    if (!platform::ReadableBytes(handle_, count)) {
        return false;
    }
    if (tls_ != nullptr) {
        // Bytes on the wire are records, not text: what counts is what they decrypt to.
        *count = static_cast<int32_t>(tls_->Pending());
    }
    return true;
}

bool TcpSocket::SetNoDelay(int on) {
    noDelay_ = on != 0;
    return platform::SetNoDelay(handle_, noDelay_);
}

bool TcpSocket::SetKeepAlive(int on) {
    keepAlive_ = on != 0;
    return platform::SetKeepAlive(handle_, keepAlive_);
}

bool TcpSocket::StartTls(TlsContext& context, const std::string& hostName,
                         const TcpSocket* resumeFrom) {
    tls_ = std::make_unique<TlsChannel>(context, handle_, hostName,
                                        resumeFrom != nullptr ? resumeFrom->tls() : nullptr);
    const auto since = std::chrono::steady_clock::now();
    for (;;) {
        TlsStep step = tls_->Handshake();
        if (step == TlsStep::Done) {
            return true;
        }
        if (step == TlsStep::Closed || step == TlsStep::Failed) {
            platform::SetLastSocketError(platform::kWsaEconnaborted);
            return false;
        }
        // The whole handshake counts as one wait: a peer that trickles bytes cannot stretch it.
        if (WaitUntilReady(step == TlsStep::WantWrite ? SocketWait::Send : SocketWait::Receive,
                           platform::kNoSocket, since) != 1) {
            return false;
        }
    }
}

bool TcpSocket::WaitTls(TlsStep step) {
    const bool forWriting = step == TlsStep::WantWrite;
    if (Limited()) {
        return WaitFor(forWriting ? SocketWait::Send : SocketWait::Receive);
    }
    return platform::WaitSockets(&handle_, 1, forWriting, -1) >= 0;
}

void TcpSocket::EndTls() {
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(limits_.milliseconds > 0 ? limits_.milliseconds
                                                           : kTlsEndMilliseconds);
    TlsStep step = tls_->Shutdown();
    while (step == TlsStep::WantWrite && WaitTlsEnd(step, deadline)) {
        step = tls_->Shutdown();
    }
    // What the peer still sends is read and dropped up to its close_notify or its end.
    char scrap[4096];
    while (step == TlsStep::WantRead || step == TlsStep::WantWrite) {
        long count = 0;
        step = tls_->Read(scrap, sizeof scrap, &count);
        if (step == TlsStep::Done) {
            step = TlsStep::WantRead;
        } else if ((step == TlsStep::WantRead || step == TlsStep::WantWrite) &&
                   !WaitTlsEnd(step, deadline)) {
            return;
        }
    }
}

bool TcpSocket::WaitTlsEnd(TlsStep step, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (limits_.interrupt != nullptr && limits_.interrupt->load()) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        int ready = platform::WaitSockets(&handle_, 1, step == TlsStep::WantWrite,
                                          static_cast<int>(std::min<int64_t>(
                                              left, kStopCheckMilliseconds)));
        if (ready != platform::kWaitTimedOut) {
            return ready >= 0;
        }
    }
}

long TcpSocket::TlsReceive(void* buffer, size_t length) {
    if (tlsFailureHeld_) {
        tlsFailureHeld_ = false;
        return TlsFailure();
    }
    for (;;) {
        long count = 0;
        TlsStep step = tls_->Read(buffer, length, &count);
        if (step == TlsStep::Done) {
            return count;
        }
        if (step == TlsStep::Closed) {
            return -2;
        }
        if (step == TlsStep::Failed) {
            return TlsFailure();
        }
        if (!WaitTls(step)) {
            return -1;
        }
    }
}

long TcpSocket::TlsReceiveReady(char* buffer, size_t length) {
    long taken = 0;
    while (static_cast<size_t>(taken) < length) {
        long count = 0;
        TlsStep step = tls_->Read(buffer + taken, length - static_cast<size_t>(taken), &count);
        if (step != TlsStep::Done) {
            // The bytes already taken are delivered first; the next receive reports the
            // failure (the end, or a wait, simply comes again).
            tlsFailureHeld_ = step == TlsStep::Failed;
            break;
        }
        taken += count;
    }
    return taken;
}

long TcpSocket::TlsFailure() {
    if (!tls_->error().empty()) {
        // The socket's error would not say what TLS found (a cut, an alert); after the
        // user's stop the server's end is expected, however it comes.
        if (limits_.interrupt == nullptr || !limits_.interrupt->load()) {
            logExt(("*** TLS connection failed (" + tls_->error() + ")").c_str());
        }
        platform::SetLastSocketError(platform::kWsaEconnaborted);
    }
    return -1;
}

long TcpSocket::TlsSend(const void* bytes, size_t length) {
    for (;;) {
        long count = 0;
        TlsStep step = tls_->Write(bytes, length, &count);
        if (step == TlsStep::Done) {
            return count;
        }
        if (step == TlsStep::Closed || step == TlsStep::Failed) {
            platform::SetLastSocketError(platform::kWsaEconnaborted);
            return -1;
        }
        if (!WaitTls(step)) {
            return -1;
        }
    }
}

int TcpSocket::WaitReadable(const TcpSocket* other, std::chrono::steady_clock::time_point since) {
    if (other != nullptr && other->count() > 0) {
        platform::SocketHandle self = handle_;
        return platform::WaitSockets(&self, 1, false, 0) == 0 ? 1 : 2;
    }
    return WaitUntilReady(listening_ ? SocketWait::Accept : SocketWait::Receive,
                          other != nullptr ? other->handle() : platform::kNoSocket, since);
}

bool TcpSocket::WaitFor(SocketWait what) {
    return WaitUntilReady(what, platform::kNoSocket, std::chrono::steady_clock::now()) == 1;
}

int TcpSocket::WaitUntilReady(SocketWait what, platform::SocketHandle other,
                              std::chrono::steady_clock::time_point since) {
    if (!Limited() && other == platform::kNoSocket) {
        return 1;  // the operation itself blocks, as the system does it
    }
    const platform::SocketHandle handles[2] = {handle_, other};
    const int count = other != platform::kNoSocket ? 2 : 1;
    const bool forWriting = what == SocketWait::Connect || what == SocketWait::Send;
    for (;;) {
        if (limits_.interrupt != nullptr && limits_.interrupt->load()) {
            platform::SetLastSocketError(platform::kWsaEintr);
            return 0;
        }
        int slice = -1;
        if (limits_.milliseconds > 0) {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count();
            int64_t left = limits_.milliseconds - elapsed;
            if (left <= 0) {
                if (limits_.onTimeout) {
                    limits_.onTimeout(what);
                }
                platform::SetLastSocketError(platform::kWsaEtimedout);
                return 0;
            }
            slice = static_cast<int>(std::min<int64_t>(left, INT_MAX));
        }
        if (limits_.interrupt != nullptr && (slice < 0 || slice > kStopCheckMilliseconds)) {
            slice = kStopCheckMilliseconds;
        }
        int ready = platform::WaitSockets(handles, count, forWriting, slice);
        if (ready >= 0) {
            return ready + 1;
        }
        if (ready != platform::kWaitTimedOut) {
            return 0;
        }
    }
}

}  // namespace qvex
