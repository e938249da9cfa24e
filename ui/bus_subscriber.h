#pragma once

#include <functional>
#include <string>
#include <thread>

#include "state/shared_heap.h"

namespace qvex {

// One bus queue with its receiving thread: every message whose topic matches the pattern is
// handed to `deliver` on that thread, topic and text cut at their first NUL. A message
// longer than the usual buffer is taken whole rather than ending the thread.
class BusSubscriber {
  public:
    using Deliver = std::function<void(std::string topic, std::string text)>;

    explicit BusSubscriber(SharedHeap& heap) : heap_(heap) {}
    BusSubscriber(const BusSubscriber&) = delete;
    BusSubscriber& operator=(const BusSubscriber&) = delete;
    ~BusSubscriber() { Stop(); }

    // Opens the queue and starts the thread; false when no queue could be opened.
    bool Start(const char* pattern, Deliver deliver);
    // Tells the thread to end, without waiting for it.
    void Signal();
    // Signals the queue, waits for the thread, closes the queue.
    void Stop();

  private:
    void Receive();

    SharedHeap& heap_;
    QueueId queue_ = 0;
    Deliver deliver_;
    std::thread thread_;
};

}  // namespace qvex
