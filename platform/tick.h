#pragma once

#include <cstdint>

namespace qvex::platform {

// Milliseconds of a monotonic clock; the 32-bit form wraps like the designed tick counter.
uint64_t TickCount64();
inline uint32_t TickCount() {
    return static_cast<uint32_t>(TickCount64());
}

}  // namespace qvex::platform
