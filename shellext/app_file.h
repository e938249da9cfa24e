#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qvex::shellext {

// The value "AppFile" under the key "HKEY_CURRENT_USER\Software\VbKs\Qvex\Settings" of the
// program's registry file: the path of Qvex3, which the program writes at each start.
//
// A reader of just what the menus need, kept apart from the program's own: the file starts
// with the line "REGEDIT4", keys are "[...]" lines, values are lines '"Name"="text"' whose
// text escapes only '\' and '"' (any other byte, a line end too, stands for itself). Names
// compare without regard to ASCII case; a repeated value takes the last one. Nullopt when
// the file is foreign or holds no such string value, or when the value is empty, longer
// than kMaxAppFileBytes or holds a NUL.
inline constexpr size_t kMaxAppFileBytes = 4096;

[[nodiscard]] std::optional<std::string> FindAppFile(std::string_view registryText);
// The same, from the registry file of the user's configuration folder.
[[nodiscard]] std::optional<std::string> ReadAppFile();

}  // namespace qvex::shellext
