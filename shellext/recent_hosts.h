#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvex::shellext {

// The recent hosts that Qvex3 writes for the menus: URLs one per line, most recent first,
// lines ended by CR LF, CR or LF. An empty line ends the list. Lines that are not sane
// (control characters, invalid UTF-8, longer than kMaxRecentHostBytes) are skipped, so a
// damaged file can put nothing odd into a menu or a command; at most kMaxRecentHosts are
// kept. The upload items number these entries p0 to p7.
inline constexpr size_t kMaxRecentHosts = 8;
inline constexpr size_t kMaxRecentHostBytes = 511;

[[nodiscard]] std::vector<std::string> ParseRecentHosts(std::string_view text);
// The file in the program's data folder; empty when it is missing or unreadable.
[[nodiscard]] std::vector<std::string> ReadRecentHosts();

// The URL as a menu shows it: a password between "user:" and "@" becomes "****".
[[nodiscard]] std::string RecentHostLabel(std::string_view url);

}  // namespace qvex::shellext
