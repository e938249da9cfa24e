// The host field completes on every keystroke, so matching a list of 10,000 hosts must stay
// well under a millisecond. Every counted connection and transfer commits to the shared
// statistics file, taking the named lock each time.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/registry_file.h"
#include "state/hosts/host_completion.h"
#include "state/hosts/host_list.h"
#include "state/settings.h"
#include "state/statistics_database.h"

namespace {

constexpr int kHosts = 10000;

// The forms a real list mixes: bare hosts, "ftp." hosts, full URLs with and without "ftp.".
std::vector<std::string> HostMix() {
    std::vector<std::string> urls;
    urls.reserve(kHosts);
    for (int n = 0; n < kHosts; ++n) {
        const std::string name = "host" + std::to_string(n * 7919 % kHosts) + ".example";
        switch (n % 4) {
            case 0:
                urls.push_back(name + ".org");
                break;
            case 1:
                urls.push_back("ftp." + name + ".net");
                break;
            case 2:
                urls.push_back("ftp://" + name + ".com:2121/pub/");
                break;
            default:
                urls.push_back("ftp://ftp." + name + ".de/mirror/;type=i");
                break;
        }
    }
    return urls;
}

// What a user types, one keystroke after the other, down to a single match.
const std::vector<std::string> kKeystrokes = {
    "h", "ho", "hos", "host", "host4", "host42", "host421", "host4217", "host4217.",
};

void BM_CompleteKeystroke(benchmark::State& state) {
    const qvex::HostCompleter completer(HostMix());
    size_t next = 0;
    size_t matches = 0;
    for (auto _ : state) {
        const std::vector<size_t> found = completer.Match(kKeystrokes[next]);
        matches += found.size();
        benchmark::DoNotOptimize(found.data());
        next = (next + 1) % kKeystrokes.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["matches/keystroke"] =
        benchmark::Counter(static_cast<double>(matches) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_CompleteKeystroke)->Unit(benchmark::kMicrosecond);

// The completion list is rebuilt whenever the host list changes.
void BM_CompleterReset(benchmark::State& state) {
    const std::vector<std::string> urls = HostMix();
    qvex::HostCompleter completer;
    for (auto _ : state) {
        completer.Reset(urls);
        benchmark::DoNotOptimize(completer.urls().data());
    }
}
BENCHMARK(BM_CompleterReset)->Unit(benchmark::kMillisecond);

// A temporary data folder, so nothing reaches the user's own files.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qvex-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern + "/";
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void BM_CommitHostStatistics(benchmark::State& state) {
    TempFolder folder;
    qvex::platform::RegistryFile registry(folder.path() + "registry.reg");
    qvex::Settings settings(registry);
    settings.SetInt("Statistics", 1);
    qvex::StatisticsDatabase statistics(folder.path(), settings);
    // A file with other hosts in it, as after some use.
    for (int n = 0; n < 20; ++n) {
        (void)statistics.FindHostRecord("other" + std::to_string(n) + ".example", true);
    }
    statistics.BeginHostStatistics("ftp.example.org");
    if (folder.path().empty() || statistics.currentRecord() == 0) {
        state.SkipWithError("no statistics file");
        return;
    }
    for (auto _ : state) {
        statistics.AccumulateTransfer(4096, 3);
        statistics.CommitHostStatistics();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_CommitHostStatistics)->Unit(benchmark::kMicrosecond);

// Sorting 10,000 entries by host for the alphabetic view.
void BM_SortHostListByHost(benchmark::State& state) {
    TempFolder folder;
    qvex::platform::RegistryFile registry(folder.path() + "registry.reg");
    qvex::Settings settings(registry);
    settings.SetInt("HostUrlSort", 1);
    qvex::HostList hosts(registry, settings);
    std::vector<qvex::HostEntry> entries;
    for (const std::string& url : HostMix()) {
        entries.push_back({url, "", "", 0, 0});
    }
    (void)hosts.SaveHostEntries(entries);
    int view = qvex::kHostViewAlphabetic;
    for (auto _ : state) {
        hosts.SortHostList(view);
        view = view == qvex::kHostViewAlphabetic ? qvex::kHostViewMostRecent
                                                 : qvex::kHostViewAlphabetic;
    }
}
BENCHMARK(BM_SortHostListByHost)->Unit(benchmark::kMillisecond);

}  // namespace
