// A site search over a tree the listing cache already holds costs no network traffic, so its
// speed is the speed of examining entries: reading them from the cache, matching the name,
// and going down into sub-folders. The tree here has 100,000 entries in 111 folders (ten
// folders of ten folders of files); the names are a mix of what file servers carry.
#include "search/site_search.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>

#include "search/search_pattern.h"
#include "transfer/listing_cache.h"

namespace {

using qvex::ListingCache;
using qvex::RemoteEntry;

constexpr int kBranches = 10;
constexpr int kEntries = 100'000;
constexpr int kLeaves = kBranches * kBranches;
// Files in the leaf folders, so that folders and files together make kEntries.
constexpr int kFiles = kEntries - kBranches - kLeaves;

constexpr std::array<const char*, 8> kStems = {
    "main", "index", "img_", "photo", "README", "linux-2.6.", "notes", "ChangeLog",
};
constexpr std::array<const char*, 8> kExtensions = {
    ".html", ".htm", ".png", ".gif", ".txt", ".tar.bz2", ".GIF", "",
};

std::string FileName(int serial) {
    return std::string(kStems[static_cast<size_t>(serial) % kStems.size()]) +
           std::to_string(serial % 97) +
           kExtensions[static_cast<size_t>(serial) / kStems.size() % kExtensions.size()];
}

int32_t AddFolder(ListingCache& cache, const std::string& path, int32_t parent, int32_t position) {
    return cache.FindOrCreate(path, parent, position, false);
}

void AddEntry(ListingCache& cache, int32_t id, std::string name, bool directory) {
    RemoteEntry entry;
    entry.name = std::move(name);
    entry.flags = directory ? qvex::kEntryDirectory : 0;
    entry.size = 4096;
    (void)cache.AppendEntry(id, std::move(entry));
}

// Built once: the cache is only read by the searches.
struct Tree {
    Tree() {
        root = AddFolder(cache, "/pub", qvex::kNoDirectory, qvex::kNoPosition);
        int serial = 0;
        for (int i = 0; i < kBranches; ++i) {
            AddEntry(cache, root, "dir" + std::to_string(i), true);
        }
        for (int i = 0; i < kBranches; ++i) {
            std::string middlePath = "/pub/dir" + std::to_string(i);
            int32_t middle = AddFolder(cache, middlePath, root, i);
            for (int j = 0; j < kBranches; ++j) {
                AddEntry(cache, middle, "sub" + std::to_string(j), true);
            }
            for (int j = 0; j < kBranches; ++j) {
                int32_t leaf = AddFolder(cache, middlePath + "/sub" + std::to_string(j), middle, j);
                const int leafNumber = i * kBranches + j;
                const int files = kFiles / kLeaves + (leafNumber < kFiles % kLeaves ? 1 : 0);
                for (int k = 0; k < files; ++k) {
                    AddEntry(cache, leaf, FileName(serial++), false);
                }
                cache.MarkComplete(leaf, 0, false);
            }
            cache.MarkComplete(middle, 0, false);
        }
        cache.MarkComplete(root, 0, false);
        entries = kBranches + kBranches * kBranches + serial;
    }
    ListingCache cache;
    int32_t root = -1;
    int64_t entries = 0;
};

Tree& SharedTree() {
    static Tree tree;
    return tree;
}

class CountMatches : public qvex::SearchObserver {
  public:
    void OnSearchMatch(int32_t, int32_t) override { ++matches; }
    void OnSearchEnded(int32_t folderCount, int32_t fileCount) override {
        folders = folderCount;
        files = fileCount;
    }
    int64_t matches = 0;
    int32_t folders = 0;
    int32_t files = 0;
};

void SearchTree(benchmark::State& state, const char* pattern, int32_t flags) {
    Tree& tree = SharedTree();
    qvex::SessionWorker session;
    qvex::SessionCommand command;
    command.kind = qvex::kCommandSiteSearch;
    command.text = pattern;
    command.b = flags | qvex::kSearchSubfolders;
    command.c = tree.root;
    CountMatches counts;
    for (auto _ : state) {
        counts.matches = 0;
        int code = qvex::SiteSearch(session, tree.cache, command, counts);
        benchmark::DoNotOptimize(code);
    }
    if (counts.files + counts.folders - 1 != tree.entries || counts.matches == 0) {
        state.SkipWithError("the walk did not examine the whole tree");
        return;
    }
    state.counters["entries"] = static_cast<double>(tree.entries);
    state.counters["matches"] = static_cast<double>(counts.matches);
    state.counters["entries/s"] = benchmark::Counter(
        static_cast<double>(tree.entries) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
    state.SetItemsProcessed(tree.entries * state.iterations());
}

void BM_SearchCachedTreeWildcard(benchmark::State& state) {
    SearchTree(state, "*.gif", 0);
}
BENCHMARK(BM_SearchCachedTreeWildcard)->Unit(benchmark::kMillisecond);

void BM_SearchCachedTreeWildcardAnchored(benchmark::State& state) {
    SearchTree(state, "main?.htm*", 0);
}
BENCHMARK(BM_SearchCachedTreeWildcardAnchored)->Unit(benchmark::kMillisecond);

void BM_SearchCachedTreePcre(benchmark::State& state) {
    SearchTree(state, "([a-z]+[0-9]*)\\.html", qvex::kSearchPcre);
}
BENCHMARK(BM_SearchCachedTreePcre)->Unit(benchmark::kMillisecond);

void BM_SearchCachedTreePcreAnchored(benchmark::State& state) {
    SearchTree(state, "^img_[0-9]+\\.png$", qvex::kSearchPcre);
}
BENCHMARK(BM_SearchCachedTreePcreAnchored)->Unit(benchmark::kMillisecond);

// The matchers alone, over the same names.
void MatchNames(benchmark::State& state, const char* text, bool pcre) {
    qvex::SearchPattern pattern;
    if (!pattern.Compile(text, pcre)) {
        state.SkipWithError("the pattern did not compile");
        return;
    }
    std::array<std::string, 64> names;
    for (size_t i = 0; i < names.size(); ++i) {
        names[i] = FileName(static_cast<int>(i) * 7);
    }
    for (auto _ : state) {
        for (const std::string& name : names) {
            benchmark::DoNotOptimize(pattern.Matches(name));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(names.size()) * state.iterations());
}

void BM_MatchWildcard(benchmark::State& state) {
    MatchNames(state, "*.gif", false);
}
BENCHMARK(BM_MatchWildcard);

void BM_MatchPcre(benchmark::State& state) {
    MatchNames(state, "([a-z]+[0-9]*)\\.html", true);
}
BENCHMARK(BM_MatchPcre);

}  // namespace
