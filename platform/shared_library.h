#pragma once

#include <string>

namespace qvex::platform {

// A shared library loaded by path for the functions it exports; unloaded on destruction.
class SharedLibrary {
  public:
    SharedLibrary() = default;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    ~SharedLibrary();

    // False, with error() telling why, when the library cannot be loaded.
    [[nodiscard]] bool Open(const std::string& path);

    // The exported function of that name with the given type, or null.
    template <typename Function>
    Function* Find(const char* name) const {
        return reinterpret_cast<Function*>(Address(name));
    }

    const std::string& error() const { return error_; }

  private:
    void* Address(const char* name) const;

    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace qvex::platform
