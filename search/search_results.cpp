#include "search/search_results.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "log/log_sink.h"
#include "search/search_pattern.h"
#include "state/settings.h"
#include "transfer/entry_types.h"
#include "transfer/listing_cache.h"

namespace qvex {
namespace {

int CompareNumbers(int64_t left, int64_t right) {
    return left < right ? -1 : (left > right ? 1 : 0);
}

int CompareBytes(std::string_view left, std::string_view right) {
    int order = left.compare(right);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

unsigned char LowerAscii(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

// Without regard to ASCII case first, so that "b" sorts between "A" and "C"; byte by byte
// when that finds no difference, so that the order is total.
int CompareText(std::string_view left, std::string_view right) {
    size_t common = std::min(left.size(), right.size());
    for (size_t i = 0; i < common; ++i) {
        unsigned char a = LowerAscii(left[i]);
        unsigned char b = LowerAscii(right[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    if (left.size() != right.size()) {
        return left.size() < right.size() ? -1 : 1;
    }
    return CompareBytes(left, right);
}

int CompareColumn(const SearchRow& left, const SearchRow& right, int column) {
    switch (column) {
        case kSearchColumnName:
            return CompareText(left.entry.name, right.entry.name);
        case kSearchColumnSize:
            return CompareNumbers(left.entry.size, right.entry.size);
        case kSearchColumnType:
            return CompareText(left.type, right.type);
        case kSearchColumnDate:
            return CompareNumbers(left.entry.time, right.entry.time);
        default:
            return 0;
    }
}

// Cut to the longest prefix of at most kMaxSearchPattern bytes that does not split a UTF-8
// sequence.
std::string_view CutPattern(std::string_view pattern) {
    if (pattern.size() <= kMaxSearchPattern) {
        return pattern;
    }
    size_t cut = kMaxSearchPattern;
    for (size_t back = 1; back <= 3 && back <= cut; ++back) {
        size_t start = cut - back;
        if (CharacterLength(pattern, start) > back) {
            cut = start;
            break;
        }
    }
    return pattern.substr(0, cut);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    std::string path = folder;
    if (path.empty() || (path.back() != '/' && path.back() != '\\')) {
        path.push_back('/');
    }
    return path + name;
}

}  // namespace

std::optional<uint32_t> SearchRowKey(int32_t folderId, int32_t index) {
    if (folderId < 0 || folderId >= kSearchKeyLimit || index < 0 || index >= kSearchKeyLimit) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(folderId) * static_cast<uint32_t>(kSearchKeyLimit) +
           static_cast<uint32_t>(index);
}

std::string SearchTitle(std::string_view folderPath) {
    return "Qvex Site Search of " + std::string(folderPath);
}

int CompareSearchRows(const SearchRow& left, const SearchRow& right, int column) {
    if (column < 0) {
        return -CompareSearchRows(left, right, -column);
    }
    int order = column == kSearchColumnFolder ? CompareBytes(left.folder, right.folder)
                                              : CompareColumn(left, right, column);
    if (order == 0) {
        order = CompareBytes(left.folder, right.folder);
    }
    if (order == 0) {
        order = CompareNumbers(left.key, right.key);
    }
    return order;
}

std::optional<SearchRequest> SearchResults::Begin(std::string_view pattern, bool subfolders,
                                                  bool pcre, int32_t folderId, int32_t receiver) {
    std::string_view cut = CutPattern(pattern);
    if (cut.empty() || phase_ == SearchPhase::Searching) {
        return std::nullopt;
    }
    rows_.clear();
    matchCount_ = 0;
    phase_ = SearchPhase::Searching;
    status_.clear();
    SearchRequest request;
    request.pattern.assign(cut);
    request.flags = (subfolders ? kSearchSubfolders : 0) | (pcre ? kSearchPcre : 0);
    request.folderId = folderId;
    request.receiver = receiver;
    return request;
}

SearchRowStatus SearchResults::AddMatch(const ListingCache& cache, int32_t folderId,
                                        int32_t index) {
    std::optional<RemoteEntry> entry = cache.Entry(folderId, index);
    std::optional<std::string> folder = cache.PathOf(folderId);
    if (!entry || !folder || entry->name.empty()) {
        return SearchRowStatus::EntryGone;
    }
    std::optional<uint32_t> key = SearchRowKey(folderId, index);
    if (!key) {
        // A wrapped key would name another row, and a removal would delete the wrong one.
        logExt("*** search match beyond the result list's range: ",
               JoinPath(*folder, entry->name).c_str());
        return SearchRowStatus::KeyOutOfRange;
    }
    SearchRow& row = rows_.emplace_back();
    row.key = *key;
    row.folderId = folderId;
    row.index = index;
    row.type = entryTypeAt(entryTypeOf(*entry)).text;
    row.entry = std::move(*entry);
    row.folder = std::move(*folder);
    ++matchCount_;
    char text[32];
    std::snprintf(text, sizeof text, "%d matches", matchCount_);
    status_ = text;
    return SearchRowStatus::Added;
}

void SearchResults::End(int32_t folders, int32_t files) {
    phase_ = SearchPhase::Done;
    if (folders == 0 && files == kSearchBadPattern) {
        status_ = "*** Bad search pattern ***";
    } else {
        char text[96];
        std::snprintf(text, sizeof text, "%d matches in %d folders and %d files", matchCount_,
                      folders, files);
        status_ = text;
    }
    Sort();
}

bool SearchResults::RemoveRow(int32_t folderId, int32_t index) {
    std::optional<uint32_t> key = SearchRowKey(folderId, index);
    if (!key) {
        return false;
    }
    auto found = std::find_if(rows_.begin(), rows_.end(),
                              [&](const SearchRow& row) { return row.key == *key; });
    if (found == rows_.end()) {
        return false;
    }
    rows_.erase(found);
    return true;
}

bool SearchResults::SortBy(int column) {
    if (std::abs(column) > kSearchColumnFolder) {
        return false;
    }
    sortColumn_ = column;
    Sort();
    return true;
}

void SearchResults::ClickColumn(int column) {
    if (column < kSearchColumnName || column > kSearchColumnFolder) {
        return;
    }
    (void)SortBy(sortColumn_ == column ? -column : column);
}

void SearchResults::Sort() {
    if (sortColumn_ == 0) {
        return;
    }
    std::sort(rows_.begin(), rows_.end(), [this](const SearchRow& left, const SearchRow& right) {
        return CompareSearchRows(left, right, sortColumn_) < 0;
    });
}

SearchSettings LoadSearchSettings(const Settings& settings) {
    SearchSettings values;
    values.lastSearch = settings.GetString("LastSearch");
    values.searchTree = settings.GetInt("SearchTree") != 0;
    values.searchPcre = settings.GetInt("SearchPCRE") != 0;
    values.modeless = settings.GetInt("ModelessSearch") != 0;
    return values;
}

void StoreSearchSettings(Settings& settings, const SearchSettings& values) {
    settings.SetString("LastSearch", std::string(CutPattern(values.lastSearch)));
    settings.SetInt("SearchTree", values.searchTree ? 1 : 0);
    settings.SetInt("SearchPCRE", values.searchPcre ? 1 : 0);
}

}  // namespace qvex
