#include "transfer/listing_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace qvex {
namespace {

RemoteEntry Named(std::string name, uint32_t flags = 0) {
    RemoteEntry entry;
    entry.name = std::move(name);
    entry.flags = flags;
    return entry;
}

class NoticeLog : public DirectoryObserver {
  public:
    void OnEntryAdded(int32_t id, int32_t at) override { Add("added", id, at); }
    void OnEntryChanged(int32_t id, int32_t at) override { Add("changed", id, at); }
    void OnEntryRemoved(int32_t id, int32_t at) override { Add("removed", id, at); }
    void OnListingReady(int32_t id, int32_t flags, bool aborted) override {
        Add(aborted ? "aborted" : "ready", id, flags);
    }
    void Add(const char* what, int32_t id, int32_t value) {
        lines.push_back(std::string(what) + " " + std::to_string(id) + " " + std::to_string(value));
    }
    std::vector<std::string> lines;
};

TEST(ListingCache, DirectoriesAreFoundByIdPathAndParentEntry) {
    ListingCache cache;
    EXPECT_EQ(cache.FindOrCreate("/", kNoDirectory, kNoPosition, false), 0);
    EXPECT_EQ(cache.FindOrCreate("/pub", 0, 3, false), 1);
    EXPECT_EQ(cache.FindOrCreate("/pub/new", 1, 0, true), 2);
    EXPECT_EQ(cache.FindOrCreate("/pub/new", 0, 5, false), 2) << "found, and linked once more";
    EXPECT_EQ(cache.FindOrCreate("", 0, 1, false), -1);
    EXPECT_EQ(cache.DirectoryCount(), 3);
    EXPECT_EQ(cache.FindPath("/pub"), 1);
    EXPECT_EQ(cache.FindPath("/pub/"), -1) << "paths are compared byte for byte";
    EXPECT_EQ(cache.FindChild(0, 3), 1);
    EXPECT_EQ(cache.FindChild(0, 5), 2);
    EXPECT_EQ(cache.FindChild(0, 2), -1);
    EXPECT_EQ(cache.FindChild(7, 0), -1);
    EXPECT_EQ(cache.PathOf(2), "/pub/new");
    EXPECT_EQ(cache.PathOf(3), std::nullopt);
    EXPECT_FALSE(cache.IsComplete(1));
    EXPECT_TRUE(cache.IsComplete(2)) << "made complete for a new, empty directory";
    EXPECT_EQ(cache.EntryCount(9), -1);
}

TEST(ListingCache, EntriesKeepTheirPlacesAndChangedDirectoriesAreListedAgain) {
    ListingCache cache;
    NoticeLog notices;
    cache.SetObserver(&notices);
    int32_t pub = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, false);
    for (const char* name : {"ab", "abc", "linked"}) {
        (void)cache.AppendEntry(pub, Named(name, kEntryDirectory));
    }
    (void)cache.AppendEntry(pub, Named("f"));
    EXPECT_EQ(cache.AppendEntry(9, Named("x")), -1);
    cache.MarkComplete(pub, 20, true);
    int32_t ab = cache.FindOrCreate("/pub/ab", kNoDirectory, kNoPosition, true);
    int32_t deep = cache.FindOrCreate("/pub/ab/deep", kNoDirectory, kNoPosition, true);
    int32_t abc = cache.FindOrCreate("/pub/abc", kNoDirectory, kNoPosition, true);
    // Reached by its entry, though the server reported another path for it.
    int32_t linked = cache.FindOrCreate("/srv/real", pub, 2, true);

    EXPECT_TRUE(cache.RemoveEntry(pub, 0));
    EXPECT_FALSE(cache.RemoveEntry(pub, 0)) << "already gone";
    EXPECT_EQ(cache.EntryCount(pub), 4);
    EXPECT_EQ(cache.Entry(pub, 0)->name, "");
    EXPECT_EQ(cache.FindEntry(pub, "abc"), 1);
    EXPECT_FALSE(cache.IsComplete(ab));
    EXPECT_FALSE(cache.IsComplete(deep));
    EXPECT_TRUE(cache.IsComplete(abc)) << "/pub/abc is not below /pub/ab";

    EXPECT_TRUE(cache.SetEntryName(pub, 2, "renamed"));
    EXPECT_FALSE(cache.IsComplete(linked));
    EXPECT_EQ(cache.FindChild(pub, 2), -1);
    EXPECT_EQ(cache.FindEntry(pub, "renamed"), 2);
    EXPECT_EQ(cache.FindEntry(pub, "linked"), -1);

    RemoteEntry file = Named("f");
    file.modeAndIcon = 7;
    EXPECT_EQ(cache.PutEntry(pub, file), 3);
    EXPECT_TRUE(cache.SetEntryMode(pub, 3, 0755));
    EXPECT_EQ(cache.Entry(pub, 3)->modeAndIcon, (0755u << 16) | 7u);
    EXPECT_EQ(cache.PutEntry(pub, Named("g")), 4);
    EXPECT_EQ(notices.lines,
              (std::vector<std::string>{"added 0 0", "added 0 1", "added 0 2", "added 0 3",
                                        "aborted 0 20", "removed 0 0", "changed 0 2", "changed 0 3",
                                        "changed 0 3", "added 0 4"}));

    // A link that leads back up (a symbolic link to "/") forgets "/" but not the listing
    // that held it.
    int32_t root = cache.FindOrCreate("/", pub, 4, true);
    EXPECT_TRUE(cache.RemoveEntry(pub, 4));
    EXPECT_FALSE(cache.IsComplete(root));
    EXPECT_EQ(cache.Entry(pub, 1)->name, "abc");

    cache.DropListing(pub);
    EXPECT_FALSE(cache.IsComplete(pub));
    EXPECT_EQ(cache.EntryCount(pub), 0);
    EXPECT_EQ(cache.FindEntry(pub, "abc"), -1);
    EXPECT_EQ(cache.FindPath("/pub/ab"), ab) << "the directories themselves stay";
}

TEST(ListingCache, NameIndexAgreesWithAPlainSearchThroughGrowthRemovalAndRenames) {
    ListingCache cache;
    int32_t id = cache.FindOrCreate("/big", kNoDirectory, kNoPosition, false);
    std::vector<std::string> names;
    for (int index = 0; index < 12'000; ++index) {
        // Some names twice: the index answers with the lowest position.
        names.push_back("file" + std::to_string(index % 11'000) + ".txt");
        ASSERT_EQ(cache.AppendEntry(id, Named(names.back())), index);
    }
    for (int index = 0; index < 12'000; index += 3) {
        ASSERT_TRUE(cache.RemoveEntry(id, index));
        names[static_cast<size_t>(index)].clear();
    }
    for (int index = 1; index < 12'000; index += 7) {
        names[static_cast<size_t>(index)] = "renamed" + std::to_string(index);
        ASSERT_TRUE(cache.SetEntryName(id, index, names[static_cast<size_t>(index)]));
    }
    std::map<std::string, int32_t> first;
    for (size_t index = 0; index < names.size(); ++index) {
        if (!names[index].empty()) {
            first.emplace(names[index], static_cast<int32_t>(index));
        }
    }
    for (int index = 0; index < 11'000; ++index) {
        std::string name = "file" + std::to_string(index) + ".txt";
        auto expected = first.find(name);
        ASSERT_EQ(cache.FindEntry(id, name), expected == first.end() ? -1 : expected->second);
    }
    for (const auto& [name, position] : first) {
        ASSERT_EQ(cache.FindEntry(id, name), position) << name;
    }
    // Positions across the growing and the fixed-size storage segments.
    std::vector<RemoteEntry> copy = cache.Snapshot(id);
    ASSERT_EQ(copy.size(), names.size());
    for (size_t index = 0; index < names.size(); ++index) {
        ASSERT_EQ(copy[index].name, names[index]) << index;
    }
}

// The worker fills and edits a listing while the user-interface thread reads it: every read
// sees whole entries at the positions they were appended at.
TEST(ListingCache, ReadersSeeConsistentEntriesWhileTheWorkerWrites) {
    ListingCache cache;
    int32_t id = cache.FindOrCreate("/busy", kNoDirectory, kNoPosition, false);
    constexpr int kEntries = 20'000;
    std::atomic<bool> done{false};
    std::atomic<int> problems{0};
    std::thread reader([&] {
        int32_t lastCount = 0;
        while (!done.load()) {
            int32_t count = cache.EntryCount(id);
            problems += count < lastCount ? 1 : 0;
            lastCount = count;
            // The newest entries, where the worker is busy.
            int32_t from = count > 64 ? count - 64 : 0;
            (void)cache.VisitEntries(id, from, 64, [&](int32_t at, const RemoteEntry& entry) {
                problems += entry.name.empty() || entry.name == "n" + std::to_string(at) ||
                                    entry.name == "r" + std::to_string(at)
                                ? 0
                                : 1;
            });
            if (count > 0) {
                problems += cache.Entry(id, count - 1) ? 0 : 1;
                (void)cache.FindEntry(id, "n" + std::to_string(count / 2));
            }
        }
    });
    for (int index = 0; index < kEntries; ++index) {
        (void)cache.AppendEntry(id, Named("n" + std::to_string(index)));
        if (index % 5 == 4) {
            (void)cache.RemoveEntry(id, index - 2);
            (void)cache.SetEntryName(id, index - 1, "r" + std::to_string(index - 1));
        }
    }
    done = true;
    reader.join();
    EXPECT_EQ(problems.load(), 0);
    EXPECT_EQ(cache.EntryCount(id), kEntries);
    EXPECT_EQ(cache.FindEntry(id, "r3"), 3);
    EXPECT_EQ(cache.FindEntry(id, "n2"), -1);
}

}  // namespace
}  // namespace qvex
