#pragma once

#include <cstddef>
#include <string>

namespace qvex::platform {

// A read-write mapping that can grow: backed by a file (which grows on disk with it) or by
// anonymous memory (a log kept in memory only). Growing may move the mapping, so callers
// re-read data() after Grow and must hold their own lock around both.
//
// A file it creates is locked for as long as it stays open, so other copies leave it alone
// (RemoveUnlessLocked), and its disk space is reserved before the mapping covers it: a full
// disk is a failed call, never a fault when a mapped page is first written.
//
// A whole existing file can also be opened for viewing (a saved log), never to grow or be
// written. It is mapped when no running copy holds it; a file that a running copy writes is
// copied into memory instead, as that copy may cut it at any time, and a mapped page beyond
// the new end would fault.
class GrowableMapping {
  public:
    enum class CreateResult {
        Created,
        Exists,
        NoRoom,  // the file system is full (or the quota reached): no file is left
        Failed,
    };

    GrowableMapping() = default;
    GrowableMapping(const GrowableMapping&) = delete;
    GrowableMapping& operator=(const GrowableMapping&) = delete;
    ~GrowableMapping();

    // Creates a new file (never an existing one) of `bytes` zero bytes and maps it.
    CreateResult CreateFile(const std::string& path, size_t bytes);
    // Opens an existing file whole, for reading only. An empty file gives a size of 0 (data()
    // is valid but holds nothing). False when the file cannot be opened or read.
    [[nodiscard]] bool OpenReadOnly(const std::string& path);
    // Maps `bytes` of zeroed anonymous memory.
    [[nodiscard]] bool MapMemory(size_t bytes);
    // Extends the mapping (and its file) to `bytes`; on failure the old mapping stays valid
    // and lastError() tells why.
    [[nodiscard]] bool Grow(size_t bytes);
    // Goes on in anonymous memory of `bytes` holding the first `keepBytes` of the text; the
    // file is cut to those bytes and stays open (and locked) but is no longer written. False
    // (the old mapping kept) when the memory cannot be had.
    [[nodiscard]] bool MoveToMemory(size_t bytes, size_t keepBytes);
    // Unmaps; a file mapped read-write is cut to `keepBytes` first.
    void Close(size_t keepBytes);

    char* data() const { return data_; }
    size_t size() const { return size_; }
    bool mapped() const { return data_ != nullptr; }
    // The text lives in a file written through the mapping (not in memory, nor moved there).
    bool fileBacked() const { return fd_ >= 0 && !inMemory_; }
    bool readOnly() const { return readOnly_; }
    // The system's error number of the last failed CreateFile or Grow.
    int lastError() const { return lastError_; }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;
    bool readOnly_ = false;
    bool viewMapped_ = false;  // a file opened for viewing is mapped rather than copied
    bool inMemory_ = false;  // file-backed text moved to memory: the file is kept as it was
    int lastError_ = 0;
    std::string copy_;  // the text of a file read for viewing
};

// For the other files of this layer: reserves disk space for the first `bytes` of the file
// open as `fd`, extending it to that size when shorter (a file already that long and fully
// allocated is left alone). Returns 0 or the system's error number; on failure the file may
// have been extended in part, and the caller restores its size.
[[nodiscard]] int ReserveFileSpace(int fd, size_t bytes);

}  // namespace qvex::platform
