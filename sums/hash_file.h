#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "sums/hash_algorithm.h"

namespace qvex {

inline constexpr size_t kHashReadSize = 16384;
// Files from this size on show a percentage; smaller ones a busy bar.
inline constexpr uint64_t kPercentModeSize = 104857600;
// How much is read between two looks at the percentage (and at the stop request).
inline constexpr uint64_t kProgressCheckBytes = 5242880;
// A percentage is reported only when it is at least this much above the last one.
inline constexpr int kProgressStep = 2;

// Values a worker tells its progress thread.
inline constexpr int kProgressBusy = -2;     // no percentage for this file
inline constexpr int kProgressPercent = -1;  // percentages follow

// Where one file's progress goes while it is hashed.
class HashProgress {
  public:
    virtual ~HashProgress() = default;
    // Reports kProgressBusy, kProgressPercent or a percentage. True means stop: the file is
    // abandoned.
    virtual bool Report(int value) = 0;
    // Looked at on every progress check, also when no value is reported, so a stop does not
    // wait for the next two percent of a very large file.
    virtual bool StopRequested() { return false; }
};

struct HashFileResult {
    bool ok = false;     // false: not a regular file, not opened, a read error, or stopped
    uint64_t bytes = 0;  // bytes hashed
    std::array<uint8_t, kMaxDigestBytes> digest{};
    size_t digestSize = 0;
};

// Files from this size on may be read by a second thread while the first one hashes.
inline constexpr uint64_t kReadAheadFromSize = 8388608;

// Which thread reads the file's blocks.
enum class HashReading {
    // A reader thread for a file from kReadAheadFromSize on, while at most half of the
    // processors are hashing files (so the reader has one to itself), unless the digest runs
    // on the processor's SHA instructions (then hashing outruns the hand-over); else in line.
    // Decided when the file starts and again at each progress check.
    Automatic,
    InLine,     // the hashing thread reads each block before hashing it
    ReadAhead,  // a reader thread fills a ring of 64 blocks while the hashing thread hashes
};

// Hashes one file: opened read-only for sequential reading, read 16 KiB at a time into
// page-aligned buffers with no library buffer between, progress reported as described at
// the constants above. With a reader thread, no block past the next progress check is read
// before that check, so both ways read and report the same. A file that shrinks or grows
// while it is read gives the digest of what was read. Anything but a regular file (a folder,
// a FIFO, a device) fails without being opened for reading.
[[nodiscard]] HashFileResult HashFile(const std::string& path, HashAlgorithm algorithm,
                                      HashProgress& progress,
                                      HashReading reading = HashReading::Automatic);

}  // namespace qvex
