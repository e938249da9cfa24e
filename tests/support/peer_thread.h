#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvex::test {

// The life of a hand-written peer on loopback: a listening socket at an ephemeral port, one
// session run on its own thread, every socket the session opens (each wait on them bounded),
// and what failed. Destroying it shuts those sockets, which ends the session where it
// stands, and joins the thread: declare it as its owner's last member, so that it goes first.
class PeerThread {
  public:
    // Any one wait of a peer: a client that went quiet ends the session instead of the test.
    static constexpr int kWaitMilliseconds = 10000;

    PeerThread() = default;
    PeerThread(const PeerThread&) = delete;
    PeerThread& operator=(const PeerThread&) = delete;
    ~PeerThread();

    // Listens and runs `session` on its own thread; false (with error()) without a port.
    [[nodiscard]] bool Start(std::function<void()> session);
    // Waits until the session has returned; its sockets are closed by then.
    [[nodiscard]] bool Wait(std::chrono::seconds bound);
    uint16_t port() const { return port_; }
    int listener() const { return listener_; }

    // A connection on `listener` within the wait bound, tracked; -1 when none came or the
    // peer is going.
    int Accept(int listener);
    // `fd` (unless -1) joins the tracked sockets, its waits bounded; returns it.
    int Track(int fd);
    // Closes a tracked socket before the session's end.
    void Close(int fd);

    // Keeps the first failure, with the TLS library's reason when it queued one.
    void Fail(const std::string& what);
    std::string error() const;

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    bool stopping_ = false;
    std::vector<int> open_;
    std::string error_;
    std::thread thread_;
};

}  // namespace qvex::test
