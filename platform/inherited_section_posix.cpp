#include "platform/inherited_section.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace qvex::platform {
namespace {

// Far beyond any selection a file manager hands over; a larger section is not mapped.
constexpr off_t kMaxSectionBytes = off_t{256} << 20;

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<int> ParseHandle(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    if (value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace

std::optional<std::string> EncodeNameList(const std::vector<std::string>& names) {
    std::string bytes;
    for (const std::string& name : names) {
        if (name.empty() || name.find('\0') != std::string::npos) {
            return std::nullopt;
        }
        bytes.append(name);
        bytes.push_back('\0');
    }
    return bytes;
}

std::vector<std::string> DecodeNameList(std::string_view bytes) {
    std::vector<std::string> names;
    while (!bytes.empty() && bytes.front() != '\0') {
        size_t end = bytes.find('\0');
        names.emplace_back(bytes.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        bytes.remove_prefix(end + 1);
    }
    return names;
}

InheritedSection::~InheritedSection() {
    Close();
}

bool InheritedSection::Create(const std::vector<std::string>& names) {
    Close();
    std::optional<std::string> bytes = EncodeNameList(names);
    if (!bytes) {
        return false;
    }
    // No MFD_CLOEXEC: the descriptor must survive the exec of the started program.
    int fd = ::memfd_create("QvexNames", MFD_ALLOW_SEALING);
    if (fd < 0) {
        return false;
    }
    if (!WriteAll(fd, *bytes)) {
        ::close(fd);
        return false;
    }
    // The receiver maps what it was given; nobody may change it from here on. A kernel
    // without seals still gets a working list.
    (void)::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    fd_ = fd;
    return true;
}

std::string InheritedSection::HandleText() const {
    if (fd_ < 0) {
        return std::string();
    }
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(fd_));
    return text;
}

int InheritedSection::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void InheritedSection::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::optional<std::vector<std::string>> TakeInheritedNames(std::string_view handleText) {
    std::optional<int> fd = ParseHandle(handleText);
    if (!fd) {
        return std::nullopt;
    }
    // Only memory sections answer this; a closed descriptor, a terminal, a pipe or a file on
    // disk do not, and are left alone.
    if (::fcntl(*fd, F_GET_SEALS) < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(*fd, &info) != 0 || info.st_size > kMaxSectionBytes) {
        ::close(*fd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    if (info.st_size > 0) {
        auto size = static_cast<size_t>(info.st_size);
        void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, *fd, 0);
        if (view == MAP_FAILED) {
            ::close(*fd);
            return std::nullopt;
        }
        names = DecodeNameList(std::string_view(static_cast<const char*>(view), size));
        ::munmap(view, size);
    }
    ::close(*fd);
    return names;
}

}  // namespace qvex::platform
