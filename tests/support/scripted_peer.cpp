#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <utility>

namespace qvex::test {
namespace {

constexpr int kBacklog = 16;

uint32_t Loopback() {
    return platform::ParseDottedAddress("127.0.0.1");
}

bool SendWhole(platform::SocketHandle handle, std::string_view bytes) {
    while (!bytes.empty()) {
        long sent = platform::SendBytes(handle, bytes.data(), bytes.size(), 0);
        if (sent < 1) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::chrono::seconds stepBound) : stepBound_(stepBound) {
    platform::SocketHandle listener = platform::OpenStreamSocket();
    // Accepted connections inherit the option, so urgent bytes that arrive at once stay
    // in the stream too.
    if (listener == platform::kNoSocket || !platform::SetUrgentInline(listener, true) ||
        !platform::BindSocket(listener, Loopback(), 0) ||
        !platform::ListenSocket(listener, kBacklog) ||
        !platform::LocalName(listener, nullptr, &port_)) {
        platform::CloseSocket(listener);
        port_ = 0;
        return;
    }
    listener_ = listener;
}

ScriptedPeer::~ScriptedPeer() {
    {
        // Wakes a script blocked in accept or receive.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        platform::ShutdownSocket(listener_);
        for (const Connection& connection : connections_) {
            platform::ShutdownSocket(connection.handle);
        }
        watched_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (watchdog_.joinable()) {
        watchdog_.join();
    }
    // A reset leaves no port waiting in TIME_WAIT.
    for (Connection& connection : connections_) {
        platform::AbortSocket(std::exchange(connection.handle, platform::kNoSocket));
    }
    platform::CloseSocket(listener_);
}

ScriptedPeer& ScriptedPeer::Add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedPeer& ScriptedPeer::Send(std::string bytes) {
    return Add({Action::Send, std::move(bytes)});
}

ScriptedPeer& ScriptedPeer::SendLine(std::string_view text) {
    return Add({Action::Send, std::string(text) + "\r\n"});
}

ScriptedPeer& ScriptedPeer::ReadLine() {
    return Add({Action::ReadLine, {}});
}

ScriptedPeer& ScriptedPeer::ReadUntilLine(std::string line) {
    return Add({Action::ReadUntilLine, std::move(line)});
}

ScriptedPeer& ScriptedPeer::ReadBytes(size_t count) {
    return Add({Action::ReadBytes, {}, count});
}

ScriptedPeer& ScriptedPeer::ReadToEnd() {
    return Add({Action::ReadToEnd, {}});
}

ScriptedPeer& ScriptedPeer::Delay(std::chrono::milliseconds time) {
    return Add({Action::Delay, {}, 0, time});
}

ScriptedPeer& ScriptedPeer::Close() {
    return Add({Action::Close, {}});
}

ScriptedPeer& ScriptedPeer::Abort() {
    return Add({Action::Abort, {}});
}

ScriptedPeer& ScriptedPeer::AcceptNext() {
    return Add({Action::AcceptNext, {}});
}

ScriptedPeer& ScriptedPeer::UseConnection(size_t index) {
    return Add({Action::UseConnection, {}, index});
}

bool ScriptedPeer::Start(size_t runs) {
    if (!listening() || started_) {
        return false;
    }
    started_ = true;
    thread_ = std::thread([this, runs] { Run(runs); });
    watchdog_ = std::thread([this] { Watch(); });
    return true;
}

bool ScriptedPeer::Wait(std::chrono::seconds bound) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!started_ || !finished_.wait_for(lock, bound, [this] { return done_; })) {
            return false;
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    return true;
}

size_t ScriptedPeer::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

std::vector<std::string> ScriptedPeer::lines(size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < connections_.size() ? connections_[connection].lines
                                            : std::vector<std::string>{};
}

std::string ScriptedPeer::received(size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < connections_.size() ? connections_[connection].received : std::string{};
}

std::string ScriptedPeer::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void ScriptedPeer::Run(size_t runs) {
    for (size_t done = 0; done < runs; ++done) {
        std::vector<size_t> run;
        Await(done == 0 ? "a connection"
                        : "connection " + std::to_string(done + 1) + " of " + std::to_string(runs),
              connectionCount());
        if (!Accept(run)) {
            break;
        }
        size_t current = run.front();
        bool failed = false;
        for (const Step& step : steps_) {
            if (!Perform(step, run, current)) {
                failed = true;
                break;
            }
        }
        if (failed) {
            break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    finished_.notify_all();
    watched_.notify_all();
}

void ScriptedPeer::Await(std::string what, size_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    awaiting_ = std::move(what);
    awaitingConnection_ = connection;
    lastProgress_ = std::chrono::steady_clock::now();
    watched_.notify_all();
}

void ScriptedPeer::Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (done_ || stopping_) {
            return;
        }
        if (awaiting_.empty()) {
            watched_.wait(lock);
            continue;
        }
        // A received byte moves lastProgress_ on; the bound counts from the last one.
        if (std::chrono::steady_clock::now() < lastProgress_ + stepBound_) {
            watched_.wait_until(lock, lastProgress_ + stepBound_);
            continue;
        }
        break;
    }
    std::string message = "the scripted peer on port " + std::to_string(port_) + " waited " +
                          std::to_string(stepBound_.count()) + " s for " + awaiting_;
    if (awaitingConnection_ < connections_.size()) {
        // The end of what the client sent says where the conversation went wrong.
        std::string last = connections_[awaitingConnection_].received;
        while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) {
            last.pop_back();
        }
        last = last.substr(last.find_last_of('\n') + 1);
        message += " (connection " + std::to_string(awaitingConnection_) +
                   (last.empty() ? " sent nothing)" : " last sent \"" + last.substr(0, 80) + "\")");
    }
    error_ += message + "; ";
    // The script's blocked step and a client that waits for it both return.
    platform::ShutdownSocket(listener_);
    for (const Connection& connection : connections_) {
        platform::ShutdownSocket(connection.handle);
    }
    lock.unlock();
    ADD_FAILURE() << message;
}

bool ScriptedPeer::Perform(const Step& step, std::vector<size_t>& run, size_t& current) {
    const std::string where = " (connection " + std::to_string(current) + ")";
    switch (step.action) {
        case Action::AcceptNext:
            Await("another connection", run.front());
            break;
        case Action::Send:
            Await("the client to take " + std::to_string(step.text.size()) + " bytes", current);
            break;
        case Action::ReadLine:
            Await("a line", current);
            break;
        case Action::ReadUntilLine:
            Await("the line \"" + step.text + "\"", current);
            break;
        case Action::ReadBytes:
            Await(std::to_string(step.count) + " bytes", current);
            break;
        case Action::ReadToEnd:
            Await("the client to close", current);
            break;
        default:
            Await({}, current);
            break;
    }
    if (step.action == Action::AcceptNext) {
        if (!Accept(run)) {
            return false;
        }
        current = run.back();
        return true;
    }
    if (step.action == Action::UseConnection) {
        if (step.count >= run.size()) {
            return Failed("no connection " + std::to_string(step.count) + " in this run");
        }
        current = run[step.count];
        return true;
    }
    if (step.action == Action::Delay) {
        std::this_thread::sleep_for(step.time);
        return true;
    }
    if (HandleOf(current) == platform::kNoSocket) {
        return Failed("step on a closed connection" + where);
    }
    switch (step.action) {
        case Action::Send:
            return SendAll(current, step.text) || Failed("send failed" + where);
        case Action::ReadLine: {
            std::string line;
            return ReadOneLine(current, line) || Failed("no whole line" + where);
        }
        case Action::ReadUntilLine: {
            std::string line;
            do {
                if (!ReadOneLine(current, line)) {
                    return Failed("no line \"" + step.text + "\"" + where);
                }
            } while (line != step.text);
            return true;
        }
        case Action::ReadBytes:
            for (size_t taken = 0; taken < step.count; ++taken) {
                if (ReadByte(current) < 0) {
                    return Failed("fewer than " + std::to_string(step.count) + " bytes" + where);
                }
            }
            return true;
        case Action::ReadToEnd: {
            int byte;
            do {
                byte = ReadByte(current);
            } while (byte >= 0);
            return byte == -1 || Failed("receive failed" + where);
        }
        case Action::Close:
            CloseConnection(current, false);
            return true;
        case Action::Abort:
            CloseConnection(current, true);
            return true;
        default:
            return Failed("unknown step");
    }
}

bool ScriptedPeer::Accept(std::vector<size_t>& run) {
    platform::SocketHandle accepted = platform::AcceptSocket(listener_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (accepted == platform::kNoSocket) {
        if (!stopping_) {
            error_ += "accept failed; ";
        }
        return false;
    }
    (void)platform::SetUrgentInline(accepted, true);
    if (stopping_) {
        platform::ShutdownSocket(accepted);
    }
    connections_.push_back({accepted, {}, {}});
    run.push_back(connections_.size() - 1);
    return true;
}

platform::SocketHandle ScriptedPeer::HandleOf(size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_[connection].handle;
}

int ScriptedPeer::ReadByte(size_t connection) {
    unsigned char byte = 0;
    // Byte by byte: the peer never takes more than a step asks for, and reads stop at the
    // urgent mark anyway.
    long received = platform::ReceiveBytes(HandleOf(connection), &byte, 1);
    if (received < 0) {
        return -2;
    }
    if (received == 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[connection].received.push_back(static_cast<char>(byte));
    lastProgress_ = std::chrono::steady_clock::now();
    return byte;
}

bool ScriptedPeer::ReadOneLine(size_t connection, std::string& line) {
    line.clear();
    for (;;) {
        int byte = ReadByte(connection);
        if (byte < 0) {
            return false;
        }
        if (byte == '\n') {
            break;
        }
        line.push_back(static_cast<char>(byte));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[connection].lines.push_back(line);
    return true;
}

bool ScriptedPeer::SendAll(size_t connection, std::string_view bytes) {
    return SendWhole(HandleOf(connection), bytes);
}

void ScriptedPeer::CloseConnection(size_t connection, bool abort) {
    std::lock_guard<std::mutex> lock(mutex_);
    platform::SocketHandle handle =
        std::exchange(connections_[connection].handle, platform::kNoSocket);
    if (abort) {
        platform::AbortSocket(handle);
    } else {
        platform::ShutdownSocket(handle);
        platform::CloseSocket(handle);
    }
}

bool ScriptedPeer::Failed(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ += what + "; ";
    return false;
}

LoopbackPair::LoopbackPair() {
    platform::SocketHandle listener = platform::OpenStreamSocket();
    uint16_t port = 0;
    if (listener != platform::kNoSocket && platform::BindSocket(listener, Loopback(), 0) &&
        platform::ListenSocket(listener, 1) && platform::LocalName(listener, nullptr, &port) &&
        socket_.Create() && socket_.Connect("127.0.0.1", port)) {
        // The connection waits in the backlog, so one thread can take both ends.
        peer_ = platform::AcceptSocket(listener);
    }
    platform::CloseSocket(listener);
}

LoopbackPair::~LoopbackPair() {
    socket_.Abort();
    platform::AbortSocket(peer_);
}

bool LoopbackPair::PeerSend(std::string_view bytes) {
    return SendWhole(peer_, bytes);
}

std::string LoopbackPair::PeerReceive(size_t count) {
    std::string bytes(count, '\0');
    size_t taken = 0;
    while (taken < count) {
        long received = platform::ReceiveBytes(peer_, bytes.data() + taken, count - taken);
        if (received < 1) {
            break;
        }
        taken += static_cast<size_t>(received);
    }
    bytes.resize(taken);
    return bytes;
}

std::string LoopbackPair::PeerReceiveToEnd() {
    std::string bytes;
    char chunk[4096];
    long received;
    while ((received = platform::ReceiveBytes(peer_, chunk, sizeof chunk)) > 0) {
        bytes.append(chunk, static_cast<size_t>(received));
    }
    return bytes;
}

void LoopbackPair::PeerClose() {
    platform::ShutdownSocket(peer_);
    platform::CloseSocket(std::exchange(peer_, platform::kNoSocket));
}

void LoopbackPair::PeerAbort() {
    platform::AbortSocket(std::exchange(peer_, platform::kNoSocket));
}

}  // namespace qvex::test
