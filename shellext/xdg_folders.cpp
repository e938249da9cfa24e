#include "shellext/xdg_folders.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qvex::shellext {
namespace {

std::string BaseFolder(const char* variable, const char* belowHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        std::string folder(value);
        return folder.back() == '/' ? folder : folder + "/";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return std::string();
    }
    std::string folder(home);
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder + belowHome;
}

}  // namespace

std::string DataHome() {
    return BaseFolder("XDG_DATA_HOME", ".local/share/");
}

std::string ConfigHome() {
    return BaseFolder("XDG_CONFIG_HOME", ".config/");
}

std::string RegistryFilePath() {
    const std::string base = ConfigHome();
    return base.empty() ? base : base + "VbKs/Qvex/registry.reg";
}

std::string RecentHostsFilePath() {
    const std::string base = DataHome();
    return base.empty() ? base : base + "VbKs/Qvex/QvexMRU.txt";
}

std::string ReadFileStart(const std::string& path, size_t limit) {
    // Only a regular file: a FIFO or a device put in its place must not block or flood.
    std::error_code error;
    if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
        return std::string();
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(limit, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(limit));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

}  // namespace qvex::shellext
