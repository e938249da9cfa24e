#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/site_search.h"
#include "transfer/remote_entry.h"

namespace qvex {

class ListingCache;
class Settings;

// A result row's key holds the folder's cache id in its high 16 bits and the entry's index
// in its low 16 bits.
inline constexpr int32_t kSearchKeyLimit = 65536;

// The key of the row for entry `index` of folder `folderId`; nullopt when either is
// negative or does not fit in 16 bits (it is never wrapped onto another row's key).
[[nodiscard]] std::optional<uint32_t> SearchRowKey(int32_t folderId, int32_t index);

// The result columns, numbered as the signed sort column counts them.
inline constexpr int kSearchColumnName = 1;
inline constexpr int kSearchColumnSize = 2;
inline constexpr int kSearchColumnType = 3;
inline constexpr int kSearchColumnDate = 4;
inline constexpr int kSearchColumnFolder = 5;

struct SearchColumn {
    const char* title;
    // Share of the list's width, in percent.
    int width;
};
inline constexpr std::array<SearchColumn, 5> kSearchColumns{{
    {"Name", 28},
    {"Size", 13},
    {"Type", 17},
    {"Date Modified", 20},
    {"Folder", 22},
}};

// "Qvex Site Search of " followed by the remote folder's path.
[[nodiscard]] std::string SearchTitle(std::string_view folderPath);

// One found entry as the result list shows it: a copy of the entry taken when the match
// arrived (name, icon, size and date texts, and the numbers the sorting uses), the type
// text, and the folder's path.
struct SearchRow {
    uint32_t key = 0;
    int32_t folderId = 0;
    int32_t index = 0;
    RemoteEntry entry;
    std::string type;
    std::string folder;
};

// The order of two rows for a sort column of 1 to 5 (negative: descending): below 0 when
// `left` comes first. Folder compares the paths byte by byte. Name and Type compare
// without regard to ASCII case, then byte by byte; Size and Date Modified compare the
// numbers. Equal entries are ordered by their folders' paths, then by key.
[[nodiscard]] int CompareSearchRows(const SearchRow& left, const SearchRow& right, int column);

enum class SearchPhase {
    Idle,
    Searching,
    Done,
};

enum class SearchRowStatus {
    Added,
    // The folder id or the index does not fit the row key: logged, no row.
    KeyOutOfRange,
    // The cache no longer holds the entry (its listing was dropped or refreshed): no row.
    EntryGone,
};

// Everything a search dialog shows, without the dialog: the rows, the match count, the
// phase, the status line and the sort column. A window (or a command-line run) calls it
// from one thread, turning the SearchObserver calls into AddMatch and End.
class SearchResults {
  public:
    SearchResults() = default;

    // The "Search" button: cuts the pattern to kMaxSearchPattern bytes (never inside a
    // UTF-8 sequence), and unless it is empty or a search is still running, clears the rows
    // and the count and returns the request to post with PostSiteSearch. nullopt: nothing
    // happens.
    [[nodiscard]] std::optional<SearchRequest> Begin(std::string_view pattern, bool subfolders,
                                                     bool pcre, int32_t folderId, int32_t receiver);

    // A match (SearchObserver::OnSearchMatch): adds a row at the end, reading the entry
    // from the cache.
    SearchRowStatus AddMatch(const ListingCache& cache, int32_t folderId, int32_t index);
    // The end of the walk (SearchObserver::OnSearchEnded): the summary, then the rows are
    // sorted by the current sort column.
    void End(int32_t folders, int32_t files);

    // Deletes the row of entry `index` of folder `folderId` (say, after the entry was
    // deleted from the results); false when there is no such row.
    bool RemoveRow(int32_t folderId, int32_t index);

    // Sorts the rows by column 1 to 5, descending when negative; 0 keeps the order of the
    // walk for the rows that arrive later. Other values are refused (false).
    bool SortBy(int column);
    // A click on a column's header: the same column again reverses the order.
    void ClickColumn(int column);
    int sortColumn() const { return sortColumn_; }

    const std::vector<SearchRow>& rows() const { return rows_; }
    int32_t matchCount() const { return matchCount_; }
    SearchPhase phase() const { return phase_; }
    // "" before a search, "%d matches" while it runs, then "%d matches in %d folders and %d
    // files" or "*** Bad search pattern ***".
    const std::string& status() const { return status_; }

  private:
    void Sort();

    std::vector<SearchRow> rows_;
    int32_t matchCount_ = 0;
    SearchPhase phase_ = SearchPhase::Idle;
    std::string status_;
    int sortColumn_ = 0;
};

// The search dialog's settings.
struct SearchSettings {
    std::string lastSearch;   // "LastSearch"
    bool searchTree = false;  // "SearchTree": "Search subfolders"
    bool searchPcre = false;  // "SearchPCRE": "Use PCRE"
    bool modeless = false;    // "ModelessSearch": the dialog runs beside the main window
};

[[nodiscard]] SearchSettings LoadSearchSettings(const Settings& settings);
// What closing the dialog keeps: the pattern and the two check boxes ("ModelessSearch"
// belongs to the options pages and is left alone).
void StoreSearchSettings(Settings& settings, const SearchSettings& values);

}  // namespace qvex
