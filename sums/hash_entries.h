#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sums/hash_algorithm.h"

namespace qvex {

enum class HashMode {
    Compute,
    Verify,
};

// One row of a hash job.
struct HashEntry {
    std::string fullPath;
    // Where the path relative to the base folder begins: the folder's length plus its
    // separator (0 for a name that was given as a full path).
    uint32_t relativeOffset = 0;
    // Verify mode: the expected digest as written, ">" after a mismatch, "" when the file
    // could not be hashed. Compute mode: "" until the digest arrives.
    std::string result;

    std::string_view relativePath() const {
        return std::string_view(fullPath).substr(relativeOffset);
    }
};

// What a job is asked to do, from the local pane's menu or from the command line.
struct HashRequest {
    HashMode mode = HashMode::Compute;
    int letter = 0;  // the algorithm letter; any other value asks for HashAlgorithm::None
    // Compute: the folder the names are relative to; "" when they are full paths.
    // Verify: the folder a relative sums-file name is relative to.
    std::string baseFolder;
    // Compute: the files and folders to hash. Verify: the sums file, alone.
    std::vector<std::string> names;
};

// Command-line kinds and flag bits that start a hash job.
inline constexpr int kCommandLineComputeKind = 6;       // "-5" followed by the letter
inline constexpr int kCommandLineVerifyKind = 7;        // "-6", optionally followed by the letter
inline constexpr uint32_t kCommandLineHashJob = 2;      // end the program when the job ends
inline constexpr uint32_t kCommandLineSharedNames = 4;  // "-@": args[2] is a section handle

// The job described by a parsed command line (kind, mode = the letter's character code,
// flags, args as [0] URL, [1] folder, [2]... positional). Nullopt for other kinds, and for
// "-@" when the section cannot be taken over.
[[nodiscard]] std::optional<HashRequest> HashRequestFromCommandLine(
    int kind, int mode, uint32_t flags, const std::vector<std::string>& args);

struct JoinedPath {
    std::string fullPath;
    uint32_t relativeOffset = 0;
};

// A name joined to a base folder with one separator between. A name that is a full path,
// or an empty folder, gives the name itself.
[[nodiscard]] JoinedPath JoinBaseFolder(std::string_view folder, std::string_view name);

// The folder part of a path, separator included ("" for a bare name).
[[nodiscard]] std::string FolderOf(std::string_view path);

struct CollectedEntries {
    HashAlgorithm algorithm = HashAlgorithm::None;
    std::string baseFolder;
    std::vector<HashEntry> entries;
};

// Verify: one entry per valid line of the sums file, relative to the file's folder. A name
// written with '\' separators that does not exist as written is taken with '/' instead when
// that names something. An unreadable file gives no entries.
[[nodiscard]] CollectedEntries EntriesFromSumsFile(const std::string& sumsPath,
                                                   HashAlgorithm requested);

// Compute: every name joined to the base folder; a folder is walked (sorted by name, each
// sub-folder walked where it comes), every file in it an entry. Symbolic links to folders
// inside a walked folder are not followed, so a link loop cannot run away. A name that is
// not a folder becomes an entry whatever it is, so a missing file shows as unknown.
[[nodiscard]] std::vector<HashEntry> EntriesFromNames(const std::string& baseFolder,
                                                      const std::vector<std::string>& names);

// The entries a request asks for. Compute without an algorithm gives none.
[[nodiscard]] CollectedEntries CollectEntries(const HashRequest& request);

}  // namespace qvex
