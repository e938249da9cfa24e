#pragma once

#include <string>

namespace qvex::shellext {

// The per-user folders of the freedesktop base directories, each ending with "/": the
// variable when it holds an absolute path (relative ones are invalid by those rules), else
// the default below HOME; "" when neither is known.
std::string DataHome();    // XDG_DATA_HOME, ~/.local/share
std::string ConfigHome();  // XDG_CONFIG_HOME, ~/.config

// Where the program keeps what the menus read.
std::string RegistryFilePath();     // <config>/VbKs/Qvex/registry.reg
std::string RecentHostsFilePath();  // <data>/VbKs/Qvex/QvexMRU.txt

// At most `limit` bytes of the file's beginning; "" when it cannot be read.
std::string ReadFileStart(const std::string& path, size_t limit);

}  // namespace qvex::shellext
