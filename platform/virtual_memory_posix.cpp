#include "platform/virtual_memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace qvex::platform {

namespace {

constexpr uintptr_t kPage = 4096;
constexpr uintptr_t kHugePage = 2 * 1024 * 1024;

void Unmap(uintptr_t start, uintptr_t end) {
    if (end > start) {
        ::munmap(reinterpret_cast<void*>(start), end - start);
    }
}

}  // namespace

void* ReserveRegion(size_t bytes) {
    void* start =
        ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return start == MAP_FAILED ? nullptr : start;
}

bool CommitRegion(void* start, size_t bytes) {
    return ::mprotect(start, bytes, PROT_READ | PROT_WRITE) == 0;
}

void ReleaseRegion(void* start, size_t bytes) {
    if (start != nullptr) {
        ::munmap(start, bytes);
    }
}

void* MapFillRegion(size_t bytes) {
    // One huge page more than asked for, so that the region can start on a huge page's
    // boundary; what lies outside goes back at once.
    const uintptr_t wanted = (bytes + kPage - 1) & ~(kPage - 1);
    void* mapped = ::mmap(nullptr, wanted + kHugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    const auto first = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t start = (first + kHugePage - 1) & ~(kHugePage - 1);
    Unmap(first, start);
    Unmap(start + wanted, first + wanted + kHugePage);
    // Only advice: without huge pages the region works all the same.
    (void)::madvise(reinterpret_cast<void*>(start), wanted, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

void PrefaultRegion(void* start, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    if (::madvise(start, bytes, MADV_POPULATE_WRITE) == 0) {
        return;
    }
#endif
    // Older systems: a write to each page does the same (the region is still all zeros).
    auto* bytesOf = static_cast<volatile char*>(start);
    for (size_t offset = 0; offset < bytes; offset += kPage) {
        bytesOf[offset] = 0;
    }
}

}  // namespace qvex::platform
