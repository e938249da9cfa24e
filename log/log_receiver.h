#pragma once

#include <atomic>
#include <thread>

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
    // Signals the queue, waits for the thread and closes the queue. Lines still pending
    // are dropped.
    void Stop();

    void SetLogging(bool on) { logging_.store(on, std::memory_order_relaxed); }
    void SetShowCommands(bool on) { showCommands_.store(on, std::memory_order_relaxed); }
    void SetShowExtended(bool on) { showExtended_.store(on, std::memory_order_relaxed); }
    bool showCommands() const { return showCommands_.load(std::memory_order_relaxed); }
    bool showExtended() const { return showExtended_.load(std::memory_order_relaxed); }

  private:
    void Run();
    void Deliver(char kind, const char* text, uint32_t length);

    SharedHeap& heap_;
    LogView& view_;
    QueueId queue_ = 0;
    std::thread thread_;
    std::atomic<bool> logging_{true};
    std::atomic<bool> showCommands_{true};
    std::atomic<bool> showExtended_{true};
};

}  // namespace qvex
