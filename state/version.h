#pragma once

#include <cstdint>
#include <string_view>

namespace qvex {

// Versions are packed one byte per part, so packed values compare like the versions.
constexpr uint32_t PackVersion(uint32_t major, uint32_t minor, uint32_t build, uint32_t revision) {
    return (major & 0xFFu) << 24 | (minor & 0xFFu) << 16 | (build & 0xFFu) << 8 |
           (revision & 0xFFu);
}

// The program's version text, as the log header and the Help page show it.
inline constexpr const char* kFileVersion = "3.5";

// The version of this program ("AppVersion").
inline constexpr uint32_t kAppVersion = PackVersion(3, 5, 0, 0);

// The program title: the window title and the first words of every session log.
inline constexpr std::string_view kProgramTitle = "Qvex 3.5";

// From 2.1.2 on, "AuthData" holds the proxy credentials and per-host words store time
// zones as codes rather than list positions.
inline constexpr uint32_t kVersion212 = PackVersion(2, 1, 2, 0);
static_assert(kVersion212 == 0x02010200u);

}  // namespace qvex
