#pragma once

#include <cstddef>
#include <string>

#include "platform/file_lock.h"

namespace qvex::platform {

// A file mapped read-write and shared: every running copy that maps it sees the same bytes,
// and what one copy writes reaches the file even when that copy dies. While the file is open
// the object holds a shared presence lock on "<file>.lock" beside it, so a copy can tell
// whether it is the only one with the file open.
//
// The object itself is not thread-safe; its owner guards it. Whoever changes the file's size
// (Resize) or relies on it not changing holds the store's named lock, as every copy maps the
// same file.
class SharedFile {
  public:
    enum class OpenResult {
        Existing,  // the file was there with the wanted size; its bytes are kept
        Created,   // a new file, all zero
        Resized,   // the file was there with another size (or was empty) and now has the wanted
                   // one; its bytes are whatever was there, so the caller rebuilds them
        Failed,
    };

    enum class SizeRule {
        Exact,    // the file gets exactly the given size
        KeepOwn,  // a file with bytes in it keeps its size; a new or empty one gets the given size
    };

    SharedFile() = default;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile();

    // Takes the presence lock (waiting while a copy tests whether it is alone), opens or
    // creates the file (mode 0600) and maps `bytes` of it, or the file's own size under
    // SizeRule::KeepOwn. Anything open before is closed first. A path that is not a regular
    // file, or a size of 0, fails, and so does a file whose disk space cannot be reserved
    // (outOfRoom() then tells a full disk), so no mapped page lacks its disk block.
    [[nodiscard]] OpenResult Open(const std::string& path, size_t bytes,
                                  SizeRule rule = SizeRule::Exact);

    // True when no other object, in this process or another, has the file open: the presence
    // lock could be made exclusive without waiting (it is shared again afterwards).
    [[nodiscard]] bool Alone();

    // Sets the file to `bytes` and maps all of it; data() may move. New bytes read as zero.
    // On failure the old mapping and size stay valid. Disk space for the new bytes is
    // reserved first, as in Open.
    [[nodiscard]] bool Resize(size_t bytes);

    // Maps the file at its current size after another copy has resized it; data() may move.
    // False (the old mapping kept) when the file is empty or cannot be mapped.
    [[nodiscard]] bool Refresh();

    // Hands the mapped bytes to the system for writing to disk, without waiting for it.
    [[nodiscard]] bool Flush();

    // Unmaps, closes the file and drops the presence lock.
    void Close();

    // The last Open or Resize failed for lack of disk space (or quota).
    bool outOfRoom() const;

    char* data() const { return data_; }
    size_t size() const { return size_; }
    bool mapped() const { return data_ != nullptr; }
    const std::string& path() const { return path_; }

  private:
    bool Remap(size_t bytes);

    FileLock presence_;
    std::string path_;
    char* data_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;
    int lastError_ = 0;
};

// The presence lock file of a shared file.
[[nodiscard]] std::string PresenceLockPath(const std::string& path);

}  // namespace qvex::platform
