#include "platform/registry_file.h"

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "platform/file_lock.h"
#include "platform/paths.h"
#include "platform/whole_file.h"

namespace qvex::platform {
namespace {

constexpr unsigned kFileMode = 0600;  // the file holds encoded passwords
constexpr unsigned kFolderMode = 0700;

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A temporary file exists only while its writer holds the lock, so under the lock any one
// left over belongs to a writer that died before its rename.
void RemoveStaleTemporaries(const std::string& folder, const std::string& prefix) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        std::string_view name(entry->d_name);
        if (name.starts_with(prefix)) {
            (void)::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

}  // namespace

RegistryFile::RegistryFile() : RegistryFile(RegistryFilePath()) {}

RegistryFile::RegistryFile(std::string path) : path_(std::move(path)) {
    cache_ = ReadDocument();
}

RegistryDocument RegistryFile::ReadDocument() const {
    std::optional<std::string> bytes = ReadWholeFile(path_);
    return bytes ? RegistryDocument::Parse(*bytes) : RegistryDocument{};
}

void RegistryFile::Reload() {
    RegistryDocument fresh = ReadDocument();
    std::lock_guard guard(mutex_);
    cache_ = std::move(fresh);
}

bool RegistryFile::Apply(const std::vector<RegistryChange>& changes) {
    std::lock_guard guard(mutex_);
    std::string folder = FolderOf(path_);
    if (!MakeFolders(folder, kFolderMode)) {
        return false;
    }
    FileLock lock;
    if (!lock.Acquire(path_ + ".lock", FileLock::Mode::Exclusive)) {
        return false;
    }
    RemoveStaleTemporaries(folder, NameOf(path_) + ".tmp.");

    // Another copy may have written since this one last read: start from the file.
    std::optional<std::string> before = ReadWholeFile(path_);
    RegistryDocument document = before ? RegistryDocument::Parse(*before) : RegistryDocument{};
    const std::string unchanged = document.Serialize();
    for (const RegistryChange& change : changes) {
        std::string key = FullKey(change.key);
        if (!RegistryDocument::IsValidKeyPath(key)) {
            return false;
        }
        switch (change.kind) {
            case RegistryChange::Kind::SetValue:
                if (!document.Set(key, change.name, change.value)) {
                    return false;
                }
                break;
            case RegistryChange::Kind::DeleteValue:
                document.Delete(key, change.name);
                break;
            case RegistryChange::Kind::DeleteKey:
                document.DeleteKey(key);
                break;
        }
    }
    std::string text = document.Serialize();
    if (text == unchanged) {  // nothing to store: leave the file (or its absence) alone
        cache_ = std::move(document);
        return true;
    }

    if (!ReplaceWholeFile(path_, text, kFileMode, beforeRenameHook_)) {
        return false;
    }
    cache_ = std::move(document);
    return true;
}

}  // namespace qvex::platform
