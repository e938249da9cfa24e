#include "platform/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qvex::platform {
namespace {

thread_local int lastError = 0;

bool Fail() {
    lastError = errno;
    return false;
}

// A folder, a FIFO or a device is no file to transfer.
bool IsRegularFile(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return Fail();
    }
    if (!S_ISREG(info.st_mode)) {
        lastError = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    return true;
}

}  // namespace

size_t MaxLocalPathLength() {
    return PATH_MAX - 1;
}

std::optional<LocalStatus> LocalPathStatus(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        lastError = errno;
        return std::nullopt;
    }
    LocalStatus status;
    status.isFolder = S_ISDIR(info.st_mode);
    status.isFile = S_ISREG(info.st_mode);
    status.size = static_cast<uint64_t>(info.st_size);
    status.modified = static_cast<int64_t>(info.st_mtim.tv_sec);
    status.mode = static_cast<uint32_t>(info.st_mode & 07777);
    return status;
}

bool SetLocalMode(const std::string& path, uint32_t mode) {
    return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0 || Fail();
}

bool SetLocalModificationTime(const std::string& path, int64_t seconds) {
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 || Fail();
}

bool MakeLocalFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return true;
    }
    lastError = error;
    return false;
}

int LastFileError() {
    return lastError;
}

std::string FileErrorText(int error) {
    char buffer[256];
    // The GNU form returns the text, which may or may not be the buffer.
    return ::strerror_r(error, buffer, sizeof buffer);
}

LocalFile::~LocalFile() {
    Close();
}

bool LocalFile::OpenForReading(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        return Fail();
    }
    if (!IsRegularFile(fd_)) {
        Close();
        return false;
    }
    (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool LocalFile::OpenForWriting(const std::string& path) {
    Close();
    // No O_TRUNC: the caller decides when the old contents go (only once a transfer has
    // really begun). O_NONBLOCK keeps a FIFO from blocking the open; files ignore it.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd_ < 0) {
        return Fail();
    }
    if (!IsRegularFile(fd_)) {
        Close();
        return false;
    }
    return true;
}

void LocalFile::Close() {
    if (fd_ >= 0) {
        if (::close(fd_) != 0) {
            lastError = errno;
        }
        fd_ = -1;
    }
}

long LocalFile::Read(void* buffer, size_t size) {
    for (;;) {
        ssize_t count = ::read(fd_, buffer, size);
        if (count >= 0) {
            return static_cast<long>(count);
        }
        if (errno != EINTR) {
            lastError = errno;
            return -1;
        }
    }
}

bool LocalFile::Write(const void* bytes, size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t count = ::write(fd_, next, size);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail();
        }
        next += count;
        size -= static_cast<size_t>(count);
    }
    return true;
}

bool LocalFile::Seek(uint64_t offset) {
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0 || Fail();
}

bool LocalFile::Empty() {
    // Cutting a file to nothing makes ext4 (XFS and btrfs alike) write back all that is
    // written to it when a descriptor of it is next closed: a second or more after a large
    // download. So an empty file is not cut, and a file with bytes is cut through a second
    // descriptor (where /proc offers one) closed at once, which takes that write-back while
    // there is nothing to write. The download then ends as one into a new file does.
    std::optional<uint64_t> size = Size();
    if (size && *size == 0) {
        return true;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const int other = ::open(self.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    const bool emptied = ::ftruncate(other >= 0 ? other : fd_, 0) == 0 || Fail();
    if (other >= 0) {
        ::close(other);
    }
    return emptied;
}

std::optional<uint64_t> LocalFile::Size() const {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace qvex::platform

namespace qvex::platform {

SocketToFile::~SocketToFile() {
    if (readEnd_ >= 0) {
        ::close(readEnd_);
        ::close(writeEnd_);
    }
}

bool SocketToFile::Open() {
    if (readEnd_ >= 0) {
        return true;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return Fail();
    }
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    // A larger pipe takes more of what has arrived per call; the system may allow less.
    int size = ::fcntl(writeEnd_, F_SETPIPE_SZ, static_cast<int>(kMostPerMove));
    if (size < 0) {
        size = ::fcntl(writeEnd_, F_GETPIPE_SZ);
    }
    capacity_ = size > 0 ? static_cast<size_t>(size) : 4096;
    return true;
}

long SocketToFile::Move(SocketHandle socket, LocalFile& file, size_t length) {
    if (readEnd_ < 0 || socket == kNoSocket || !file.isOpen()) {
        SetLastSocketError(kWsaEinval);
        return -1;
    }
    length = std::min(length, capacity_);
    // A handle is the descriptor plus one (socket.h).
    const int descriptor = socket - 1;
    ssize_t received;
    do {
        received = ::splice(descriptor, nullptr, writeEnd_, nullptr, length, SPLICE_F_MOVE);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        SetLastSocketError(TranslateSystemError(errno));
        return -1;
    }
    for (ssize_t left = received; left > 0;) {
        ssize_t written = ::splice(readEnd_, nullptr, file.fd_, nullptr, static_cast<size_t>(left),
                                   SPLICE_F_MOVE);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // A file that takes nothing more (a full disk, a size limit) says why on a
            // write; what stays in the pipe is dropped with the transfer.
            lastError = written < 0 ? errno : EIO;
            return kWriteFailed;
        }
        left -= written;
    }
    return static_cast<long>(received);
}

}  // namespace qvex::platform
