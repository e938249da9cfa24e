#pragma once

#include <functional>
#include <memory>

namespace qvex::platform {

// The requests to stop that come from outside (SIGTERM, SIGINT), handed to a thread of our
// own so that a run can end as a regular exit does instead of dying on the spot. Make it
// before any other thread: the signals are held back in the threads made after it.
class StopSignals {
  public:
    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // Ends the waiting thread; the signals are no longer held back in this thread.
    ~StopSignals();

    // Starts the thread that calls onStop, on that thread, once for the first request.
    void Start(std::function<void()> onStop);
    // Ends that thread before what onStop reaches goes away; a later request stays pending
    // while the program ends anyway.
    void Finish();

  private:
    struct Waiter;
    std::unique_ptr<Waiter> waiter_;
};

}  // namespace qvex::platform
