#include "platform/tick.h"

#include <chrono>

namespace qvex::platform {

uint64_t TickCount64() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace qvex::platform
