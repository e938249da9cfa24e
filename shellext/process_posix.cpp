#include "shellext/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace qvex::shellext {
namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A sealed section that the next started program inherits (no close-on-exec); -1 on
// failure. Qvex3 accepts only a sealable memory section after "-@".
int NameSection(const std::vector<std::string>& names) {
    std::string bytes;
    for (const std::string& name : names) {
        bytes += name;
        bytes.push_back('\0');
    }
    const int fd = ::memfd_create("QvexNames", MFD_ALLOW_SEALING);
    if (fd < 0) {
        return -1;
    }
    if (!WriteAll(fd, bytes)) {
        ::close(fd);
        return -1;
    }
    (void)::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

}  // namespace

std::string StartProgram(const std::string& program, std::vector<std::string> arguments,
                         const std::vector<std::string>* sectionNames) {
    int section = -1;
    if (sectionNames != nullptr) {
        section = NameSection(*sectionNames);
        if (section < 0) {
            return std::string("Unable to create the file list section: ") + std::strerror(errno);
        }
        char handle[16];
        std::snprintf(handle, sizeof handle, "%x", static_cast<unsigned>(section));
        arguments.push_back("-@");
        arguments.push_back(handle);
    }
    std::vector<char*> argv = Argv(program, arguments);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (section >= 0) {
        ::close(section);
    }
    if (error != 0) {
        return "Unable to start " + program + ": " + std::strerror(error);
    }
    return std::string();
}

int RunTool(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv = Argv(program, arguments);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

bool ToolExists(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string FolderOfCode(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    std::error_code error;
    const std::filesystem::path file = std::filesystem::canonical(info.dli_fname, error);
    return error ? std::string() : file.parent_path().string() + "/";
}

std::string ProgramFolder() {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : file.parent_path().string() + "/";
}

void NotifyDesktop(const std::string& title, const std::string& message) {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr || !ToolExists("notify-send")) {
        return;
    }
    std::vector<std::string> arguments{"--app-name=Qvex PRO", "--", title, message};
    std::vector<char*> argv = Argv("notify-send", arguments);
    pid_t pid = 0;
    (void)::posix_spawnp(&pid, "notify-send", nullptr, nullptr, argv.data(), environ);
}

}  // namespace qvex::shellext
