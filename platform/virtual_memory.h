#pragma once

#include <cstddef>

namespace qvex::platform {

// A reserved address range whose pages become usable only once committed.
// Reserving costs no memory; committing makes a page range readable and writable.
void* ReserveRegion(size_t bytes);
[[nodiscard]] bool CommitRegion(void* start, size_t bytes);
void ReleaseRegion(void* start, size_t bytes);

}  // namespace qvex::platform
