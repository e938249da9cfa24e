// Command lines come from users, scripts and the file-manager actions. The input is split at
// NUL bytes into arguments (as argv would hand them over); every request parsed from them
// must hold together. Shortcut files are never read here.
#include "state/startup/command_line.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"

namespace {

// Stands in for the shortcut reader: a fixed shortcut, or none for an empty name.
std::optional<qvex::ShortcutData> FixedShortcut(const std::string& path) {
    if (path.empty()) {
        return std::nullopt;
    }
    qvex::ShortcutData data;
    data.url = "ftp://shortcut.example/";
    data.type = 2;
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments;
    size_t begin = 0;
    while (begin <= input.size()) {
        size_t end = input.find('\0', begin);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        arguments.emplace_back(input.substr(begin, end - begin));
        begin = end + 1;
    }
    if (size == 0) {
        arguments.clear();
    }

    qvex::CommandLineRequest request = qvex::ParseCommandLine(arguments, FixedShortcut);
    int kind = static_cast<int>(request.kind);
    Check(kind >= 0 && kind <= 7);
    Check(request.args.size() >= 2);
    Check(request.positional == request.args.size());
    Check(request.args.size() <= arguments.size() + 2);
    Check((request.flags & ~uint32_t{7}) == 0);
    Check(request.mode >= 0 && request.mode <= 255);
    Check(request.pending == 0 || request.pending == 'u' || request.pending == 'f' ||
          request.pending == 'd' || request.pending == 'o');
    // A URL always gives a kind; kinds 1 and 2 say whether files came with it.
    Check(request.kind != qvex::CommandLineKind::None || request.url().empty());
    if (request.kind == qvex::CommandLineKind::Connect) {
        Check(!request.url().empty() && request.args.size() == 2);
    }
    if (request.kind == qvex::CommandLineKind::Upload) {
        Check(!request.url().empty() && request.args.size() > 2);
    }

    qvex::CommandLineKeys keys = qvex::CommandLineKeysOf(request);
    Check(keys.connect == (kind > 0 ? 1 : 0));
    Check(keys.start == (kind > 1 ? 1 : 0));
    Check(keys.only == (kind == 4 || kind == 5 ? 1 : 0));
    Check(keys.xMode == request.mode && static_cast<uint32_t>(keys.xFlags) == request.flags);
    Check(keys.xDir.empty() || (kind < 6 && keys.xDir == request.folder()));

    // The "-@" list would take over a descriptor of this process: only plain file lists.
    if ((request.flags & qvex::kCommandLineSharedNames) == 0) {
        qvex::CommandLineFiles files = qvex::CommandLineUploadFiles(request);
        Check(files.failure.empty());
        size_t named = 0;
        for (size_t i = 2; i < request.args.size(); ++i) {
            named += request.args[i].empty() ? 0 : 1;
        }
        Check(files.paths.size() == named);
    }
    return 0;
}
