#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qvex {

struct SessionWorker;
struct RemoteEntry;

// What SIZE and MDTM tell of one remote file (RFC 3659 sections 3 and 4). Each asks only
// when the server's FEAT answer named the command, and gives nothing when the server refuses
// or answers in another form: the caller then goes by the listing.

// The file's size; ask it in image type only, where it counts the bytes a download gives.
[[nodiscard]] std::optional<int64_t> askRemoteSize(SessionWorker& session,
                                                   const std::string& name);

// Update-ONLY's comparison of a remote file with a local time: -1 older, 0 the same, 1 newer.
// An MLSD listing's time is exact; a LIST time is asked again with MDTM where the server has
// it (a LIST time is in the server's zone, to the minute, or only a date for older files).
[[nodiscard]] int compareRemoteFileToLocalTime(SessionWorker& session, const RemoteEntry& entry,
                                               const std::string& name, int64_t localTime);

}  // namespace qvex
