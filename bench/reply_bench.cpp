// ReadReply over a loopback connection: replies per second for one-line and ten-line
// replies. A heap is installed so the reply lines are published as in the program (no log
// queue listens, so the figure is the reader's own cost plus the publish walk).
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "state/shared_heap.h"

namespace {

constexpr int kReplies = 2000;

std::string Reply(int lines) {
    std::string text;
    for (int line = 1; line < lines; ++line) {
        text += "250-Line " + std::to_string(line) + " of a multi-line reply\r\n";
    }
    return text + "250 Requested file action okay, completed.\r\n";
}

void BM_ReadReply(benchmark::State& state) {
    qvex::SharedHeap heap;
    if (!heap.CreateHeap()) {
        state.SkipWithError("heap");
        return;
    }
    qvex::InstallProcessHeap(&heap);
    const int lines = static_cast<int>(state.range(0));
    std::string batch;
    for (int index = 0; index < kReplies; ++index) {
        batch += Reply(lines);
    }
    qvex::TcpSocket listener;
    uint32_t address = 0;
    uint16_t port = 0;
    if (!listener.Create() || !listener.Listen() || !listener.LocalAddress(&address, &port)) {
        state.SkipWithError("listen");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        qvex::SessionWorker session;
        qvex::TcpSocket server;
        if (!session.control.Create() || !session.control.Connect("127.0.0.1", port) ||
            !listener.Accept(server) || !session.control.SetBuffer(4096)) {
            state.SkipWithError("connect");
            break;
        }
        std::thread feeder([&] {
            (void)server.SendAll(batch.data(), static_cast<long>(batch.size()));
            server.Close();
        });
        state.ResumeTiming();
        for (int index = 0; index < kReplies; ++index) {
            qvex::FtpReply reply;
            benchmark::DoNotOptimize(qvex::ReadReply(session, reply, true));
        }
        state.PauseTiming();
        feeder.join();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kReplies);
    qvex::InstallProcessHeap(nullptr);
}
BENCHMARK(BM_ReadReply)->Arg(1)->Arg(10)->UseRealTime();

}  // namespace
