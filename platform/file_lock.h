#pragma once

#include <string>

namespace qvex::platform {

// An advisory lock on a lock file, held until the object is destroyed. The kernel drops
// it when the process dies, so a crashed copy never leaves a lock behind.
class FileLock {
  public:
    enum class Mode {
        Shared,
        Exclusive,
    };

    FileLock() = default;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Waits for the lock. The lock file is created (mode 0600) when missing.
    [[nodiscard]] bool Acquire(const std::string& path, Mode mode);
    // Takes the lock only when no other holder prevents it.
    [[nodiscard]] bool TryAcquire(const std::string& path, Mode mode);
    // Changes a held lock's mode without waiting; false when another holder prevents it.
    [[nodiscard]] bool TryConvert(Mode mode);
    void Release();
    bool held() const { return fd_ >= 0; }

  private:
    bool Lock(const std::string& path, Mode mode, bool wait);
    int fd_ = -1;
};

// A file that a running copy writes (its current session log) carries a lock of that copy on
// the file itself, held for as long as the copy has it open.
enum class RemoveResult {
    Removed,
    InUse,   // another copy holds the file: it stays
    Failed,  // already gone, or cannot be removed
};
// Deletes a file unless a running copy holds a lock on it. Waits for no one.
[[nodiscard]] RemoveResult RemoveUnlessLocked(const std::string& path);

// For the other files of this layer: locks the file open as `fd` (an open-file-description
// lock, held until that descriptor is closed), and tells whether `path` still names that
// open file.
[[nodiscard]] bool LockOpenFile(int fd, FileLock::Mode mode, bool wait);
[[nodiscard]] bool NamesOpenFile(const std::string& path, int fd);

}  // namespace qvex::platform
