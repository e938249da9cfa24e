#pragma once

#include <string>

namespace qvex::platform {

// The user's data home: ${XDG_DATA_HOME:-$HOME/.local/share}/, ending with the separator;
// "" when no home folder is known.
std::string DataHome();

// Where the per-user data folder ("AppData") belongs:
// ${XDG_DATA_HOME:-$HOME/.local/share}/VbKs/Qvex/, ending with the path separator; "" when
// no home folder is known. Nothing is created.
std::string DataFolderPath();

// DataFolderPath(), created with its parents (mode 0700); "" when it cannot be made or is
// not a folder this user may write in. The program then runs without a data folder, never
// in its own folder, which users cannot or should not write.
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
