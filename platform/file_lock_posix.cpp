#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
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

bool LockOpenFile(int fd, FileLock::Mode mode, bool wait) {
    return SetLock(fd, mode, wait);
}

bool NamesOpenFile(const std::string& path, int fd) {
    struct stat named {};
    struct stat open {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// A shared lock conflicts only with the owner's exclusive one, so several copies may test
// the same file at once. Holding it across the unlink makes an owner that is just creating
// the file wait, and then see that its name is gone.
RemoveResult RemoveUnlessLocked(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return RemoveResult::Failed;
    }
    RemoveResult result = RemoveResult::InUse;
    if (SetLock(fd, FileLock::Mode::Shared, false)) {
        result = NamesOpenFile(path, fd) && ::unlink(path.c_str()) == 0 ? RemoveResult::Removed
                                                                        : RemoveResult::Failed;
    }
    ::close(fd);
    return result;
}

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
