#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace qvex::test {

// Runs `work` with the process's file-size limit lowered to `bytes` (SIGXFSZ ignored), so a
// write past it fails as on a full disk; the limit is restored before returning.
int RunWithFileSizeLimit(uint64_t bytes, const std::function<int()>& work);

// A fresh temporary folder, removed with everything in it on destruction.
class TempFolder {
  public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();

    const std::string& root() const { return root_; }  // no trailing separator
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  private:
    std::string root_;
};

// A fresh temporary folder that becomes HOME, XDG_DATA_HOME and XDG_CONFIG_HOME for the
// lifetime of the object, so nothing a test does reaches the real home folder.
// The previous values are restored and the folder removed on destruction.
class TempEnv {
  public:
    TempEnv();
    TempEnv(const TempEnv&) = delete;
    TempEnv& operator=(const TempEnv&) = delete;
    ~TempEnv();

    const std::string& root() const { return folder_.root(); }  // no trailing separator
    std::string path(const std::string& relative) const { return folder_.path(relative); }

  private:
    TempFolder folder_;
    std::string savedHome_, savedData_, savedConfig_;
    bool hadHome_ = false, hadData_ = false, hadConfig_ = false;
};

// Whole-file helpers for checking bytes on disk.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// `size` bytes of every value, the same for the same seed.
std::string RandomBytes(size_t size, unsigned seed);
// Every file and folder below `root` by relative path, with the bytes of the files ("<dir>"
// for folders): two trees are equal when these are.
std::map<std::string, std::string> TreeOf(const std::string& root);

// The clock, and a file's modification time, in seconds since 1970.
int64_t NowSeconds();
void SetFileTime(const std::string& path, int64_t seconds);
int64_t FileTime(const std::string& path);

}  // namespace qvex::test
