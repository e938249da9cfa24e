#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/session_command.h"

namespace qvex {

struct SessionWorker;
class ListingCache;

// Uploads read the local file in blocks of this size; a Smart upload decides its type from
// the first one.
inline constexpr size_t kUploadBlockSize = 8192;

// The local folders being sent, outermost first, as the system resolves them: a local link
// that leads back into one of them would otherwise be sent forever.
using LocalTrail = std::vector<std::string>;

// Command kind 5: sends local files and folders into directory `c`. The flags `b` hold the
// mode, Update-ONLY and the source kind (a signed 16-bit number): 0 the paths of a NameList
// (dropped files; `text`, when not empty, names a subfolder of `c` to upload into), 1 the
// one path in `text`, 2 the names of a NameList relative to the folder `text`, 3 a NameList
// of full paths. A negative code or 421 from an item ends the command with its magnitude.
[[nodiscard]] int putFiles(SessionWorker& session, ListingCache& cache, SessionCommand& command);

// Sends the local folder `localPath` as a subdirectory of `dirId`, recursively, creating it
// when the listing lacks it.
[[nodiscard]] int putDirectory(SessionWorker& session, ListingCache& cache, int32_t dirId,
                               const std::string& localPath, int32_t flags, LocalTrail& trail);

// Sends one local file into `dirId` (the server's current directory) and records it in the
// cached listing.
[[nodiscard]] int putFile(SessionWorker& session, ListingCache& cache, int32_t dirId,
                          const std::string& localPath, int32_t flags);

// The remote name of a local path: its last part, blanks made "_" when `replaceSpaces`.
[[nodiscard]] std::string remoteNameOf(const std::string& localPath, bool replaceSpaces);

}  // namespace qvex
