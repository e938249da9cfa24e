#pragma once

#include <cstdint>
#include <cstdio>

#include "state/shared_heap.h"
#include "sums/hash_entries.h"

namespace qvex {

class HashJob;
class Settings;

// Exit statuses of a hash-sum run (documented in README.md).
inline constexpr uint32_t kHashRunUnknown = 0x01;  // a file could not be read (or is missing)
inline constexpr uint32_t kHashRunBad = 0x02;      // a file's digest did not match
inline constexpr uint32_t kHashRunEmpty = 0x04;    // nothing to hash, or no sums in the file
inline constexpr uint32_t kHashRunFailed = 0x08;   // the job could not start

// The status of a job that started (or found nothing to hash) and has ended: the empty bit,
// or the unknown bit when a file could not be hashed (or was never reached, the job being
// closed early) and the bad bit when a digest did not match.
[[nodiscard]] uint32_t HashJobStatus(const HashJob& job);

// Runs a hash job to its end on the calling thread, without a window. A compute job prints
// "<hash>  <relative path>" per file to `out` (the layout the usual tools check); a verify
// job prints "<relative path>: Good" (or "Bad", "Unknown") per file, then the summary lines.
// Returns the status: 0 when every file was hashed (and matched), else the bits above.
[[nodiscard]] uint32_t RunHashJob(SharedHeap& heap, const HashRequest& request,
                                  const Settings& settings, std::FILE* out);

}  // namespace qvex
