#include "log/log_receiver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "log/log_kind.h"
#include "log/log_view.h"

namespace qvex {

LogReceiver::LogReceiver(SharedHeap& heap, LogView& view) : heap_(heap), view_(view) {}

LogReceiver::~LogReceiver() {
    Stop();
}

bool LogReceiver::Start() {
    if (queue_ != 0) {
        return true;
    }
    queue_ = heap_.OpenQueue(kLogPagePattern);
    if (queue_ == 0) {
        return false;
    }
    running_.store(true);
    thread_ = std::thread([this] {
        Run();
        running_.store(false);
    });
    return true;
}

// A signalled queue drops what is still pending, so the stop waits for the backlog first.
// Every message published before the call is either pending now or is the one message the
// thread may hold between taking it and appending it. Waiting until the queue is empty
// covers both (the thread finishes its message before it sees the signal); when other
// threads keep publishing, the queue may never empty, but once the thread has handled
// one more message than was pending, the backlog of the call is through as well.
void LogReceiver::WaitForPending() const {
    const uint64_t backlog = heap_.PendingCount(queue_);
    const uint64_t handledBefore = handled_.load();
    while (running_.load() && heap_.PendingCount(queue_) != 0 &&
           handled_.load() - handledBefore <= backlog) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LogReceiver::Stop() {
    if (queue_ == 0) {
        return;
    }
    WaitForPending();
    (void)heap_.SignalQueue(queue_, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    (void)heap_.CloseQueue(queue_);
    queue_ = 0;
}

void LogReceiver::Deliver(char kind, const char* text, uint32_t length) {
    if (!logging_.load(std::memory_order_relaxed) && kind != 'R') {
        return;
    }
    bool show = kind == 'R' || (kind == 'C' && showCommands()) || (kind == 'E' && showExtended());
    (void)view_.appendLogLine(text, length, show);
    if (echo_) {
        echo_(kind, std::string_view(text, length));
    }
}

void LogReceiver::Run() {
    char topic[8];
    char line[kMaxLogLine + 1];
    std::string oversized;
    for (;;) {
        uint32_t topicLength = sizeof topic;
        uint32_t lineLength = sizeof line;
        int result = heap_.Receive(queue_, topic, &topicLength, line, &lineLength, kWantBoth);
        const char* text = line;
        if (result == kWantTopic) {
            // Someone published a line longer than the sink allows: take it whole, keep
            // the first 511 bytes, and carry on rather than stop logging.
            oversized.resize(lineLength);
            result = heap_.Receive(queue_, topic, &topicLength, oversized.data(), &lineLength,
                                   kWantBoth);
            text = oversized.data();
            lineLength = std::min<uint32_t>(lineLength, kMaxLogLine + 1);
        }
        if (result != kWantBoth || topicLength < 5) {
            return;
        }
        const void* nul = std::memchr(text, '\0', lineLength);
        uint32_t length = nul == nullptr
                              ? lineLength
                              : static_cast<uint32_t>(static_cast<const char*>(nul) - text);
        Deliver(topic[3], text, std::min<uint32_t>(length, kMaxLogLine));
        handled_.fetch_add(1);
    }
}

}  // namespace qvex
