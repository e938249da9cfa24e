#include "platform/virtual_memory.h"

#include <sys/mman.h>

namespace qvex::platform {

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

}  // namespace qvex::platform
