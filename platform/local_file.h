#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/socket.h"

namespace qvex::platform {

// The longest local path the system accepts (its path limit less the terminating NUL).
[[nodiscard]] size_t MaxLocalPathLength();

// What a local path names, its permission bits, and for a file its size and modification time.
struct LocalStatus {
    bool isFolder = false;
    bool isFile = false;  // a regular file
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970, UTC
    uint32_t mode = 0;     // permission bits, 07777 (set-user-ID, set-group-ID, sticky, rwx)
};
// Nullopt when nothing is there (or it cannot be examined); LastFileError() tells why.
[[nodiscard]] std::optional<LocalStatus> LocalPathStatus(const std::string& path);

// Sets a file's modification time (seconds since 1970, UTC); the access time is left alone.
[[nodiscard]] bool SetLocalModificationTime(const std::string& path, int64_t seconds);

// Sets the permission bits (07777) of a file or folder; a symbolic link passes the change to
// what it names.
[[nodiscard]] bool SetLocalMode(const std::string& path, uint32_t mode);

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
    // (empty it or seek afterwards).
    [[nodiscard]] bool OpenForWriting(const std::string& path);
    void Close();

    // Up to `size` bytes: the count, 0 at the end, -1 on error.
    [[nodiscard]] long Read(void* buffer, size_t size);
    // All `size` bytes, or false.
    [[nodiscard]] bool Write(const void* bytes, size_t size);
    [[nodiscard]] bool Seek(uint64_t offset);
    // Cuts the file to nothing; its old blocks are freed before this returns.
    [[nodiscard]] bool Empty();
    // The file's current size, or nullopt.
    [[nodiscard]] std::optional<uint64_t> Size() const;

    bool isOpen() const { return fd_ >= 0; }

  private:
    friend class SocketToFile;
    int fd_ = -1;
};

// Received bytes written into a file without passing through this process (on Linux a
// splice through a pipe that the kernel keeps): a download stored as it arrives costs one
// copy of its bytes instead of two. Not copyable; the pipe goes on destruction.
class SocketToFile {
  public:
    // What Move gives when the file could not be written (LastFileError tells why).
    static constexpr long kWriteFailed = -3;
    // The most one Move takes: the pipe's size.
    static constexpr size_t kMostPerMove = 1024 * 1024;

    SocketToFile() = default;
    SocketToFile(const SocketToFile&) = delete;
    SocketToFile& operator=(const SocketToFile&) = delete;
    ~SocketToFile();

    // False when the system offers no such path; the caller then reads and writes itself.
    [[nodiscard]] bool Open();
    // One receive from `socket` of up to `length` bytes (at most kMostPerMove), all written
    // at `file`'s position: the count, 0 when the peer has closed, -1 when the receive
    // failed (LastSocketError tells why) or kWriteFailed. Waits like a receive.
    [[nodiscard]] long Move(SocketHandle socket, LocalFile& file, size_t length);

  private:
    int readEnd_ = -1;
    int writeEnd_ = -1;
    size_t capacity_ = 0;
};

}  // namespace qvex::platform
