#pragma once

#include <cstddef>
#include <string>

namespace qvex::platform {

// A read-write mapping that can grow: backed by a file (which grows on disk with it) or by
// anonymous memory (a log kept in memory only). Growing may move the mapping, so callers
// re-read data() after Grow and must hold their own lock around both. A whole existing file
// can also be mapped read-only (a saved log on view): such a mapping never grows, is never
// written and leaves its file as it was.
class GrowableMapping {
  public:
    enum class CreateResult {
        Created,
        Exists,
        Failed,
    };

    GrowableMapping() = default;
    GrowableMapping(const GrowableMapping&) = delete;
    GrowableMapping& operator=(const GrowableMapping&) = delete;
    ~GrowableMapping();

    // Creates a new file (never an existing one) of `bytes` zero bytes and maps it.
    CreateResult CreateFile(const std::string& path, size_t bytes);
    // Maps an existing file whole for reading only. An empty file gives a mapping of size 0
    // (data() is valid but holds nothing). False when the file cannot be opened or mapped.
    [[nodiscard]] bool OpenReadOnly(const std::string& path);
    // Maps `bytes` of zeroed anonymous memory.
    [[nodiscard]] bool MapMemory(size_t bytes);
    // Extends the mapping (and its file) to `bytes`; on failure the old mapping stays valid.
    [[nodiscard]] bool Grow(size_t bytes);
    // Unmaps; a file mapped read-write is cut to `keepBytes` first.
    void Close(size_t keepBytes);

    char* data() const { return data_; }
    size_t size() const { return size_; }
    bool mapped() const { return data_ != nullptr; }
    bool fileBacked() const { return fd_ >= 0; }
    bool readOnly() const { return readOnly_; }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;
    bool readOnly_ = false;
};

}  // namespace qvex::platform
