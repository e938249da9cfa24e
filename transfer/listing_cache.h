#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/session_command.h"
#include "transfer/remote_entry.h"

namespace qvex {

// "No directory" in a command's `c` and "no position" in its `a`.
inline constexpr int32_t kNoDirectory = -1;
inline constexpr int32_t kNoPosition = -1;

// The most entries one listing may hold: far beyond any real folder, it stops a server
// whose listing never ends before memory runs out.
inline constexpr int32_t kMaxListingEntries = 5'000'000;

// What the remote pane hears from the listing cache and the remote operations. Calls come
// on the session worker thread, never while the cache's lock is held, so an observer may
// read the cache; a window turns each call into a queued call on its own thread.
class DirectoryObserver {
  public:
    virtual ~DirectoryObserver() = default;

    // An entry was appended to directory `id` at `position`.
    virtual void OnEntryAdded(int32_t /*id*/, int32_t /*position*/) {}
    // Entries were appended to directory `id` at first .. first + count - 1, as a listing
    // is read; unless overridden, each is told as OnEntryAdded.
    virtual void OnEntriesAdded(int32_t id, int32_t first, int32_t count) {
        for (int32_t position = first; position < first + count; ++position) {
            OnEntryAdded(id, position);
        }
    }
    // An entry was renamed, given a new mode, or replaced.
    virtual void OnEntryChanged(int32_t /*id*/, int32_t /*position*/) {}
    // An entry was deleted on the server; its position now holds an entry without a name.
    virtual void OnEntryRemoved(int32_t /*id*/, int32_t /*position*/) {}
    // A listing is ready to show: just read (`aborted` when the user stopped it), or found
    // complete in the cache. `flags` are the list command's flags.
    virtual void OnListingReady(int32_t /*id*/, int32_t /*flags*/, bool /*aborted*/) {}
    // The server refused a rename; the view puts the old name back.
    virtual void OnRenameFailed(int32_t /*id*/, int32_t /*position*/) {}
    // A listing was written to a local file; the local view shows it if it shows its folder.
    virtual void OnListingFileWritten(const std::string& /*path*/) {}
    // A download created a local folder, or stored a local file; the local view shows it
    // if it shows the folder that holds it.
    virtual void OnLocalFolderCreated(const std::string& /*path*/) {}
    virtual void OnLocalFileStored(const std::string& /*path*/) {}
};

class ListingCache;

// The entries that a delete, rename, SITE chmod or download command carries and owns: their
// positions in the listing when the command was queued, and their names then. A refresh may
// read the listing again before the command runs, and a position may then hold another
// entry: the name, not the position, says which entry is meant (ListingCache::Relocate).
struct PositionList : CommandPayload {
    PositionList() = default;
    // The entries at `list` of directory `id`, as the cache holds them now.
    PositionList(const ListingCache& cache, int32_t id, std::vector<int32_t> list);
    std::vector<int32_t> positions;
    std::vector<std::string> names;
};

// The remote directories seen in this session, shared by the session worker (which writes)
// and the user interface (which reads). A directory is a node with an id (0, 1, 2, ... in
// order of creation), its full remote path, a `complete` flag and its entries in listing
// order. Nodes live as long as the cache.
//
// Positions are stable: a deleted entry keeps its place as an entry without a name, so the
// position lists of queued commands and the links from a parent's entry to its directory
// node stay right. Every public call takes the cache's one lock for its own duration.
class ListingCache {
  public:
    ListingCache();
    ListingCache(const ListingCache&) = delete;
    ListingCache& operator=(const ListingCache&) = delete;
    ~ListingCache();

    // The observer the cache and the remote operations tell; null for none.
    void SetObserver(DirectoryObserver* observer) { observer_.store(observer); }
    DirectoryObserver* observer() const { return observer_.load(); }

    // --- directories ---

    // The directory entered from entry `position` of directory `parentId`, or -1.
    [[nodiscard]] int32_t FindChild(int32_t parentId, int32_t position) const;
    // The directory with exactly this path, or -1.
    [[nodiscard]] int32_t FindPath(std::string_view path) const;
    // The directory with this path, made when missing (already complete when
    // `createComplete`). When `parentId` and `position` name an entry, the directory is
    // linked as the one that entry leads to. -1 only when `path` is empty.
    [[nodiscard]] int32_t FindOrCreate(std::string_view path, int32_t parentId, int32_t position,
                                       bool createComplete);
    [[nodiscard]] bool IsComplete(int32_t id) const;
    [[nodiscard]] std::optional<std::string> PathOf(int32_t id) const;
    // Entries of a directory, nameless (deleted) ones included; -1 for an unknown id.
    [[nodiscard]] int32_t EntryCount(int32_t id) const;
    [[nodiscard]] int32_t DirectoryCount() const;
    // Forgets a directory's listing: its entries, their names and links, its complete flag.
    void DropListing(int32_t id);

    // --- filling a listing ---

    // Appends one entry; its position, or -1 for an unknown id.
    [[nodiscard]] int32_t AppendEntry(int32_t id, RemoteEntry&& entry);
    // Appends entries in their order under one hold of the lock, with one notice; the
    // position of the first, or -1 for an unknown id.
    [[nodiscard]] int32_t AppendEntries(int32_t id, std::span<const RemoteEntry> entries);
    // Marks the listing complete and tells the observer.
    void MarkComplete(int32_t id, int32_t flags, bool aborted);
    // A listing that could not be read to its end: forgets what was stored, so the directory
    // is listed again next time, and tells the observer the listing was cut short.
    void AbandonListing(int32_t id, int32_t flags);
    // Entries one listing may hold: kMaxListingEntries unless a test sets fewer.
    void SetEntryLimit(int32_t limit) { entryLimit_ = limit; }
    int32_t entryLimit() const { return entryLimit_; }
    // Tells the observer that a cached listing is ready, without changing anything.
    void AnnounceListing(int32_t id, int32_t flags) const;

    // --- entries ---
    // An entry read from the cache has its display texts made afresh from its size and time.

    [[nodiscard]] std::optional<RemoteEntry> Entry(int32_t id, int32_t position) const;
    // The first position whose entry has exactly this name, or -1.
    [[nodiscard]] int32_t FindEntry(int32_t id, std::string_view name) const;
    // Where the entry that a command queued as (`position`, `name`) is now: `position` while
    // it still holds that name, else the first entry of that name; -1 when the name is
    // gone (or empty).
    [[nodiscard]] int32_t Relocate(int32_t id, int32_t position, std::string_view name) const;
    // The server deleted the entry: it loses its name and everything else, keeping its
    // place. The directory it led to, and every directory below, must be listed again.
    [[nodiscard]] bool RemoveEntry(int32_t id, int32_t position);
    // The server renamed the entry. A directory it led to must be listed again.
    [[nodiscard]] bool SetEntryName(int32_t id, int32_t position, std::string name);
    // The Unix permission bits, into the high half of modeAndIcon; the icon stays.
    [[nodiscard]] bool SetEntryMode(int32_t id, int32_t position, uint32_t mode);
    // Puts `entry` in place of the first entry with its name, or appends it; its position,
    // or -1 for an unknown id or an entry without a name.
    [[nodiscard]] int32_t PutEntry(int32_t id, RemoteEntry entry);

    // --- reading ---

    // Calls `visit` for entries first .. first + count - 1 (as many as exist) under the
    // lock: `visit` must not call the cache. The entries come without their display texts
    // (sizeText, dateText stay empty), which a walk over a whole listing never shows.
    // Returns how many were visited.
    [[nodiscard]] int32_t VisitEntries(
        int32_t id, int32_t first, int32_t count,
        const std::function<void(int32_t, const RemoteEntry&)>& visit) const;
    // A copy of the whole listing.
    [[nodiscard]] std::vector<RemoteEntry> Snapshot(int32_t id) const;

  private:
    struct Node;

    Node* NodeLocked(int32_t id) const;
    void ForgetBelowLocked(Node& parent, int32_t position, const std::string& oldName);
    void DropLocked(Node& node);

    mutable std::mutex lock_;
    std::vector<std::unique_ptr<Node>> nodes_;
    // Keys view the nodes' own paths, which never change once a node exists.
    std::unordered_map<std::string_view, int32_t> byPath_;
    std::atomic<DirectoryObserver*> observer_{nullptr};
    int32_t entryLimit_ = kMaxListingEntries;
};

}  // namespace qvex
