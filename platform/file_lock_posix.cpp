#include "platform/file_lock.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

namespace qvex::platform {
namespace {

// Open-file-description locks rather than flock: both belong to the open file description
// and die with the process, but a refused flock conversion (shared to exclusive) has
// already dropped the shared lock, while a refused OFD conversion leaves it in place.
bool SetLock(int fd, FileLock::Mode mode, bool wait) {
    struct flock request {};
    request.l_type = static_cast<short>(mode == FileLock::Mode::Shared ? F_RDLCK : F_WRLCK);
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // the whole file, however long it grows
    const int command = wait ? F_OFD_SETLKW : F_OFD_SETLK;
    int result;
    do {
        result = ::fcntl(fd, command, &request);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileLock::~FileLock() {
    Release();
}

bool FileLock::Acquire(const std::string& path, Mode mode) {
    return Lock(path, mode, true);
}

bool FileLock::TryAcquire(const std::string& path, Mode mode) {
    return Lock(path, mode, false);
}

bool FileLock::Lock(const std::string& path, Mode mode, bool wait) {
    Release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    if (!SetLock(fd, mode, wait)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool FileLock::TryConvert(Mode mode) {
    return fd_ >= 0 && SetLock(fd_, mode, false);
}

void FileLock::Release() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the last descriptor of the description drops the lock
        fd_ = -1;
    }
}

}  // namespace qvex::platform
