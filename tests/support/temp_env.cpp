#include "tests/support/temp_env.h"

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace qvex::test {

int RunWithFileSizeLimit(uint64_t bytes, const std::function<int()>& work) {
    struct rlimit saved {};
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0) {
        throw std::runtime_error("getrlimit(RLIMIT_FSIZE) failed");
    }
    struct rlimit small = saved;
    small.rlim_cur = bytes;
    auto previous = signal(SIGXFSZ, SIG_IGN);
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) {
        (void)signal(SIGXFSZ, previous);
        throw std::runtime_error("setrlimit(RLIMIT_FSIZE) failed");
    }
    const int result = work();
    (void)setrlimit(RLIMIT_FSIZE, &saved);
    (void)signal(SIGXFSZ, previous);
    return result;
}
namespace {

void Save(const char* name, std::string& value, bool& had) {
    const char* current = std::getenv(name);
    had = current != nullptr;
    if (had) {
        value = current;
    }
}

void Restore(const char* name, const std::string& value, bool had) {
    if (had) {
        ::setenv(name, value.c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

}  // namespace

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvex-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

TempEnv::TempEnv() {
    const std::string& root = folder_.root();
    Save("HOME", savedHome_, hadHome_);
    Save("XDG_DATA_HOME", savedData_, hadData_);
    Save("XDG_CONFIG_HOME", savedConfig_, hadConfig_);
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
}

TempEnv::~TempEnv() {
    Restore("HOME", savedHome_, hadHome_);
    Restore("XDG_DATA_HOME", savedData_, hadData_);
    Restore("XDG_CONFIG_HOME", savedConfig_, hadConfig_);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::map<std::string, std::string> TreeOf(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(item.path(), root).string();
        tree[relative] = item.is_regular_file() ? ReadFileBytes(item.path().string()) : "<dir>";
    }
    return tree;
}

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SetFileTime(const std::string& path, int64_t seconds) {
    std::filesystem::last_write_time(
        path,
        std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds))));
}

int64_t FileTime(const std::string& path) {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path))
                   .time_since_epoch())
        .count();
}

}  // namespace qvex::test
