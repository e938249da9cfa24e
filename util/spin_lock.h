#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace qvex {

// A one-word lock for very short critical sections (appending one log line). Waiters give
// up the processor between tries instead of burning it.
class SpinLock {
  public:
    void lock() {
        while (word_.exchange(1, std::memory_order_acquire) != 0) {
            std::this_thread::yield();
        }
    }
    bool try_lock() { return word_.exchange(1, std::memory_order_acquire) == 0; }
    void unlock() { word_.store(0, std::memory_order_release); }

  private:
    std::atomic<uint32_t> word_{0};
};

}  // namespace qvex
