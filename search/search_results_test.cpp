#include "search/search_results.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"

namespace qvex {
namespace {

using Lines = std::vector<std::string>;

TEST(SearchRowKey, SixteenBitsEachAndNeverWrapped) {
    const std::vector<std::tuple<int32_t, int32_t, std::optional<uint32_t>>> rows = {
        {0, 0, 0u},     {1, 2, 65538u}, {65535, 65535, 0xFFFFFFFFu},
        {65536, 0, {}}, {1, 65536, {}},  // wrapped, it would be (2, 0)
        {-1, 0, {}},    {0, -1, {}},
    };
    for (const auto& [folder, index, key] : rows) {
        SCOPED_TRACE(std::to_string(folder) + ", " + std::to_string(index));
        EXPECT_EQ(SearchRowKey(folder, index), key);
    }
}

RemoteEntry Entry(std::string name, int64_t size, int64_t time, uint32_t type = kEntryTypeFile) {
    RemoteEntry entry;
    entry.name = std::move(name);
    entry.size = size;
    entry.time = time;
    entry.flags = type;
    return entry;
}

class Results : public ::testing::Test {
  public:
    void SetUp() override {
        // /b first, so that cache order and path order differ.
        b = Folder("/b", {Entry("same", 10, 500), Entry("Zeta", 5, 100),
                          Entry("docs", 0, 300, kEntryTypeFolder), Entry("", 0, 0)});
        a = Folder("/a", {Entry("same", 10, 500), Entry("alpha", 7, 200),
                          Entry("link", 11, 400, kEntryTypeSymLink)});
    }
    int32_t Folder(const std::string& path, std::vector<RemoteEntry> entries) {
        int32_t id = cache.FindOrCreate(path, kNoDirectory, kNoPosition, false);
        for (RemoteEntry& entry : entries) {
            EXPECT_GE(cache.AppendEntry(id, std::move(entry)), 0);
        }
        return id;
    }
    Lines Order() const {
        Lines order;
        for (const SearchRow& row : results.rows()) {
            order.push_back(row.folder + "/" + row.entry.name);
        }
        return order;
    }

    test::LogCapture log;
    ListingCache cache;
    SearchResults results;
    int32_t a = -1, b = -1;
};

TEST_F(Results, ASearchFromTheButtonToTheSummary) {
    EXPECT_FALSE(results.Begin("", true, true, a, 1)) << "an empty field does nothing";
    std::optional<SearchRequest> request = results.Begin("*.gif", true, false, b, 4);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->pattern, "*.gif");
    EXPECT_EQ(request->flags, kSearchSubfolders);
    EXPECT_EQ(request->folderId, b);
    EXPECT_EQ(request->receiver, 4);
    EXPECT_FALSE(results.Begin("other", false, true, b, 4)) << "only from idle or done";

    EXPECT_EQ(results.AddMatch(cache, b, 2), SearchRowStatus::Added);
    EXPECT_EQ(results.status(), "1 matches");
    EXPECT_EQ(results.AddMatch(cache, b, 3), SearchRowStatus::EntryGone) << "no name";
    EXPECT_EQ(results.AddMatch(cache, 42, 0), SearchRowStatus::EntryGone);
    EXPECT_EQ(results.AddMatch(cache, a, 2), SearchRowStatus::Added);
    const SearchRow& folder = results.rows()[0];
    EXPECT_EQ(folder.key, static_cast<uint32_t>(b) * 65536u + 2u);
    // The cache makes the display texts from the entry when it is read.
    EXPECT_EQ(folder.entry.sizeText, "0");
    EXPECT_EQ(folder.type, "Folder");
    EXPECT_EQ(folder.folder, "/b");
    EXPECT_EQ(results.rows()[1].type, "Symbolic Link");
    results.End(2, 17);
    EXPECT_EQ(results.phase(), SearchPhase::Done);
    EXPECT_EQ(results.status(), "2 matches in 2 folders and 17 files");

    request = results.Begin(std::string(509, 'p') + "\xE2\x82\xAC", false, true, a, 5);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->pattern, std::string(509, 'p')) << "cut at 511, not inside a character";
    EXPECT_EQ(request->flags, kSearchPcre);
    EXPECT_TRUE(results.rows().empty());
    results.End(0, kSearchBadPattern);
    EXPECT_EQ(results.status(), "*** Bad search pattern ***");
    EXPECT_EQ(SearchTitle("/pub"), "Qvex Site Search of /pub");
}

TEST_F(Results, MatchesBeyondTheKeyRangeAreReportedNotWrapped) {
    int32_t huge = cache.FindOrCreate("/huge", kNoDirectory, kNoPosition, false);
    for (int i = 0; i <= 65536; ++i) {
        ASSERT_EQ(cache.AppendEntry(huge, Entry("n" + std::to_string(i), 0, 0)), i);
    }
    int32_t last = -1;
    while (cache.DirectoryCount() <= 65536) {
        last = cache.FindOrCreate("/d" + std::to_string(cache.DirectoryCount()), kNoDirectory,
                                  kNoPosition, false);
    }
    ASSERT_EQ(cache.AppendEntry(last, Entry("far", 0, 0)), 0);
    ASSERT_TRUE(results.Begin("*", true, false, huge, 1));
    EXPECT_EQ(results.AddMatch(cache, huge, 65535), SearchRowStatus::Added);
    EXPECT_EQ(results.AddMatch(cache, huge, 65536), SearchRowStatus::KeyOutOfRange);
    EXPECT_EQ(results.AddMatch(cache, last, 0), SearchRowStatus::KeyOutOfRange);
    EXPECT_EQ(results.rows().size(), 1u);
    EXPECT_EQ(log.TakeTexts(),
              (Lines{"*** search match beyond the result list's range: /huge/n65536",
                     "*** search match beyond the result list's range: /d65536/far"}));
    EXPECT_FALSE(results.RemoveRow(huge + 1, 0)) << "what a wrapped key would have hit";
    EXPECT_TRUE(results.RemoveRow(huge, 65535));
}

TEST_F(Results, EachColumnSortsBothWaysAndEqualEntriesGoByFolder) {
    ASSERT_TRUE(results.SortBy(-kSearchColumnDate));
    ASSERT_TRUE(results.Begin("*", true, false, a, 1));
    for (auto [folder, index] : {std::pair{b, 0}, {b, 1}, {b, 2}, {a, 0}, {a, 1}, {a, 2}}) {
        ASSERT_EQ(results.AddMatch(cache, folder, index), SearchRowStatus::Added);
    }
    EXPECT_EQ(Order().front(), "/b/same") << "sorting waits for the end";
    results.End(2, 5);
    const std::vector<std::pair<int, Lines>> rows = {
        {-kSearchColumnDate, {"/b/same", "/a/same", "/a/link", "/b/docs", "/a/alpha", "/b/Zeta"}},
        {kSearchColumnName, {"/a/alpha", "/b/docs", "/a/link", "/a/same", "/b/same", "/b/Zeta"}},
        {-kSearchColumnName, {"/b/Zeta", "/b/same", "/a/same", "/a/link", "/b/docs", "/a/alpha"}},
        {kSearchColumnSize, {"/b/docs", "/b/Zeta", "/a/alpha", "/a/same", "/b/same", "/a/link"}},
        // "File" < "Folder" < "Symbolic Link"; in one folder the listing order decides.
        {kSearchColumnType, {"/a/same", "/a/alpha", "/b/same", "/b/Zeta", "/b/docs", "/a/link"}},
        {kSearchColumnFolder, {"/a/same", "/a/alpha", "/a/link", "/b/same", "/b/Zeta", "/b/docs"}},
    };
    for (const auto& [column, order] : rows) {
        SCOPED_TRACE(column);
        if (column != -kSearchColumnDate) {
            EXPECT_TRUE(results.SortBy(column));
        }
        EXPECT_EQ(Order(), order);
    }
    results.ClickColumn(kSearchColumnFolder);
    EXPECT_EQ(results.sortColumn(), -kSearchColumnFolder);
    EXPECT_EQ(Order().front(), "/b/docs");
    EXPECT_FALSE(results.SortBy(6));
    EXPECT_TRUE(results.RemoveRow(a, 2));
    EXPECT_FALSE(results.RemoveRow(a, 2));
    EXPECT_EQ(results.rows().size(), 5u);
}

TEST(SearchSettings, DefaultsAndWhatClosingKeeps) {
    test::TempEnv env;
    {
        platform::RegistryFile registry;
        Settings settings(registry);
        settings.LoadSettings();
        SearchSettings values = LoadSearchSettings(settings);
        EXPECT_EQ(values.lastSearch, "");
        EXPECT_TRUE(values.searchTree);
        EXPECT_FALSE(values.searchPcre);
        values = {"([a-z]+[0-9]*)\\.html", false, true, true};
        StoreSearchSettings(settings, values);
        EXPECT_EQ(settings.GetInt("ModelessSearch"), 0) << "not the dialog's to store";
        settings.SaveSettings();
    }
    platform::RegistryFile registry;
    Settings settings(registry);
    settings.LoadSettings();
    EXPECT_EQ(settings.GetString("LastSearch"), "([a-z]+[0-9]*)\\.html");
    EXPECT_EQ(settings.GetInt("SearchTree"), 0);
    EXPECT_EQ(settings.GetInt("SearchPCRE"), 1);
}

}  // namespace
}  // namespace qvex
