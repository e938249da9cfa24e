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

// The file's exact UTC modification time from MDTM, asked only where the listing's time is
// not exact (LIST: to the minute, in the server's zone, or only a date for older files; an
// MLSD time is exact already).
[[nodiscard]] std::optional<int64_t> askExactRemoteTime(SessionWorker& session,
                                                        const std::string& name);

// Update-ONLY's comparison of a remote file with a local time: -1 older, 0 the same, 1 newer;
// by `exactTime` when there is one, else by the listing.
[[nodiscard]] int compareRemoteFileToLocalTime(const SessionWorker& session,
                                               const RemoteEntry& entry,
                                               std::optional<int64_t> exactTime,
                                               int64_t localTime);

}  // namespace qvex
