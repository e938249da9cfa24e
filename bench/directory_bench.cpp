// A real directory of 100,000 files listed from pyftpdlib into the listing cache (connect,
// anonymous login, CWD, PWD, PASV, LIST, QUIT, as curl does), with the heap bytes that the
// listing costs per cached entry. After the benchmarks, the same listing is fetched by
// `curl -s ftp://127.0.0.1:PORT/dir/` (a raw LIST that parses nothing) under hyperfine,
// against the same server in the same process run, when QVEX_MEASURE_CURL is set:
//
//   QVEX_MEASURE_CURL=1 directory_bench --benchmark_repetitions=10
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>

#include "engine/control_connection.h"
#include "engine/proxy.h"
#include "engine/session.h"
#include "tests/support/ftp_servers.h"
#include "transfer/listing_cache.h"
#include "transfer/navigation.h"

namespace {

// --- heap accounting: every operator new of this program is counted --------------------

std::atomic<int64_t> gLiveBytes{0};
std::atomic<int64_t> gPeakBytes{0};
constexpr size_t kHeader = 16;  // keeps the block aligned for any fundamental type

void CountAllocation(int64_t bytes) {
    int64_t live = gLiveBytes.fetch_add(bytes) + bytes;
    int64_t peak = gPeakBytes.load();
    while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {
    }
}

}  // namespace

// Kept out of line: inlined into a caller, the compiler would see free() given a pointer from
// operator new and warn.
[[gnu::noinline]] void* operator new(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    CountAllocation(static_cast<int64_t>(size));
    return static_cast<char*>(block) + kHeader;
}

[[gnu::noinline]] void operator delete(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    char* block = static_cast<char*>(pointer) - kHeader;
    gLiveBytes.fetch_sub(static_cast<int64_t>(*reinterpret_cast<std::size_t*>(block)));
    std::free(block);
}

[[gnu::noinline]] void operator delete(void* pointer, std::size_t) noexcept {
    operator delete(pointer);
}

namespace {

using qvex::test::FtpServer;

constexpr int kFiles = 100'000;

// The server and its folder "dir" of kFiles files, made once per process: creating them
// takes far longer than one listing.
FtpServer& Server() {
    static std::unique_ptr<FtpServer> server = [] {
        auto made = qvex::test::StartFtpServer(qvex::test::FtpServerKind::PyFtpd);
        if (made->started() && made->PutFolder("dir")) {
            char name[32];
            for (int index = 0; index < kFiles; ++index) {
                // 14 characters: the name stays inside the string, as most file names do.
                std::snprintf(name, sizeof name, "/file%06d.txt", index);
                std::ofstream(made->path("dir") + name) << index;
            }
        }
        return made;
    }();
    return *server;
}

void BM_ListDirectoryIntoCache(benchmark::State& state) {
    FtpServer& server = Server();
    if (!server.started()) {
        state.SkipWithError(server.problem().c_str());
        return;
    }
    double peakPerEntry = 0;
    double keptPerEntry = 0;
    int32_t entries = 0;
    for (auto _ : state) {
        const int64_t baseline = gLiveBytes.load();
        gPeakBytes.store(baseline);
        auto cache = std::make_unique<qvex::ListingCache>();
        int code = 0;
        int32_t id = -1;
        {
            qvex::SessionWorker session;
            session.request.user = FtpServer::kAnonymousUser;
            session.request.password = "bench@example.com";
            session.request.host = "127.0.0.1";
            session.request.port = std::to_string(server.port());
            session.passive = 1;
            if (!session.control.Create() || !session.control.SetNoDelay(1) ||
                !session.control.SetBuffer(4096) || !qvex::ConnectControl(session) ||
                !qvex::Login(session)) {
                state.SkipWithError("login failed");
                break;
            }
            session.currentDirectory = "/";
            qvex::SessionCommand command;
            command.text = "/dir";
            code = qvex::listDirectory(session, *cache, command, &id);
            (void)qvex::SendCommand(session, "QUIT");
            qvex::FtpReply reply;
            (void)qvex::ReadReply(session, reply, false);
            session.control.Close();
        }
        entries = cache->EntryCount(id);
        if (code != 226 || entries != kFiles) {
            state.SkipWithError("the listing did not arrive whole");
            break;
        }
        peakPerEntry = static_cast<double>(gPeakBytes.load() - baseline) / entries;
        keptPerEntry = static_cast<double>(gLiveBytes.load() - baseline) / entries;
        state.PauseTiming();
        cache.reset();
        state.ResumeTiming();
    }
    state.counters["entries"] = entries;
    state.counters["peak_bytes_per_entry"] = peakPerEntry;
    state.counters["kept_bytes_per_entry"] = keptPerEntry;
}
BENCHMARK(BM_ListDirectoryIntoCache)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// curl under hyperfine against the same server; hyperfine prints its own figures and writes
// the median to the JSON file named by QVEX_CURL_JSON (default /tmp/qvex_curl_list.json).
void MeasureCurl() {
    FtpServer& server = Server();
    if (!server.started()) {
        return;
    }
    const char* json = std::getenv("QVEX_CURL_JSON");
    std::string command = "hyperfine -N --warmup 1 --runs 10 --export-json ";
    command += json != nullptr ? json : "/tmp/qvex_curl_list.json";
    command += " 'curl -s -o /dev/null ftp://127.0.0.1:" + std::to_string(server.port()) + "/dir/'";
    std::printf("\n%s\n", command.c_str());
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) {
        std::printf("hyperfine failed\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    if (std::getenv("QVEX_MEASURE_CURL") != nullptr) {
        MeasureCurl();
    }
    benchmark::Shutdown();
    return 0;
}
