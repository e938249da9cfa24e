#include "platform/shared_library.h"

#include <dlfcn.h>

namespace qvex::platform {

SharedLibrary::~SharedLibrary() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
}

bool SharedLibrary::Open(const std::string& path) {
    // The path is a full one, so the system never searches its library folders for it.
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error_ = why != nullptr ? why : "unknown error";
        return false;
    }
    return true;
}

void* SharedLibrary::Address(const char* name) const {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

}  // namespace qvex::platform
