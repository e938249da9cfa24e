#include "tests/support/temp_env.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvex::test {
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

}  // namespace qvex::test
