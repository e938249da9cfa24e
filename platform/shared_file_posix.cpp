#include "platform/shared_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "platform/mapped_file.h"

namespace qvex::platform {
namespace {

// Opens the file, creating it when absent; `created` tells which. A file deleted between the
// two opens is tried again a few times.
int OpenOrCreate(const std::string& path, bool& created) {
    created = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            created = true;
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
    }
    return -1;
}

bool SetFileSize(int fd, size_t bytes) {
    int result;
    do {
        result = ::ftruncate(fd, static_cast<off_t>(bytes));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

std::string PresenceLockPath(const std::string& path) {
    return path + ".lock";
}

SharedFile::~SharedFile() {
    Close();
}

SharedFile::OpenResult SharedFile::Open(const std::string& path, size_t bytes, SizeRule rule) {
    Close();
    lastError_ = 0;
    if (bytes == 0 || !presence_.Acquire(PresenceLockPath(path), FileLock::Mode::Shared)) {
        presence_.Release();
        return OpenResult::Failed;
    }
    bool created = false;
    int fd = OpenOrCreate(path, created);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) {
            ::close(fd);
        }
        presence_.Release();
        return OpenResult::Failed;
    }
    const size_t found = static_cast<size_t>(info.st_size);
    const size_t wanted = rule == SizeRule::KeepOwn && found > 0 ? found : bytes;
    OpenResult result = created           ? OpenResult::Created
                        : found == wanted ? OpenResult::Existing
                                          : OpenResult::Resized;
    // Every byte that will be mapped gets its disk space first (also the holes of a file
    // that an older copy left sparse): a full disk fails here, not as a fault on a write.
    void* start = MAP_FAILED;
    lastError_ = found > wanted && !SetFileSize(fd, wanted) ? errno : ReserveFileSpace(fd, wanted);
    if (lastError_ == 0) {
        start = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        lastError_ = start == MAP_FAILED ? errno : 0;
    } else if (found < wanted) {
        (void)SetFileSize(fd, found);
    }
    if (start == MAP_FAILED) {
        ::close(fd);
        presence_.Release();
        return OpenResult::Failed;
    }
    fd_ = fd;
    data_ = static_cast<char*>(start);
    size_ = wanted;
    path_ = path;
    return result;
}

bool SharedFile::Alone() {
    if (!presence_.held() || !presence_.TryConvert(FileLock::Mode::Exclusive)) {
        return false;
    }
    // Going back to shared never waits: no one else can hold the lock at this moment.
    (void)presence_.TryConvert(FileLock::Mode::Shared);
    return true;
}

bool SharedFile::Resize(size_t bytes) {
    if (data_ == nullptr || bytes == 0) {
        return false;
    }
    if (bytes == size_) {
        return true;
    }
    if (bytes > size_) {
        lastError_ = ReserveFileSpace(fd_, bytes);
        if (lastError_ != 0) {
            (void)SetFileSize(fd_, size_);
            return false;
        }
        if (!Remap(bytes)) {
            (void)SetFileSize(fd_, size_);
            return false;
        }
        return true;
    }
    // Shrink the mapping before the file, so no mapped page ever lies beyond its end.
    if (!Remap(bytes)) {
        return false;
    }
    return SetFileSize(fd_, bytes);
}

bool SharedFile::outOfRoom() const {
    return lastError_ == ENOSPC || lastError_ == EDQUOT;
}

bool SharedFile::Refresh() {
    struct stat info {};
    if (data_ == nullptr || ::fstat(fd_, &info) != 0 || info.st_size <= 0) {
        return false;
    }
    return Remap(static_cast<size_t>(info.st_size));
}

bool SharedFile::Remap(size_t bytes) {
    if (bytes == size_) {
        return true;
    }
    void* moved = ::mremap(data_, size_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        return false;
    }
    data_ = static_cast<char*>(moved);
    size_ = bytes;
    return true;
}

bool SharedFile::Flush() {
    // Not MS_SYNC: on a journalling file system that waits for the commit of everything
    // written before, a whole download's data included (half a second after 1 GiB). Every
    // copy sees the mapped bytes at once anyway; the system writes them back soon.
    return data_ != nullptr && ::msync(data_, size_, MS_ASYNC) == 0;
}

void SharedFile::Close() {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
    path_.clear();
    presence_.Release();
}

}  // namespace qvex::platform
