#pragma once

#include <cstdint>
#include <string>

#include "engine/session_command.h"
#include "transfer/transfer_steps.h"

namespace qvex {

struct SessionWorker;
struct RemoteEntry;
class ListingCache;

// Source kind of a get command whose TextPayload is a remote path (relative to the login
// folder, or absolute) naming a file or a folder: its folder is listed and the entry is
// fetched, a folder as a whole tree. The command line's fetch uses it.
inline constexpr int32_t kGetRemotePath = 3;

// Downloads read the data connection in blocks of up to this size: four times fewer
// system calls than 16 KiB blocks, which is what keeps a loopback download ahead of curl.
inline constexpr int32_t kDownloadBlockSize = 65536;
// The Smart mode judges a file by one first receive of at most this many bytes.
inline constexpr int32_t kSmartProbeSize = 16384;

// Command kind 4: fetches entries of directory `c` into the local folder `text` (the current
// folder when empty). The flags `b` hold the mode, Update-ONLY and the source kind: 0 the
// positions of a PositionList, 1 the remote name of a TextPayload (a resumed download), 2
// the names of a NameList, 3 (kGetRemotePath) a remote path. Returns the last item's
// code; a negative code or 421 from an item ends the command with its magnitude.
[[nodiscard]] int getFiles(SessionWorker& session, ListingCache& cache, SessionCommand& command);

// Fetches the directory (or link) at `position` of directory `dirId` into `localPath`,
// recursively. A link whose listing fails is fetched as a file. A negative result stops the
// whole command, as does the command's limit of folders (`trail`).
[[nodiscard]] int getDirectory(SessionWorker& session, ListingCache& cache, int32_t dirId,
                               int32_t position, const std::string& localPath, int32_t flags,
                               DirectoryTrail& trail);

// Fetches one file entry of the server's current directory into `localPath`. The local file
// is replaced (or, resuming, continued) only once its first bytes have arrived, so a refused
// transfer, or one that ends before any byte, leaves an existing file as it was. Fewer bytes
// than the listed size is a failed download, whatever the final reply says. A partial file
// is left with the oldest time there is, so that Update-ONLY fetches it again.
[[nodiscard]] int getFile(SessionWorker& session, const RemoteEntry& entry,
                          const std::string& localPath, int32_t flags);

// Whether a name from the server can be a local file or folder name: not empty, not "." or
// "..", without "/" or NUL. Anything else could reach outside the chosen folder.
[[nodiscard]] bool isSafeLocalName(std::string_view name);

// `folder` and `name` joined by one separator.
[[nodiscard]] std::string joinLocalPath(const std::string& folder, std::string_view name);

}  // namespace qvex
