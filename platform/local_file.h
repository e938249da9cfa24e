#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qvex::platform {

// The longest local path the system accepts (its path limit less the terminating NUL).
[[nodiscard]] size_t MaxLocalPathLength();

// What a local path names, and for a file its size and modification time.
struct LocalStatus {
    bool isFolder = false;
    bool isFile = false;  // a regular file
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970, UTC
};
// Nullopt when nothing is there (or it cannot be examined); LastFileError() tells why.
[[nodiscard]] std::optional<LocalStatus> LocalPathStatus(const std::string& path);

// Sets a file's modification time (seconds since 1970, UTC); the access time is left alone.
[[nodiscard]] bool SetLocalModificationTime(const std::string& path, int64_t seconds);

// Creates one folder (its parent must exist); true when it exists as a folder afterwards.
[[nodiscard]] bool MakeLocalFolder(const std::string& path);

// The calling thread's last error of the functions here, and its text.
[[nodiscard]] int LastFileError();
[[nodiscard]] std::string FileErrorText(int error);

// A local file read or written in blocks, with no library buffer in between: the transfer
// code hands whole blocks to the system. Others may read the file meanwhile. Not copyable;
// closed on destruction.
class LocalFile {
  public:
    LocalFile() = default;
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    ~LocalFile();

    // Opens an existing regular file for sequential reading.
    [[nodiscard]] bool OpenForReading(const std::string& path);
    // Opens a regular file for writing, creating it when absent; its contents are kept
    // (truncate or seek afterwards).
    [[nodiscard]] bool OpenForWriting(const std::string& path);
    void Close();

    // Up to `size` bytes: the count, 0 at the end, -1 on error.
    [[nodiscard]] long Read(void* buffer, size_t size);
    // All `size` bytes, or false.
    [[nodiscard]] bool Write(const void* bytes, size_t size);
    [[nodiscard]] bool Seek(uint64_t offset);
    [[nodiscard]] bool Truncate(uint64_t size);
    // The file's current size, or nullopt.
    [[nodiscard]] std::optional<uint64_t> Size() const;

    bool isOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace qvex::platform
