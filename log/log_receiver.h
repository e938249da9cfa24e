#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <thread>
#include <utility>

#include "state/shared_heap.h"

namespace qvex {

class LogView;

// The thread that takes log lines off the bus, in the order they were published, and
// appends them to the current log. "Logging" off drops every line but the non-protocol
// ones; the display switches decide which appended lines are shown.
class LogReceiver {
  public:
    LogReceiver(SharedHeap& heap, LogView& view);
    LogReceiver(const LogReceiver&) = delete;
    LogReceiver& operator=(const LogReceiver&) = delete;
    ~LogReceiver();

    // Opens the queue and starts the thread; false when the queue cannot be opened.
    [[nodiscard]] bool Start();
    // Lets the thread deliver every line published before this call, then signals the
    // queue, waits for the thread and closes the queue. So a run that ends right after its
    // last line finds that line in the log. Lines published meanwhile may be dropped.
    void Stop();

    // Also hands every line that goes into the log to `echo`, on the receiver's thread, in
    // order ('C', 'E' or 'R' and the text). Set before Start.
    void SetEcho(std::function<void(char kind, std::string_view text)> echo) {
        echo_ = std::move(echo);
    }

    void SetLogging(bool on) { logging_.store(on, std::memory_order_relaxed); }
    void SetShowCommands(bool on) { showCommands_.store(on, std::memory_order_relaxed); }
    void SetShowExtended(bool on) { showExtended_.store(on, std::memory_order_relaxed); }
    bool showCommands() const { return showCommands_.load(std::memory_order_relaxed); }
    bool showExtended() const { return showExtended_.load(std::memory_order_relaxed); }

  private:
    void Run();
    // Returns once every message pending now has been delivered (or the thread ended).
    void WaitForPending() const;
    void Deliver(char kind, const char* text, uint32_t length);

    SharedHeap& heap_;
    LogView& view_;
    QueueId queue_ = 0;
    std::thread thread_;
    std::function<void(char kind, std::string_view text)> echo_;
    std::atomic<bool> running_{false};
    // Messages taken off the queue and handled (appended or dropped) by the thread.
    std::atomic<uint64_t> handled_{0};
    std::atomic<bool> logging_{true};
    std::atomic<bool> showCommands_{true};
    std::atomic<bool> showExtended_{true};
};

}  // namespace qvex
