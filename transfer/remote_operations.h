#pragma once

#include <cstdint>

#include "engine/session_command.h"
#include "transfer/transfer_steps.h"

namespace qvex {

struct SessionWorker;
class ListingCache;

// Bit of a delete command's `b`: empty directories (depth first) before removing them.
inline constexpr int32_t kDeleteRecursive = 0x10;

// Makes the cached directory `id` the server's current one: 257 at once when it already is
// (nothing is sent), else CWD with its path; 257 when that was accepted, else its reply code.
// 599 for an unknown id or a path that does not fit a command line.
[[nodiscard]] int EnterDirectory(SessionWorker& session, ListingCache& cache, int32_t id);

// Command kind 3: deletes the entries the command carries (a PositionList, freed here; each
// found by the name it had when queued) from directory `c`, emptying directories first when
// `b` has kDeleteRecursive. Stops at a lost connection, at a directory that cannot be
// entered and at the command's limit of folders.
[[nodiscard]] int DeleteEntries(SessionWorker& session, ListingCache& cache,
                                SessionCommand& command);
// Empties the directory listed at `position` of directory `id`, files before folders, so
// that its RMD can succeed. Returns 200 for an empty directory, else the last code; 550 for
// a folder the trail refuses (a loop, too deep), and -599 once the command has entered its
// limit of folders.
[[nodiscard]] int DeleteTree(SessionWorker& session, ListingCache& cache, int32_t id,
                             int32_t position, int32_t flags, DirectoryTrail& trail);
// DELE (RMD for a directory) for one entry of the server's current directory; the entry
// leaves the cache when the server accepted.
[[nodiscard]] int DeleteEntry(SessionWorker& session, ListingCache& cache, int32_t id,
                              int32_t position);

// Command kind 2: MKD `text` in directory `c`; only a 257 reply adds the new directory to
// the cached listing.
[[nodiscard]] int MakeDirectory(SessionWorker& session, ListingCache& cache,
                                const SessionCommand& command);
// Command kind 8: RNFR and RNTO for the one entry of the command's PositionList (found by
// the name it had when queued) in directory `c`, new name `text`. 0 when there is no such
// entry. A refusal tells the observer, which restores the old name in the view.
[[nodiscard]] int RenameEntry(SessionWorker& session, ListingCache& cache,
                              const SessionCommand& command);
// Command kind 10: the typed line `text` as it is, or, with a PositionList (freed here),
// "SITE chmod" with the mode `b` for every listed entry, found by the name it had when queued.
[[nodiscard]] int SiteCommand(SessionWorker& session, ListingCache& cache, SessionCommand& command);

}  // namespace qvex
