// One publisher thread and one subscriber thread passing 64-byte string messages, through
// the heap's message bus and through a plain mutex + deque + condition-variable queue.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "state/shared_heap.h"

namespace {

// Small enough that a subscriber running behind never exhausts the 4 MiB heap.
constexpr int kBatch = 20000;
const std::string kMessage(63, 'm');  // 64 bytes with its NUL

void BM_BusStringMessages(benchmark::State& state) {
    qvex::SharedHeap heap;
    if (!heap.CreateHeap()) {
        state.SkipWithError("heap");
        return;
    }
    // The other subscribers of the running program, none of which matches.
    const char* others[] = {"^App(Title|Progress)$", "^Xfer$", "^DirP$", "^Log(Cmd|Raw)$"};
    for (int index = 0; index < state.range(0); ++index) {
        (void)heap.OpenQueue(others[index % 4]);
    }
    qvex::QueueId queue = heap.OpenQueue("^Log(Cmd|Ext|Raw)$");
    for (auto _ : state) {
        std::thread subscriber([&] {
            char topic[16];
            char payload[512];
            for (int received = 0; received < kBatch; ++received) {
                uint32_t topicLength = sizeof topic;
                uint32_t payloadLength = sizeof payload;
                if (heap.Receive(queue, topic, &topicLength, payload, &payloadLength,
                                 qvex::kWantBoth) != qvex::kWantBoth) {
                    return;
                }
                benchmark::DoNotOptimize(payload);
            }
        });
        for (int sent = 0; sent < kBatch; ++sent) {
            (void)heap.PublishString("LogExt", kMessage.c_str());
        }
        subscriber.join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BusStringMessages)->Arg(0)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

class PlainQueue {
  public:
    void Push(const std::string& message) {
        {
            std::lock_guard guard(lock_);
            messages_.push_back(message);
        }
        wake_.notify_one();
    }
    std::string Pop() {
        std::unique_lock guard(lock_);
        wake_.wait(guard, [this] { return !messages_.empty(); });
        std::string message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::string> messages_;
};

void BM_PlainQueueStringMessages(benchmark::State& state) {
    PlainQueue queue;
    for (auto _ : state) {
        std::thread subscriber([&] {
            for (int received = 0; received < kBatch; ++received) {
                std::string message = queue.Pop();
                benchmark::DoNotOptimize(message.data());
            }
        });
        for (int sent = 0; sent < kBatch; ++sent) {
            queue.Push(kMessage);
        }
        subscriber.join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PlainQueueStringMessages)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
