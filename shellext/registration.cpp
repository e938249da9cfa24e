#include "shellext/registration.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "shellext/menu_files.h"
#include "shellext/process.h"
#include "shellext/recent_hosts.h"
#include "shellext/xdg_folders.h"

namespace qvex::shellext {
namespace {

namespace fs = std::filesystem;

// The folders our files live in, deepest first, removed when they are left empty.
constexpr const char* kOurFolders[] = {
    "nautilus/scripts/Qvex PRO/Upload file(s) To",
    "nautilus/scripts/Qvex PRO/Verify As",
    "nautilus/scripts/Qvex PRO",
    "nautilus/scripts",
    "nautilus",
    "nemo/actions",
    "nemo",
    "kio/servicemenus",
    "kio",
    "mime/packages",
    "applications",
};

bool SameBytes(const fs::path& path, const std::string& content) {
    return ReadFileStart(path.string(), content.size() + 1) == content;
}

// Through a temporary file and a rename, so a menu never reads half a file.
bool WriteFile(const fs::path& path, const MenuFile& file) {
    const auto permissions = file.executable ? fs::perms(0755) : fs::perms(0644);
    std::error_code error;
    if (SameBytes(path, file.content)) {
        fs::permissions(path, permissions, error);
        return !error;
    }
    fs::create_directories(path.parent_path(), error);
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << file.content;
        out.flush();
        if (!out) {
            fs::remove(temporary, error);
            return false;
        }
    }
    fs::permissions(temporary, permissions, error);
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

// Our Nautilus upload scripts: their names are the hosts, so they are known by their text.
std::vector<fs::path> NautilusUploadScripts(const fs::path& data) {
    std::vector<fs::path> scripts;
    std::error_code error;
    const std::string header = kScriptHeader;
    for (fs::directory_iterator it(data / kNautilusUploadFolder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error) &&
            ReadFileStart(it->path().string(), header.size()) == header) {
            scripts.push_back(it->path());
        }
    }
    return scripts;
}

// Removes the upload items that `keep` does not hold.
void PruneUploadItems(const fs::path& data, const std::set<fs::path>& keep) {
    std::vector<fs::path> candidates = NautilusUploadScripts(data);
    for (const std::string& path : UploadItemPaths()) {
        candidates.push_back(data / path);
    }
    std::error_code error;
    for (const fs::path& path : candidates) {
        if (keep.count(path) == 0 && fs::is_regular_file(path, error)) {
            fs::remove(path, error);
        }
    }
}

void RemoveEmptyFolders(const fs::path& data) {
    std::error_code error;
    for (const char* folder : kOurFolders) {
        if (fs::is_directory(data / folder, error) && fs::is_empty(data / folder, error)) {
            fs::remove(data / folder, error);
        }
    }
}

bool HasFileEndingIn(const fs::path& folder, const std::string& ending) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().string().ends_with(ending)) {
            return true;
        }
    }
    return false;
}

// The caches are made from the packages and entries alone: with none left they hold
// nothing, and are removed with the folders they were made for.
void RefreshCaches(const fs::path& data) {
    std::error_code error;
    const fs::path mime = data / "mime";
    if (fs::is_directory(mime / "packages", error) && ToolExists("update-mime-database")) {
        (void)RunTool("update-mime-database", {mime.string()});
    }
    if (fs::is_directory(mime, error) && !HasFileEndingIn(mime / "packages", ".xml")) {
        fs::remove_all(mime, error);
    }
    const fs::path applications = data / "applications";
    if (fs::is_directory(applications, error) && ToolExists("update-desktop-database")) {
        (void)RunTool("update-desktop-database", {"-q", applications.string()});
    }
    if (!HasFileEndingIn(applications, ".desktop")) {
        fs::remove(applications / "mimeinfo.cache", error);
    }
}

int WriteMenuFiles(const std::string& programFolder) {
    const std::string data = DataHome();
    if (data.empty()) {
        return 1;
    }
    const std::vector<MenuFile> files = MenuFiles(programFolder, ReadRecentHosts());
    if (files.empty()) {
        return 2;
    }
    std::set<fs::path> written;
    for (const MenuFile& file : files) {
        const fs::path path = fs::path(data) / file.path;
        if (!WriteFile(path, file)) {
            return 3;
        }
        written.insert(path);
    }
    PruneUploadItems(data, written);
    return 0;
}

}  // namespace

int RegisterIntegration(const std::string& programFolder) {
    const int result = WriteMenuFiles(programFolder);
    if (result == 0) {
        RefreshCaches(DataHome());
    }
    return result;
}

int UpdateUploadItems(const std::string& programFolder) {
    std::error_code error;
    const std::string data = DataHome();
    if (data.empty() || !fs::is_regular_file(fs::path(data) / kDesktopEntryPath, error)) {
        return 0;
    }
    return WriteMenuFiles(programFolder);
}

int UnregisterIntegration() {
    const std::string data = DataHome();
    if (data.empty()) {
        return 1;
    }
    std::error_code error;
    // The names of all but the upload items do not depend on the folder or the hosts.
    for (const MenuFile& file : MenuFiles("/", {})) {
        const fs::path path = fs::path(data) / file.path;
        if (fs::is_regular_file(path, error)) {
            fs::remove(path, error);
        }
    }
    PruneUploadItems(data, {});
    RemoveEmptyFolders(data);
    RefreshCaches(data);
    RemoveEmptyFolders(data);
    return 0;
}

}  // namespace qvex::shellext
