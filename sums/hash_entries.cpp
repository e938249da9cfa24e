#include "sums/hash_entries.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/inherited_section.h"
#include "platform/paths.h"
#include "sums/sums_file.h"

namespace qvex {
namespace {

namespace fs = std::filesystem;

constexpr char kSeparator = platform::kPathSeparator;

bool Exists(const std::string& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

HashEntry MakeEntry(std::string fullPath, uint32_t relativeOffset) {
    HashEntry entry;
    entry.fullPath = std::move(fullPath);
    entry.relativeOffset = relativeOffset;
    return entry;
}

// The names in a folder, sorted; none when it cannot be listed.
std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Depth first, each sub-folder walked where its name comes; an explicit stack, so a deep
// tree cannot exhaust the thread's stack.
void WalkFolder(const std::string& top, uint32_t relativeOffset, std::vector<HashEntry>& entries) {
    struct Level {
        std::string folder;
        std::vector<std::string> names;
        size_t next = 0;
    };
    std::vector<Level> stack;
    stack.push_back({top, FolderNames(top), 0});
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            stack.pop_back();
            continue;
        }
        std::string path = level.folder;
        if (path.empty() || path.back() != kSeparator) {
            path.push_back(kSeparator);
        }
        path += level.names[level.next++];
        std::error_code error;
        fs::file_status own = fs::symlink_status(path, error);
        if (fs::is_symlink(own)) {
            if (fs::is_directory(fs::status(path, error))) {
                continue;
            }
        } else if (fs::is_directory(own)) {
            std::vector<std::string> names = FolderNames(path);
            stack.push_back({std::move(path), std::move(names), 0});
            continue;
        }
        entries.push_back(MakeEntry(std::move(path), relativeOffset));
    }
}

// A name as listed in a sums file. Files written elsewhere with '\' separators are found
// under '/' when the name as written names nothing.
JoinedPath ResolveListedName(const std::string& folder, const std::string& name) {
    JoinedPath joined = JoinBaseFolder(folder, name);
    if (name.find('\\') == std::string::npos || Exists(joined.fullPath)) {
        return joined;
    }
    std::string converted = name;
    std::replace(converted.begin(), converted.end(), '\\', kSeparator);
    JoinedPath other = JoinBaseFolder(folder, converted);
    return Exists(other.fullPath) ? other : joined;
}

}  // namespace

std::optional<HashRequest> HashRequestFromCommandLine(int kind, int mode, uint32_t flags,
                                                      const std::vector<std::string>& args) {
    if (kind != kCommandLineComputeKind && kind != kCommandLineVerifyKind) {
        return std::nullopt;
    }
    HashRequest request;
    request.mode = kind == kCommandLineComputeKind ? HashMode::Compute : HashMode::Verify;
    request.letter = mode;
    if (args.size() > 1) {
        request.baseFolder = args[1];
    }
    if ((flags & kCommandLineSharedNames) != 0) {
        std::optional<std::vector<std::string>> names;
        if (args.size() > 2) {
            names = platform::TakeInheritedNames(args[2]);
        }
        if (!names) {
            return std::nullopt;
        }
        request.names = std::move(*names);
    } else if (args.size() > 2) {
        request.names.assign(args.begin() + 2, args.end());
    }
    if (request.mode == HashMode::Verify && request.names.size() > 1) {
        request.names.resize(1);
    }
    return request;
}

JoinedPath JoinBaseFolder(std::string_view folder, std::string_view name) {
    JoinedPath joined;
    if (folder.empty() || (!name.empty() && name.front() == kSeparator)) {
        joined.fullPath = std::string(name);
        return joined;
    }
    joined.fullPath = std::string(folder);
    if (joined.fullPath.back() != kSeparator) {
        joined.fullPath.push_back(kSeparator);
    }
    joined.relativeOffset = static_cast<uint32_t>(joined.fullPath.size());
    joined.fullPath.append(name);
    return joined;
}

std::string FolderOf(std::string_view path) {
    size_t slash = path.rfind(kSeparator);
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

CollectedEntries EntriesFromSumsFile(const std::string& sumsPath, HashAlgorithm requested) {
    CollectedEntries collected;
    collected.algorithm = requested;
    collected.baseFolder = FolderOf(sumsPath);
    std::optional<SumsFileContent> content = ReadSumsFile(sumsPath, requested);
    if (!content) {
        return collected;
    }
    collected.algorithm = content->algorithm;
    collected.entries.reserve(content->lines.size());
    for (SumsLine& line : content->lines) {
        JoinedPath joined = ResolveListedName(collected.baseFolder, line.name);
        HashEntry entry = MakeEntry(std::move(joined.fullPath), joined.relativeOffset);
        entry.result = std::move(line.digest);
        collected.entries.push_back(std::move(entry));
    }
    return collected;
}

std::vector<HashEntry> EntriesFromNames(const std::string& baseFolder,
                                        const std::vector<std::string>& names) {
    std::vector<HashEntry> entries;
    for (const std::string& name : names) {
        if (name.empty()) {
            continue;
        }
        JoinedPath joined = JoinBaseFolder(baseFolder, name);
        std::error_code error;
        if (fs::is_directory(fs::status(joined.fullPath, error))) {
            WalkFolder(joined.fullPath, joined.relativeOffset, entries);
        } else {
            entries.push_back(MakeEntry(std::move(joined.fullPath), joined.relativeOffset));
        }
    }
    return entries;
}

CollectedEntries CollectEntries(const HashRequest& request) {
    HashAlgorithm algorithm = AlgorithmFromLetter(request.letter);
    if (request.mode == HashMode::Verify) {
        if (request.names.empty()) {
            CollectedEntries none;
            none.algorithm = algorithm;
            return none;
        }
        return EntriesFromSumsFile(JoinBaseFolder(request.baseFolder, request.names[0]).fullPath,
                                   algorithm);
    }
    CollectedEntries collected;
    collected.algorithm = algorithm;
    collected.baseFolder = request.baseFolder;
    if (algorithm != HashAlgorithm::None) {
        collected.entries = EntriesFromNames(request.baseFolder, request.names);
    }
    return collected;
}

}  // namespace qvex
