#pragma once

#include <cstddef>

namespace qvex::platform {

// A reserved address range whose pages become usable only once committed.
// Reserving costs no memory; committing makes a page range readable and writable.
void* ReserveRegion(size_t bytes);
[[nodiscard]] bool CommitRegion(void* start, size_t bytes);
void ReleaseRegion(void* start, size_t bytes);

// Zero-filled readable and writable memory for a large array that is written from start to
// end, released with ReleaseRegion; nullptr when there is none. Huge pages back it where the
// system offers them, so that filling it costs a page fault per 2 MiB rather than per 4 KiB.
[[nodiscard]] void* MapFillRegion(size_t bytes);

// Gives every page of a region from MapFillRegion its memory now, so that whoever fills it
// later does not pay for the system clearing fresh pages.
void PrefaultRegion(void* start, size_t bytes);

}  // namespace qvex::platform
