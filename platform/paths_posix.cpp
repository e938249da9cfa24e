#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace qvex::platform {
namespace {

// The user's home folder: HOME when it is absolute, else the passwd entry's. Never a
// shared folder such as /tmp, where other users could see or replace our files.
std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return {};
}

// An XDG base folder: the variable when it holds an absolute path (relative ones are
// invalid by the XDG rules), else the default below home; "" when no home is known.
std::string EnvOr(const char* name, const std::string& fallbackBelowHome) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    std::string home = HomeFolder();
    if (home.empty()) {
        return {};
    }
    if (home.back() != '/') {
        home.push_back('/');
    }
    return home + fallbackBelowHome;
}

std::string WithSeparator(std::string path) {
    if (path.empty() || path.back() != kPathSeparator) {
        path.push_back(kPathSeparator);
    }
    return path;
}

}  // namespace

bool MakeFolders(const std::string& path, unsigned mode) {
    if (path.empty()) {
        return false;
    }
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string DataHome() {
    std::string base = EnvOr("XDG_DATA_HOME", ".local/share");
    return base.empty() ? std::string() : WithSeparator(base);
}

std::string DataFolderPath() {
    std::string base = DataHome();
    return base.empty() ? std::string() : base + "VbKs/Qvex/";
}

std::string DataFolder() {
    std::string folder = DataFolderPath();
    if (folder.empty() || !MakeFolders(folder.substr(0, folder.size() - 1), 0700) ||
        ::access(folder.c_str(), W_OK | X_OK) != 0) {
        return {};
    }
    return folder;
}

std::string ConfigFolder() {
    std::string base = EnvOr("XDG_CONFIG_HOME", ".config");
    return base.empty() ? ProgramFolder() : WithSeparator(base) + "VbKs/Qvex/";
}

std::string RegistryFilePath() {
    return ConfigFolder() + "registry.reg";
}

std::string ProgramPath() {
    char buffer[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(length));
}

std::string ProgramFolder() {
    std::string path = ProgramPath();
    size_t slash = path.rfind(kPathSeparator);
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace qvex::platform
