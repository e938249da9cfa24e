#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/control_connection.h"
#include "engine/session_command.h"

namespace qvex {

struct SessionWorker;
class ListingCache;

// Flag bits of a list command (`b` of kind 0).
// When the directory cannot be entered, list the folder that contains it.
inline constexpr int32_t kListFallBackToParent = 0x01;
// The directory is new and empty: its node is made complete, so no LIST is sent.
inline constexpr int32_t kListCreateComplete = 0x02;
// Handed to the user interface with the listing-ready notice; not passed to subdirectories.
inline constexpr int32_t kListShowUser = 0x04;
// Refresh: LIST is sent even when the cache holds the listing.
inline constexpr int32_t kListRefresh = 0x08;
// After a completed listing, queue a list command for every subdirectory.
inline constexpr int32_t kListRecursive = 0x10;

// Command kind 0: makes the named directory the server's current one and brings its listing
// into the cache, from the cache itself when it holds a complete listing. Returns 200 when
// the cache served it, else the final reply of LIST, or the failing reply of CWD, PWD or
// TYPE; 599 when no data connection could be made (421 when the server went away). Stores
// the directory's cache id in *outId (may be null) when it is known.
[[nodiscard]] int listDirectory(SessionWorker& session, ListingCache& cache,
                                const SessionCommand& command, int32_t* outId);

// Command kind 1: writes the cached listing of directory `c` to the local file `text`, one
// "YYYY/MM/DD HH:MM <size in 11> <name>" line with CR LF per entry. 200, or 599 when the file
// cannot be created.
[[nodiscard]] int listToFile(ListingCache& cache, const SessionCommand& command);

// PWD. On 257 with a quoted path, the path goes to `out` and to currentDirectory; a 257
// without one logs "*** unrecognized "257" response format" and gives 599. Any other reply
// code is returned as it is, and nothing changes.
[[nodiscard]] int printWorkingDirectory(SessionWorker& session, std::string& out);

// The server's working directory is now `path`: currentDirectory, and the remote folder of
// the recovery record while error recovery is on and no resumption is pending.
void storeCurrentDirectory(SessionWorker& session, const std::string& path);

// Whether SendCommand would refuse this command line (CR, LF or NUL in it, no verb, or more
// than 510 characters), so that a two-step exchange can stop before its first step.
[[nodiscard]] bool commandRefused(std::string_view verb, std::optional<std::string_view> argument);

// One command and its reply. A command that SendCommand refuses (CR, LF or NUL in it, or
// longer than 510 characters; it logs why) gives 599 without reading a reply; a failed send
// gives 421. `argument` absent sends the verb alone.
[[nodiscard]] int exchangeCommand(SessionWorker& session, std::string_view verb,
                                  std::optional<std::string_view> argument, FtpReply& reply,
                                  bool wantLastLine = false);

}  // namespace qvex
