#pragma once

#include <string>
#include <string_view>

namespace qvex::platform {

// The operating system's name for the second header line of a session log, without the
// brackets the log puts round it. On this system it is the kernel's name, release and
// machine from uname, followed by the distribution's PRETTY_NAME when one is known:
//   "Linux 6.1.0-18-amd64 x86_64 Debian GNU/Linux 12 (bookworm)"
// and "Linux 6.1.0-18-amd64 x86_64" without it. "Unknown" when uname fails.
[[nodiscard]] std::string SystemName();

// The value of PRETTY_NAME in the text of an os-release file (KEY=value lines, values
// optionally in double or single quotes, backslash escapes inside double quotes, "#"
// comments), or "" when it is absent or empty. Control characters become spaces, so the
// name always fits one log line.
[[nodiscard]] std::string PrettyNameFromOsRelease(std::string_view text);

}  // namespace qvex::platform
