#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/file_lock.h"

namespace qvex::platform {
namespace {

char* MapShared(int fd, size_t bytes) {
    int flags = fd >= 0 ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS;
    void* start = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    return start == MAP_FAILED ? nullptr : static_cast<char*>(start);
}

}  // namespace

int ReserveFileSpace(int fd, size_t bytes) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return errno;
    }
    constexpr uint64_t kBlockUnit = 512;  // st_blocks counts these
    if (static_cast<uint64_t>(info.st_size) >= bytes &&
        static_cast<uint64_t>(info.st_blocks) * kBlockUnit >= bytes) {
        return 0;
    }
    int result;
    do {
        result = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    } while (result == EINTR);
    return result;
}

GrowableMapping::~GrowableMapping() {
    Close(size_);
}

GrowableMapping::CreateResult GrowableMapping::CreateFile(const std::string& path, size_t bytes) {
    Close(size_);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        lastError_ = errno;
        return errno == EEXIST ? CreateResult::Exists : CreateResult::Failed;
    }
    // Locked before it has a size, so that a copy reading it never sees more than it keeps.
    if (!LockOpenFile(fd, FileLock::Mode::Exclusive, true)) {
        lastError_ = errno;
        ::unlink(path.c_str());
        ::close(fd);
        return CreateResult::Failed;
    }
    // Another copy's retention may have removed the brand-new name before the lock was had:
    // then the name counts as taken.
    if (!NamesOpenFile(path, fd)) {
        ::close(fd);
        lastError_ = EEXIST;
        return CreateResult::Exists;
    }
    char* start = nullptr;
    lastError_ = ReserveFileSpace(fd, bytes);
    if (lastError_ == 0) {
        start = MapShared(fd, bytes);
        lastError_ = start == nullptr ? errno : 0;
    }
    if (start == nullptr) {
        ::unlink(path.c_str());
        ::close(fd);
        return lastError_ == ENOSPC || lastError_ == EDQUOT ? CreateResult::NoRoom
                                                            : CreateResult::Failed;
    }
    fd_ = fd;
    data_ = start;
    size_ = bytes;
    return CreateResult::Created;
}

bool GrowableMapping::OpenReadOnly(const std::string& path) {
    Close(size_);
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool read = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                static_cast<uint64_t>(info.st_size) <= SIZE_MAX;
    // A file no running copy holds is never cut again (only its writer cuts it, while it
    // holds it): it is mapped, and costs no memory of its own.
    if (read && info.st_size > 0 && LockOpenFile(fd, FileLock::Mode::Shared, false)) {
        void* start =
            ::mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (start != MAP_FAILED) {
            ::close(fd);
            data_ = static_cast<char*>(start);
            size_ = static_cast<size_t>(info.st_size);
            readOnly_ = true;
            viewMapped_ = true;
            return true;
        }
    }
    try {
        copy_.resize(read ? static_cast<size_t>(info.st_size) : 0);
    } catch (const std::bad_alloc&) {
        read = false;
    }
    size_t got = 0;
    while (read && got < copy_.size()) {
        ssize_t count =
            ::pread(fd, copy_.data() + got, copy_.size() - got, static_cast<off_t>(got));
        if (count > 0) {
            got += static_cast<size_t>(count);
        } else if (count == 0) {
            break;  // cut by its copy meanwhile: what was there counts
        } else if (errno != EINTR) {
            read = false;
        }
    }
    ::close(fd);
    if (!read) {
        std::string().swap(copy_);
        return false;
    }
    copy_.resize(got);
    data_ = copy_.data();
    size_ = copy_.size();
    readOnly_ = true;
    return true;
}

bool GrowableMapping::MapMemory(size_t bytes) {
    Close(size_);
    data_ = MapShared(-1, bytes);
    size_ = data_ != nullptr ? bytes : 0;
    return data_ != nullptr;
}

bool GrowableMapping::Grow(size_t bytes) {
    if (data_ == nullptr || readOnly_ || bytes <= size_) {
        return false;
    }
    if (fileBacked()) {
        lastError_ = ReserveFileSpace(fd_, bytes);
        if (lastError_ != 0) {
            (void)::ftruncate(fd_, static_cast<off_t>(size_));
            return false;
        }
    }
    void* moved = ::mremap(data_, size_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        lastError_ = errno;
        if (fileBacked()) {
            (void)::ftruncate(fd_, static_cast<off_t>(size_));
        }
        return false;
    }
    data_ = static_cast<char*>(moved);
    size_ = bytes;
    return true;
}

bool GrowableMapping::MoveToMemory(size_t bytes, size_t keepBytes) {
    if (!fileBacked() || keepBytes > size_ || keepBytes > bytes) {
        return false;
    }
    char* memory = MapShared(-1, bytes);
    if (memory == nullptr) {
        return false;
    }
    std::memcpy(memory, data_, keepBytes);
    ::munmap(data_, size_);
    (void)::ftruncate(fd_, static_cast<off_t>(keepBytes));
    data_ = memory;
    size_ = bytes;
    inMemory_ = true;
    return true;
}

void GrowableMapping::Close(size_t keepBytes) {
    if (data_ != nullptr && size_ != 0 && (!readOnly_ || viewMapped_)) {
        ::munmap(data_, size_);
    }
    if (fileBacked()) {
        (void)::ftruncate(fd_, static_cast<off_t>(keepBytes < size_ ? keepBytes : size_));
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    std::string().swap(copy_);
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
    readOnly_ = false;
    viewMapped_ = false;
    inMemory_ = false;
}

}  // namespace qvex::platform
