#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/tcp_socket.h"
#include "platform/socket.h"

namespace qvex::test {

// A scripted TCP peer on 127.0.0.1 (an ephemeral port) for exact protocol tests.
//
// The script is a list of steps built before Start and run on the peer's own thread for
// each accepted connection. The peer records every byte it receives on each connection,
// urgent data included (it stays in the byte stream, so a Telnet IAC IP / IAC DM sequence
// is seen where it was sent), and every line its read steps take. Read the records after
// Wait.
//
//     ScriptedPeer peer;
//     peer.SendLine("220 Ready").ReadLine().SendLine("331 Password").ReadUntilLine("QUIT")
//         .SendLine("221 Bye").Close();
//     ASSERT_TRUE(peer.Start());
//     ... a client connects to 127.0.0.1:peer.port() and talks ...
//     ASSERT_TRUE(peer.Wait());
//     EXPECT_EQ(peer.lines(0), (std::vector<std::string>{"USER anonymous", ..., "QUIT"}));
//
// A step that fails (the client closed early, a send failed) ends the script and is
// described by error(). Connections the script leaves open stay open until the peer is
// destroyed.
//
// A step that waits (for a connection, bytes, a line, the client's close, a send to be
// taken) and sees nothing move for `stepBound` fails the running test, naming what it
// waited for and the lines before, and shuts the peer's connections: a client that waits
// for the script in turn (a wrong conversation) then fails at once instead of hanging.
class ScriptedPeer {
  public:
    static constexpr std::chrono::seconds kStepBound{20};

    explicit ScriptedPeer(std::chrono::seconds stepBound = kStepBound);
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    ~ScriptedPeer();

    // Any bytes: partial lines, NUL, long lines, a 227 reply naming any address.
    ScriptedPeer& Send(std::string bytes);
    // The text followed by CR LF.
    ScriptedPeer& SendLine(std::string_view text);
    // One line from the client, recorded without its LF and a CR before it.
    ScriptedPeer& ReadLine();
    // Lines until one equals `line` (which is recorded too).
    ScriptedPeer& ReadUntilLine(std::string line);
    ScriptedPeer& ReadBytes(size_t count);
    // Everything until the client closes its side.
    ScriptedPeer& ReadToEnd();
    ScriptedPeer& Delay(std::chrono::milliseconds time);
    // Orderly end (FIN). Read what the client sent first: closing with unread bytes makes
    // the system send a reset instead.
    ScriptedPeer& Close();
    // Reset (RST): the client sees "connection reset".
    ScriptedPeer& Abort();
    // Waits for one more connection (a data connection) and makes it the current one.
    ScriptedPeer& AcceptNext();
    // Goes back to an earlier connection of the same run: 0 is the run's first one, 1 the
    // one the first AcceptNext took, ...
    ScriptedPeer& UseConnection(size_t index);

    // Runs the script once for each of the next `runs` connections, one after the other.
    [[nodiscard]] bool Start(size_t runs = 1);
    // Waits until the script has run; false when it has not within `bound`.
    [[nodiscard]] bool Wait(std::chrono::seconds bound = std::chrono::seconds(30));

    bool listening() const { return listener_ != platform::kNoSocket; }
    uint16_t port() const { return port_; }

    // Records, by connection in the order of acceptance.
    size_t connectionCount() const;
    std::vector<std::string> lines(size_t connection = 0) const;
    std::string received(size_t connection = 0) const;
    // What went wrong while the script ran; empty when every step did what it says.
    std::string error() const;

  private:
    enum class Action {
        Send,
        ReadLine,
        ReadUntilLine,
        ReadBytes,
        ReadToEnd,
        Delay,
        Close,
        Abort,
        AcceptNext,
        UseConnection,
    };
    struct Step {
        Action action;
        std::string text;
        size_t count = 0;
        std::chrono::milliseconds time{0};
    };
    struct Connection {
        platform::SocketHandle handle = platform::kNoSocket;
        std::string received;
        std::vector<std::string> lines;
    };

    ScriptedPeer& Add(Step step);
    void Run(size_t runs);
    // Runs beside the script: fails a step that waits for longer than the bound.
    void Watch();
    // The step about to wait, for Watch and its message.
    void Await(std::string what, size_t connection);
    bool Perform(const Step& step, std::vector<size_t>& run, size_t& current);
    bool Accept(std::vector<size_t>& run);
    platform::SocketHandle HandleOf(size_t connection) const;
    // One byte, or -1 when the client closed, -2 on error.
    int ReadByte(size_t connection);
    bool ReadOneLine(size_t connection, std::string& line);
    bool SendAll(size_t connection, std::string_view bytes);
    void CloseConnection(size_t connection, bool abort);
    bool Failed(const std::string& what);

    std::vector<Step> steps_;
    platform::SocketHandle listener_ = platform::kNoSocket;
    uint16_t port_ = 0;
    std::thread thread_;
    std::thread watchdog_;
    const std::chrono::seconds stepBound_;
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    // Wakes Watch when a step starts to wait and when the peer ends.
    std::condition_variable watched_;
    std::chrono::steady_clock::time_point lastProgress_;
    std::string awaiting_;
    size_t awaitingConnection_ = 0;
    bool started_ = false;
    bool done_ = false;
    bool stopping_ = false;
    std::vector<Connection> connections_;
    std::string error_;
};

// A TcpSocket connected over loopback TCP to a plain socket that the test drives itself,
// for feeding exact chunks and seeing exact bytes without a script.
class LoopbackPair {
  public:
    LoopbackPair();
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;
    ~LoopbackPair();

    bool connected() const { return peer_ != platform::kNoSocket && socket_.isOpen(); }
    TcpSocket& socket() { return socket_; }
    platform::SocketHandle peer() const { return peer_; }

    // Sends all bytes from the peer's end.
    [[nodiscard]] bool PeerSend(std::string_view bytes);
    // Up to `count` bytes, fewer only when the TcpSocket's side closed first.
    std::string PeerReceive(size_t count);
    std::string PeerReceiveToEnd();
    void PeerClose();
    void PeerAbort();

  private:
    // Both ends go with a reset, so that the many pairs of a test leave no ports waiting
    // in TIME_WAIT behind.
    class PairSocket : public TcpSocket {
      public:
        void Abort() { platform::AbortSocket(std::exchange(handle_, platform::kNoSocket)); }
    };

    PairSocket socket_;
    platform::SocketHandle peer_ = platform::kNoSocket;
};

}  // namespace qvex::test
