#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "engine/session_worker.h"

namespace qvex {

class ListingCache;

// Flag bits of a search command (`b` of kind 9).
// Search the folders below the start folder too.
inline constexpr int32_t kSearchSubfolders = 16;
// The pattern is a Perl-compatible regular expression, not a wildcard pattern.
inline constexpr int32_t kSearchPcre = 32;

// The end of a search whose pattern did not compile: no folders, this many files.
inline constexpr int32_t kSearchBadPattern = -1;

// What a search tells the window that asked for it. Calls come on the session worker
// thread; a window turns each into a queued call on its own thread.
class SearchObserver {
  public:
    virtual ~SearchObserver() = default;
    // Entry `index` of cached directory `folderId` matches. Matches come one by one, in the
    // order of the walk, so the first results can show at once.
    virtual void OnSearchMatch(int32_t folderId, int32_t index) = 0;
    // The walk is over (finished, aborted or cut short by a lost connection): how many
    // folders were searched through and how many files were examined; (0,
    // kSearchBadPattern) when the pattern did not compile and nothing was walked.
    virtual void OnSearchEnded(int32_t folders, int32_t files) = 0;
};

// The windows that wait for search results, by the number a search command carries in `a`.
// A window that goes away while its search runs is removed; the walk goes on and its
// results are dropped.
class SearchReceivers {
  public:
    SearchReceivers() = default;
    SearchReceivers(const SearchReceivers&) = delete;
    SearchReceivers& operator=(const SearchReceivers&) = delete;

    // Registers an observer; its number (positive, never reused while it is registered)
    // goes in `a` of the search command.
    [[nodiscard]] int32_t Add(SearchObserver& observer);
    // Once this returns, no call reaches the observer any more. An observer may remove
    // itself from inside one of its own calls.
    void Remove(int32_t receiver);

    // Delivery to a receiver that is still registered; nothing otherwise.
    void Match(int32_t receiver, int32_t folderId, int32_t index) const;
    void Ended(int32_t receiver, int32_t folders, int32_t files) const;

  private:
    // Held during delivery, so that Remove waits for a call in progress.
    mutable std::recursive_mutex lock_;
    std::map<int32_t, SearchObserver*> observers_;
    int32_t next_ = 1;
};

// One search as the dialog posts it.
struct SearchRequest {
    // At most kMaxSearchPattern bytes.
    std::string pattern;
    // kSearchSubfolders, kSearchPcre.
    int32_t flags = 0;
    // The cached remote folder the search starts in.
    int32_t folderId = -1;
    // The SearchReceivers number of the window that gets the results.
    int32_t receiver = 0;
};

// Queues the search on the session (kind 9: `text` the pattern, `a` the receiver, `b` the
// flags, `c` the folder). It runs behind the commands queued before it.
void PostSiteSearch(SessionWorker& session, const SearchRequest& request);

// Command kind 9: walks directory `c` of the cache, and with kSearchSubfolders every folder
// below it, telling `observer` of each entry whose name matches pattern `text` (a
// wildcard pattern, or an expression with kSearchPcre), then of the folder and file
// counts. Folders that the cache does not hold complete are listed on the server with
// listDirectory; one that cannot be listed is skipped and not counted. A folder reached a
// second time (a server that reports an ancestor's path for a sub-folder) is not walked
// again. Stops at once when the session's abort flag is set. Returns 200 after a walk
// (also an aborted one), 599 for a pattern that does not compile, or 421 when the server
// went away during a listing (the walk stops there; the counts are still reported).
[[nodiscard]] int SiteSearch(SessionWorker& session, ListingCache& cache,
                             const SessionCommand& command, SearchObserver& observer);

// Puts the handler of command kind 9 (site search) into `handlers`, delivering results to
// the receiver numbered `a` in `receivers`. The cache and the receivers must outlive every
// session that uses the handler.
void InstallSearchHandler(CommandHandlers& handlers, ListingCache& cache,
                          SearchReceivers& receivers);

}  // namespace qvex
