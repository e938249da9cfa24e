#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <utility>

namespace qvex::platform {

struct StopSignals::Waiter {
    sigset_t set{};
    sigset_t previous{};
    std::thread thread;
    std::atomic<bool> ending{false};
    std::atomic<bool> waiting{true};
};

StopSignals::StopSignals() : waiter_(std::make_unique<Waiter>()) {
    sigemptyset(&waiter_->set);
    sigaddset(&waiter_->set, SIGTERM);
    sigaddset(&waiter_->set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &waiter_->set, &waiter_->previous);
}

StopSignals::~StopSignals() {
    Finish();
    pthread_sigmask(SIG_SETMASK, &waiter_->previous, nullptr);
}

void StopSignals::Finish() {
    if (waiter_->thread.joinable()) {
        // The waiting thread takes this signal itself and sees that nobody asked to stop.
        waiter_->ending = true;
        if (waiter_->waiting) {
            pthread_kill(waiter_->thread.native_handle(), SIGTERM);
        }
        waiter_->thread.join();
    }
}

void StopSignals::Start(std::function<void()> onStop) {
    Waiter* waiter = waiter_.get();
    waiter->thread = std::thread([waiter, onStop = std::move(onStop)] {
        int number = 0;
        while (sigwait(&waiter->set, &number) != 0) {
        }
        waiter->waiting = false;
        if (!waiter->ending) {
            onStop();
        }
    });
}

}  // namespace qvex::platform
