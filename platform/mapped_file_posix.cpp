#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>

namespace qvex::platform {
namespace {

char* MapShared(int fd, size_t bytes) {
    int flags = fd >= 0 ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS;
    void* start = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    return start == MAP_FAILED ? nullptr : static_cast<char*>(start);
}

// What an empty read-only mapping points at: the system cannot map zero bytes.
char gNoBytes[1] = {'\0'};

}  // namespace

GrowableMapping::~GrowableMapping() {
    Close(size_);
}

GrowableMapping::CreateResult GrowableMapping::CreateFile(const std::string& path, size_t bytes) {
    Close(size_);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno == EEXIST ? CreateResult::Exists : CreateResult::Failed;
    }
    char* start = nullptr;
    if (::ftruncate(fd, static_cast<off_t>(bytes)) == 0) {
        start = MapShared(fd, bytes);
    }
    if (start == nullptr) {
        ::close(fd);
        ::unlink(path.c_str());
        return CreateResult::Failed;
    }
    fd_ = fd;
    data_ = start;
    size_ = bytes;
    return CreateResult::Created;
}

bool GrowableMapping::OpenReadOnly(const std::string& path) {
    Close(size_);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > SIZE_MAX) {
        ::close(fd);
        return false;
    }
    size_t bytes = static_cast<size_t>(info.st_size);
    char* start = gNoBytes;
    if (bytes != 0) {
        void* mapped = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) {
            ::close(fd);
            return false;
        }
        start = static_cast<char*>(mapped);
    }
    fd_ = fd;
    data_ = start;
    size_ = bytes;
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
    if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
        return false;
    }
    void* moved = ::mremap(data_, size_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        if (fd_ >= 0) {
            (void)::ftruncate(fd_, static_cast<off_t>(size_));
        }
        return false;
    }
    data_ = static_cast<char*>(moved);
    size_ = bytes;
    return true;
}

void GrowableMapping::Close(size_t keepBytes) {
    if (data_ != nullptr && size_ != 0) {
        ::munmap(data_, size_);
    }
    if (fd_ >= 0 && !readOnly_) {
        (void)::ftruncate(fd_, static_cast<off_t>(keepBytes < size_ ? keepBytes : size_));
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
    readOnly_ = false;
}

}  // namespace qvex::platform
