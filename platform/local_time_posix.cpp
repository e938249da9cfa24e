#include "platform/local_time.h"

#include <time.h>

namespace qvex::platform {

int32_t UtcMinusLocalMinutes() {
    time_t now = ::time(nullptr);
    struct tm local {};
    if (::localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    return static_cast<int32_t>(-local.tm_gmtoff / 60);
}

}  // namespace qvex::platform
