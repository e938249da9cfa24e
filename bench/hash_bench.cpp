// Hash-sum speed: one worker hashing one file with each algorithm, and four files with
// "PerCPUMD5" on against off. The files are made at start-up and are small unless asked for:
//   QVEX_HASH_BENCH_BYTES         size of the single file (default 4 MiB)
//   QVEX_HASH_BENCH_PERCPU_BYTES  size of each of the four files (default 1 MiB)
//   QVEX_HASH_BENCH_DIR           where to put them and keep them (for other tools to read the
//                                 same files); without it a temporary folder, removed at exit
// Each benchmark also shows the process's peak resident memory, which must not grow with the
// file size. Three more split one worker's time into its parts: the digest alone over a
// buffer that stays in the processor's cache (what no change to the reading can beat), the
// reading alone, and HashFile with the hashing thread reading against a reader thread.
#include <benchmark/benchmark.h>

#include <crypto++/cpu.h>
#include <crypto++/cryptlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/local_file.h"
#include "state/shared_heap.h"
#include "sums/hash_algorithm.h"
#include "sums/hash_file.h"
#include "sums/hash_job.h"

namespace {

namespace fs = std::filesystem;

uint64_t SizeFromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 10);
}

// User and system time of the whole process (every thread), in seconds.
double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Bytes per second of processor time: on a shared machine this compares with the tools'
// user + system time where the wall clock cannot.
void SetCpuRate(benchmark::State& state, int64_t bytes, double cpuSeconds) {
    if (cpuSeconds > 0) {
        state.counters["MiB_per_cpu_s"] = static_cast<double>(bytes) / 1048576.0 / cpuSeconds;
    }
}

double PeakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss);
}

// Writes `size` bytes of a cheap non-repeating pattern, unless the file already has that size.
bool MakeFile(const std::string& path, uint64_t size, uint32_t seed) {
    std::error_code error;
    if (fs::is_regular_file(path, error) && fs::file_size(path, error) == size) {
        return true;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    std::vector<uint32_t> block(1 << 18);
    uint32_t state = seed * 2654435761u + 1;
    bool ok = true;
    for (uint64_t left = size; ok && left > 0;) {
        for (uint32_t& word : block) {
            state = state * 1664525u + 1013904223u;
            word = state;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size() * 4));
        ok = std::fwrite(block.data(), 1, n, file) == n;
        left -= n;
    }
    return std::fclose(file) == 0 && ok;
}

class BenchFiles {
  public:
    BenchFiles() {
        const char* keep = std::getenv("QVEX_HASH_BENCH_DIR");
        if (keep != nullptr && *keep != '\0') {
            folder_ = keep;
        } else {
            folder_ =
                (fs::temp_directory_path() / ("qvex-hash-bench-" + std::to_string(::getpid())))
                    .string();
            remove_ = true;
        }
        std::error_code error;
        fs::create_directories(folder_, error);
        single_ = folder_ + "/single.bin";
        ok_ = MakeFile(single_, SizeFromEnvironment("QVEX_HASH_BENCH_BYTES", 4u << 20), 1);
        uint64_t each = SizeFromEnvironment("QVEX_HASH_BENCH_PERCPU_BYTES", 1u << 20);
        for (uint32_t i = 0; i < 4; ++i) {
            std::string name = "four-" + std::to_string(i) + ".bin";
            four_.push_back(name);
            ok_ = ok_ && MakeFile(folder_ + "/" + name, each, 10 + i);
        }
    }
    ~BenchFiles() {
        if (remove_) {
            std::error_code error;
            fs::remove_all(folder_, error);
        }
    }

    bool ok() const { return ok_; }
    const std::string& folder() const { return folder_; }
    const std::string& single() const { return single_; }
    const std::vector<std::string>& four() const { return four_; }

  private:
    std::string folder_;
    std::string single_;
    std::vector<std::string> four_;
    bool remove_ = false;
    bool ok_ = false;
};

BenchFiles& Files() {
    static BenchFiles files;
    return files;
}

// Runs one job to its end; the bytes it hashed, or -1.
int64_t RunJob(qvex::SharedHeap& heap, const qvex::HashRequest& request, bool perCpu) {
    qvex::HashJobRunner runner;
    qvex::HashJob job(heap, runner);
    if (job.Start(request, perCpu) != qvex::HashStartResult::Started) {
        return -1;
    }
    runner.RunUntilDone(job);
    if (job.state() != qvex::HashJobState::Finished || job.unknownCount() != 0) {
        return -1;
    }
    return static_cast<int64_t>(job.totalBytes());
}

// One worker, one file: what a single hashing thread achieves, the bus included.
void BM_OneWorker(benchmark::State& state) {
    auto algorithm = static_cast<qvex::HashAlgorithm>(state.range(0));
    state.SetLabel(qvex::InfoOf(algorithm).name);
    if (!Files().ok()) {
        state.SkipWithError("benchmark files could not be written");
        return;
    }
    qvex::SharedHeap heap;
    if (!heap.CreateHeap()) {
        state.SkipWithError("heap");
        return;
    }
    qvex::HashRequest request{
        qvex::HashMode::Compute, qvex::InfoOf(algorithm).letter, "", {Files().single()}};
    int64_t bytes = 0;
    double cpuStart = ProcessCpuSeconds();
    for (auto _ : state) {
        int64_t hashed = RunJob(heap, request, false);
        if (hashed < 0) {
            state.SkipWithError("job failed");
            return;
        }
        bytes += hashed;
    }
    SetCpuRate(state, bytes, ProcessCpuSeconds() - cpuStart);
    state.SetBytesProcessed(bytes);
    state.counters["peak_rss_KiB"] = PeakResidentKiB();
}
BENCHMARK(BM_OneWorker)->DenseRange(1, 7)->UseRealTime()->Unit(benchmark::kMillisecond);

// HashFile alone (no job, no bus) on the single file, read by the hashing thread against a
// reader thread: what the read-ahead gains where a processor is free for it.
class NoProgress final : public qvex::HashProgress {
  public:
    bool Report(int) override { return false; }
};

void BM_HashFileReading(benchmark::State& state) {
    auto algorithm = static_cast<qvex::HashAlgorithm>(state.range(0));
    auto reading = state.range(1) != 0 ? qvex::HashReading::ReadAhead : qvex::HashReading::InLine;
    state.SetLabel(std::string(qvex::InfoOf(algorithm).name) +
                   (reading == qvex::HashReading::ReadAhead ? " read-ahead" : " in line"));
    if (!Files().ok()) {
        state.SkipWithError("benchmark files could not be written");
        return;
    }
    int64_t bytes = 0;
    double cpuStart = ProcessCpuSeconds();
    for (auto _ : state) {
        NoProgress progress;
        qvex::HashFileResult result =
            qvex::HashFile(Files().single(), algorithm, progress, reading);
        if (!result.ok) {
            state.SkipWithError("hash failed");
            return;
        }
        bytes += static_cast<int64_t>(result.bytes);
    }
    SetCpuRate(state, bytes, ProcessCpuSeconds() - cpuStart);
    state.SetBytesProcessed(bytes);
    state.counters["peak_rss_KiB"] = PeakResidentKiB();
}
BENCHMARK(BM_HashFileReading)
    ->ArgsProduct({{1, 2, 6}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Four files, "PerCPUMD5" off (one worker) against on (one per processor, at most 4).
void BM_FourFilesMd5(benchmark::State& state) {
    bool perCpu = state.range(0) != 0;
    state.SetLabel(perCpu ? "PerCPUMD5 on" : "PerCPUMD5 off");
    if (!Files().ok()) {
        state.SkipWithError("benchmark files could not be written");
        return;
    }
    qvex::SharedHeap heap;
    if (!heap.CreateHeap()) {
        state.SkipWithError("heap");
        return;
    }
    qvex::HashRequest request{qvex::HashMode::Compute, 'm', Files().folder(), Files().four()};
    int64_t bytes = 0;
    double cpuStart = ProcessCpuSeconds();
    for (auto _ : state) {
        int64_t hashed = RunJob(heap, request, perCpu);
        if (hashed < 0) {
            state.SkipWithError("job failed");
            return;
        }
        bytes += hashed;
    }
    SetCpuRate(state, bytes, ProcessCpuSeconds() - cpuStart);
    state.SetBytesProcessed(bytes);
    state.counters["workers"] = static_cast<double>(
        qvex::HashWorkerCount(4, perCpu, std::max(1u, std::thread::hardware_concurrency())));
    state.counters["peak_rss_KiB"] = PeakResidentKiB();
}
BENCHMARK(BM_FourFilesMd5)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// One read block, page-aligned like a worker's.
constexpr std::align_val_t kPageAlignment{4096};
struct PageFree {
    void operator()(uint8_t* block) const { ::operator delete[](block, kPageAlignment); }
};
using PageBlock = std::unique_ptr<uint8_t[], PageFree>;
PageBlock NewPageBlock() {
    return PageBlock(new (kPageAlignment) uint8_t[qvex::kHashReadSize]);
}

// The digest alone: the same 16 KiB page-aligned block fed as often as the single file has
// blocks, so the speed is the library's and nothing else's.
void BM_DigestInMemory(benchmark::State& state) {
    auto algorithm = static_cast<qvex::HashAlgorithm>(state.range(0));
    PageBlock block = NewPageBlock();
    for (size_t i = 0; i < qvex::kHashReadSize; ++i) {
        block[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    const uint64_t blocks =
        SizeFromEnvironment("QVEX_HASH_BENCH_BYTES", 4u << 20) / qvex::kHashReadSize;
    std::array<uint8_t, qvex::kMaxDigestBytes> digest{};
    int64_t bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<CryptoPP::HashTransformation> hash = qvex::CreateDigest(algorithm);
        for (uint64_t i = 0; i < blocks; ++i) {
            hash->Update(block.get(), qvex::kHashReadSize);
        }
        hash->Final(digest.data());
        benchmark::DoNotOptimize(digest);
        bytes += static_cast<int64_t>(blocks * qvex::kHashReadSize);
    }
    state.SetBytesProcessed(bytes);
    // The implementation Crypto++ names for itself (its SHA-512 says "SSE2" on x86-64, where
    // the code it runs is plain C++).
    state.SetLabel(std::string(qvex::InfoOf(algorithm).name) + " (" +
                   qvex::CreateDigest(algorithm)->AlgorithmProvider() + ")");
}
BENCHMARK(BM_DigestInMemory)->DenseRange(1, 7)->UseRealTime()->Unit(benchmark::kMillisecond);

// The reading alone: the single file in 16 KiB blocks into one page-aligned buffer, as a
// worker reads it, without a digest.
void BM_ReadOnly(benchmark::State& state) {
    if (!Files().ok()) {
        state.SkipWithError("benchmark files could not be written");
        return;
    }
    PageBlock block = NewPageBlock();
    int64_t bytes = 0;
    for (auto _ : state) {
        qvex::platform::LocalFile file;
        if (!file.OpenForReading(Files().single())) {
            state.SkipWithError("open");
            return;
        }
        long got = 0;
        while ((got = file.Read(block.get(), qvex::kHashReadSize)) > 0) {
            bytes += got;
        }
        if (got < 0) {
            state.SkipWithError("read");
            return;
        }
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReadOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

// Whether Crypto++ found the processor's SHA instructions (it chooses at run time).
const bool kContext = [] {
    benchmark::AddCustomContext("cryptopp_sha_ni", CryptoPP::HasSHA() ? "yes" : "no");
    benchmark::AddCustomContext("hash_bench_single_bytes", std::to_string(SizeFromEnvironment(
                                                               "QVEX_HASH_BENCH_BYTES", 4u << 20)));
    return true;
}();

}  // namespace
