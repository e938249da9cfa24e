// Downloads and uploads of one large file through a real server on loopback, beside curl
// doing the same against the same server in the same run, with the progress traffic a
// download makes on the bus.
//
//   QVEX_TRANSFER_BENCH_BYTES=1073741824 QVEX_TRANSFER_BENCH_SERVER=vsftpd
//       transfer_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Without the variables it moves 8 MiB through pyftpdlib (a quick check that it works).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "engine/session.h"
#include "state/shared_heap.h"
#include "tests/support/ftp_servers.h"
#include "transfer/download.h"
#include "transfer/listing_cache.h"
#include "transfer/navigation.h"
#include "transfer/transfer_type.h"
#include "transfer/upload.h"

namespace {

namespace fs = std::filesystem;
using qvex::test::FtpServer;

uint64_t FileBytes() {
    const char* value = std::getenv("QVEX_TRANSFER_BENCH_BYTES");
    return value != nullptr ? std::strtoull(value, nullptr, 10) : 8ull << 20;
}

qvex::test::FtpServerKind ServerKind() {
    const char* value = std::getenv("QVEX_TRANSFER_BENCH_SERVER");
    return value != nullptr && std::string(value) == "vsftpd" ? qvex::test::FtpServerKind::Vsftpd
                                                              : qvex::test::FtpServerKind::PyFtpd;
}

// The server, its big file, a local copy to upload and a folder to download into.
struct Bench {
    Bench() {
        server = qvex::test::StartFtpServer(ServerKind());
        if (!server->started()) {
            return;
        }
        source = local.path("source.bin");
        std::ofstream out(source, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (size_t index = 0; index < block.size(); ++index) {
            block[index] = static_cast<char>((index * 131) ^ (index >> 7));
        }
        for (uint64_t written = 0; written < FileBytes(); written += block.size()) {
            out.write(block.data(), static_cast<std::streamsize>(
                                        std::min<uint64_t>(block.size(), FileBytes() - written)));
        }
        out.close();
        fs::copy_file(source, server->path("big.bin"));
        fs::create_directories(local.path("down"));
        ready = true;
    }

    std::string Url(const std::string& name) const {
        return "ftp://" + std::string(FtpServer::kUser) + ":" + FtpServer::kPassword +
               "@127.0.0.1:" + std::to_string(server->port()) + "/" + name;
    }

    std::unique_ptr<FtpServer> server;
    qvex::test::TempFolder local;
    std::string source;
    bool ready = false;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

// A logged-in session with the root listed.
struct Session {
    explicit Session(const Bench& bench) {
        (void)heap.CreateHeap();
        qvex::InstallProcessHeap(&heap);
        progress = heap.OpenQueue("^(AppProgress|Xfer)$");
        session.request.user = FtpServer::kUser;
        session.request.password = FtpServer::kPassword;
        session.passive = 1;
        ok = session.control.Create() &&
             session.control.Connect("127.0.0.1", bench.server->port()) &&
             session.control.SetBuffer(4096) && qvex::Login(session) &&
             qvex::printWorkingDirectory(session, session.workingDirectory) == 257;
        qvex::SessionCommand list;
        list.b = qvex::kListRefresh;
        ok = ok && qvex::listDirectory(session, cache, list, &root) / 100 == 2;
    }
    ~Session() {
        session.control.Close();
        (void)heap.CloseQueue(progress);
        qvex::InstallProcessHeap(nullptr);
    }

    // Takes the progress messages off the bus and gives their count.
    int64_t DrainProgress() {
        int64_t count = 0;
        char topic[32];
        char payload[512];
        while (heap.PendingCount(progress) > 0) {
            uint32_t topicLength = sizeof topic;
            uint32_t payloadLength = sizeof payload;
            (void)heap.Receive(progress, topic, &topicLength, payload, &payloadLength,
                               qvex::kWantBoth);
            ++count;
        }
        return count;
    }

    qvex::SharedHeap heap;
    qvex::QueueId progress = 0;
    qvex::SessionWorker session;
    qvex::ListingCache cache;
    int32_t root = -1;
    bool ok = false;
};

void BM_Download(benchmark::State& state) {
    Bench& bench = Shared();
    if (!bench.ready) {
        state.SkipWithError("no server");
        return;
    }
    Session session(bench);
    if (!session.ok) {
        state.SkipWithError("no session");
        return;
    }
    std::optional<qvex::RemoteEntry> entry =
        session.cache.Entry(session.root, session.cache.FindEntry(session.root, "big.bin"));
    int64_t messages = 0;
    for (auto _ : state) {
        (void)session.DrainProgress();
        int code = qvex::getFile(session.session, *entry, bench.local.path("down/big.bin"),
                                 static_cast<int32_t>(qvex::TransferType::Image));
        if (code != 226) {
            state.SkipWithError("download failed");
            break;
        }
        messages = session.DrainProgress();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(FileBytes()));
    state.counters["progress_msgs"] = static_cast<double>(messages);
}
BENCHMARK(BM_Download)->UseRealTime()->Unit(benchmark::kMillisecond);

// curl moving the same file with one command line per iteration.
void RunCurl(benchmark::State& state, const std::string& command) {
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(FileBytes()));
}

void BM_CurlDownload(benchmark::State& state) {
    Bench& bench = Shared();
    if (!bench.ready) {
        state.SkipWithError("no server");
        return;
    }
    RunCurl(state, "curl -s -o '" + bench.local.path("down/curl.bin") + "' '" +
                       bench.Url("big.bin") + "'");
}
BENCHMARK(BM_CurlDownload)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Upload(benchmark::State& state) {
    Bench& bench = Shared();
    if (!bench.ready) {
        state.SkipWithError("no server");
        return;
    }
    Session session(bench);
    if (!session.ok) {
        state.SkipWithError("no session");
        return;
    }
    for (auto _ : state) {
        int code = qvex::putFile(session.session, session.cache, session.root, bench.source,
                                 static_cast<int32_t>(qvex::TransferType::Image));
        if (code != 226) {
            state.SkipWithError("upload failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(FileBytes()));
}
BENCHMARK(BM_Upload)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlUpload(benchmark::State& state) {
    Bench& bench = Shared();
    if (!bench.ready) {
        state.SkipWithError("no server");
        return;
    }
    RunCurl(state, "curl -s -T '" + bench.source + "' '" + bench.Url("curl-up.bin") + "'");
}
BENCHMARK(BM_CurlUpload)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
