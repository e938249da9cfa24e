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

// Command kind 1: writes the listing of a remote folder to the local file `text`, one
// "YYYY/MM/DD HH:MM <size in 11> <name>" line with CR LF per entry. The folder is the cached
// directory `c`, or, when the command carries a TextPayload, the folder it names (relative to
// the login folder, or absolute), listed afresh for the purpose. The file appears only when
// the whole listing was written: a folder that cannot be entered or listed, a failed data
// connection, a stopped listing or a failed write leave no file (an older one stays as it
// was) and set the failure bit 16. 200; else the failing reply, or 599.
[[nodiscard]] int listToFile(SessionWorker& session, ListingCache& cache,
                             const SessionCommand& command);

// PWD. On 257 with a quoted path, the path goes to `out` and to currentDirectory; a 257
// without one logs "*** unrecognized "257" response format" and gives 599. Any other reply
// code is returned as it is, and nothing changes.
[[nodiscard]] int printWorkingDirectory(SessionWorker& session, std::string& out);

// The login folder when the server cannot tell its path (PWD fails right after login): the
// folder the session is in, named relative to itself. Its listing is cached under this name
// and names relative to the login folder are found in it; a CWD can reach it, or a path
// below it, only while the server is still there.
inline constexpr std::string_view kUnknownLoginFolder = ".";

// Command kind 6: PWD into workingDirectory. When it fails before any folder is known (right
// after login), workingDirectory and currentDirectory become kUnknownLoginFolder. The PWD's
// code is returned as it is.
[[nodiscard]] int printLoginFolder(SessionWorker& session);

// A path from a URL or the command line, relative to the login folder unless it starts with
// "/", as a path from the root; trailing slashes go (but "/" stays).
[[nodiscard]] std::string pathFromLoginFolder(const SessionWorker& session, std::string path);

// Whether `path` leads through kUnknownLoginFolder while the server is somewhere else, so no
// CWD can reach it; logs why ("*** The login folder has no known path; unable to enter ").
[[nodiscard]] bool beyondUnknownLoginFolder(const SessionWorker& session, std::string_view path);

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
