#pragma once

#include <string>

namespace qvex::platform {

// The per-user data folder ("AppData"): ${XDG_DATA_HOME:-$HOME/.local/share}/VbKs/Qvex/,
// created with its parents (mode 0700). Falls back to the program's own folder when it
// cannot be created. Always ends with the path separator.
std::string DataFolder();

// The folder that holds the registry file: ${XDG_CONFIG_HOME:-$HOME/.config}/VbKs/Qvex/.
// Not created here; the registry file creates it on its first write.
std::string ConfigFolder();

// Full path of the registry file.
std::string RegistryFilePath();

// Full path of the running program, and its folder (ending with the separator).
std::string ProgramPath();
std::string ProgramFolder();

// Creates a folder and its missing parents with the given mode; true when it exists afterwards.
bool MakeFolders(const std::string& path, unsigned mode);

inline constexpr char kPathSeparator = '/';

}  // namespace qvex::platform
