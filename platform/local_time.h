#pragma once

#include <cstdint>

namespace qvex::platform {

// The machine's current bias in minutes, UTC minus local time (so -60 in Central Europe in
// winter), with daylight saving in force included; 0 when the system cannot tell.
int32_t UtcMinusLocalMinutes();

}  // namespace qvex::platform
