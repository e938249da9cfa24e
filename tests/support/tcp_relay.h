#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qvex::test {

// A relay on 127.0.0.1 (an ephemeral port) that passes each connection on to
// 127.0.0.1:targetPort and the bytes both ways, until a test cuts every connection at
// once: a control connection then breaks while the server behind it keeps running.
//
//     TcpRelay relay(server->port());
//     ASSERT_TRUE(relay.listening()) << relay.problem();
//     ... a client logs in to 127.0.0.1:relay.port() and starts a download ...
//     relay.Cut();
//     ... the client sees "connection reset"; the server saw one too ...
//
// Connections made after a cut are relayed as before. A connection the target refuses is
// reset. Everything still open is closed on destruction.
class TcpRelay {
  public:
    enum class Ending {
        // Both ends see "connection reset" (RST).
        Reset,
        // Both ends see an orderly end (FIN), as if the other side had closed.
        Close,
    };

    explicit TcpRelay(uint16_t targetPort);
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;
    ~TcpRelay();

    bool listening() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    // Why the relay is not listening.
    const char* problem() const { return problem_; }

    // Ends every relayed connection and returns once they are closed.
    void Cut(Ending ending = Ending::Reset);

    // Connections accepted so far, relayed or not.
    size_t connectionCount() const { return accepted_.load(); }
    // Bytes passed on so far, towards the target and back from it.
    uint64_t bytesToTarget() const { return toTarget_.load(); }
    uint64_t bytesFromTarget() const { return fromTarget_.load(); }

  private:
    struct Link;

    void Run();

    uint16_t targetPort_;
    int listener_ = -1;
    // Wakes the relay's thread for a cut or the end.
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    const char* problem_ = "";
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable cutDone_;
    uint64_t cutsAsked_ = 0;
    uint64_t cutsDone_ = 0;
    Ending ending_ = Ending::Reset;
    bool stopping_ = false;

    std::atomic<size_t> accepted_{0};
    std::atomic<uint64_t> toTarget_{0};
    std::atomic<uint64_t> fromTarget_{0};
};

}  // namespace qvex::test
