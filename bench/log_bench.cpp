// Log lines end to end: the sink publishes, the receiver thread takes each line off the bus
// and appends it to the current log.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "log/log_receiver.h"
#include "log/log_sink.h"
#include "log/log_view.h"
#include "state/shared_heap.h"

namespace {

constexpr int kBatch = 20000;

void BM_LogLinesEndToEnd(benchmark::State& state) {
    qvex::SharedHeap heap;
    qvex::LogView view;
    if (!heap.CreateHeap() || !view.MapMemory()) {
        state.SkipWithError("set-up");
        return;
    }
    qvex::LogReceiver receiver(heap, view);
    if (!receiver.Start()) {
        state.SkipWithError("receiver");
        return;
    }
    const std::string line = "... " + std::string(96, 'x');  // 100 bytes
    const char* header[] = {"[header line 1]", "[header line 2]"};
    for (const char* text : header) {
        qvex::postLogLine(heap, "LogRaw", text, nullptr);
    }
    while (view.displayedCount() < 2) {
        std::this_thread::yield();
    }
    for (auto _ : state) {
        uint32_t target = view.usedLength() + kBatch * 102;
        for (int sent = 0; sent < kBatch; ++sent) {
            qvex::postLogLine(heap, "LogExt", line.c_str(), nullptr);
        }
        while (view.usedLength() < target) {
            std::this_thread::yield();
        }
        state.PauseTiming();
        view.Wipe();  // keep the log from growing without bound across iterations
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    receiver.Stop();
}
BENCHMARK(BM_LogLinesEndToEnd)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
