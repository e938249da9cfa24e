#include "state/startup/command_line.h"

#include <algorithm>
#include <utility>

#include "platform/inherited_section.h"
#include "state/hosts/host_list.h"
#include "state/settings.h"

namespace qvex {
namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsValueOption(char letter) {
    return letter == 'u' || letter == 'f' || letter == 'd' || letter == 'o';
}

void TakeShortcut(const ShortcutData& shortcut, CommandLineRequest& request) {
    if (!shortcut.url.empty()) {
        request.args[0] = shortcut.url;
    }
    if (!shortcut.folder.empty()) {
        request.args[1] = shortcut.folder;
    }
    request.mode = shortcut.type;
    if (shortcut.updateOnly) {
        request.flags |= kCommandLineUpdateOnly;
    }
}

void TakeValue(const std::string& value, const ShortcutReader& readShortcut,
               CommandLineRequest& request) {
    switch (request.pending) {
        case 'u':
        case 'f':
            request.args[0] = value;
            break;
        case 'd':
            request.args[1] = value;
            break;
        case 'o':
            if (std::optional<ShortcutData> shortcut = readShortcut(value)) {
                TakeShortcut(*shortcut, request);
                request.shortcuts.push_back(value);
            } else {
                request.problems.push_back("@@@ Unable to read " + value +
                                           ": not a Qvex Shortcut file (a regular file of at "
                                           "most 64 KiB)");
            }
            break;
        default:
            break;
    }
    request.pending = 0;
}

// `text` is the option without its "-".
void TakeOption(std::string_view text, CommandLineRequest& request) {
    if (text.empty()) {
        return;
    }
    char letter = LowerAscii(text[0]);
    // The letter after "-5", "-6" and "-x", or 0 when there is none.
    char next = text.size() > 1 ? text[1] : '\0';
    if (IsValueOption(letter)) {
        request.pending = letter;
        if (letter == 'f') {
            request.kind = CommandLineKind::Fetch;
        }
        return;
    }
    switch (letter) {
        case 'p':
            request.kind = CommandLineKind::UploadOnly;
            break;
        case 'g':
            request.kind = CommandLineKind::DownloadOnly;
            break;
        case '5':
        case '6':
            request.kind =
                letter == '5' ? CommandLineKind::ComputeSums : CommandLineKind::VerifySums;
            request.flags |= kCommandLineHashJob;
            request.mode = static_cast<unsigned char>(next);
            break;
        case 'x':
            if (int mode = TransferOptionOfLetter(LowerAscii(next)); mode != 0) {
                request.mode = mode;
            }
            break;
        case 'v':
            request.flags |= kCommandLineUpdateOnly;
            break;
        case '@':
            request.flags |= kCommandLineSharedNames;
            break;
        case 'z':
            request.silent = true;
            break;
        default:
            // Unknown, like the "-r" that comes with "-d" when the shell starts the program
            // in a folder: only the folder counts.
            break;
    }
}

}  // namespace

CommandLineRequest ParseCommandLine(std::span<const std::string> arguments,
                                    const ShortcutReader& readShortcut) {
    CommandLineRequest request;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (request.pending != 0) {
            if (request.pending == 'u' || request.pending == 'f') {
                request.urlArguments.push_back(index);
            }
            TakeValue(argument, readShortcut, request);
        } else if (!argument.empty() && argument.front() == '-') {
            TakeOption(std::string_view(argument).substr(1), request);
        } else {
            if (request.args.size() <= request.positional) {
                request.args.resize(request.positional + 1);
            }
            request.args[request.positional++] = argument;
        }
    }
    if (request.kind == CommandLineKind::None && !request.url().empty()) {
        request.kind = request.positional == 2 ? CommandLineKind::Connect : CommandLineKind::Upload;
    }
    return request;
}

CommandLineRequest ParseCommandLine(std::span<const std::string> arguments) {
    return ParseCommandLine(arguments, ReadShortcutFile);
}

void HideUrlPasswords(const CommandLineRequest& request, std::span<char*> memory) {
    for (size_t index : request.urlArguments) {
        if (index >= memory.size() || memory[index] == nullptr) {
            continue;
        }
        char* argument = memory[index];
        if (const auto span = MaskedPasswordSpan(argument)) {
            std::fill(argument + span->first, argument + span->second, '*');
        }
    }
}

CommandLineKeys CommandLineKeysOf(const CommandLineRequest& request) {
    int kind = static_cast<int>(request.kind);
    CommandLineKeys keys;
    keys.connect = kind > 0 ? 1 : 0;
    keys.start = kind > 1 ? 1 : 0;
    keys.only =
        request.kind == CommandLineKind::UploadOnly || request.kind == CommandLineKind::DownloadOnly
            ? 1
            : 0;
    keys.xMode = request.mode;
    keys.xFlags = static_cast<int32_t>(request.flags);
    if (kind < static_cast<int>(CommandLineKind::ComputeSums)) {
        keys.xDir = request.folder();
    }
    return keys;
}

void StoreCommandLineKeys(const CommandLineRequest& request, Settings& settings) {
    CommandLineKeys keys = CommandLineKeysOf(request);
    settings.SetInt("CLConnect", keys.connect);
    settings.SetInt("CLStart", keys.start);
    settings.SetInt("CLOnly", keys.only);
    settings.SetInt("CLXMode", keys.xMode);
    settings.SetInt("CLXFlags", keys.xFlags);
    if (!keys.xDir.empty()) {
        settings.SetString("CLXDir", std::move(keys.xDir));
    }
}

CommandLineFiles CommandLineUploadFiles(const CommandLineRequest& request) {
    CommandLineFiles files;
    std::vector<std::string> names;
    if ((request.flags & kCommandLineSharedNames) != 0) {
        const std::string handle = request.args.size() > 2 ? request.args[2] : std::string();
        std::optional<std::vector<std::string>> inherited =
            handle.empty() ? std::nullopt : platform::TakeInheritedNames(handle);
        if (!inherited) {
            files.failure = handle.empty() ? "@@@ No file list handle after -@"
                                           : "@@@ Unable to read the file list of -@ " + handle;
            return files;
        }
        names = std::move(*inherited);
    } else {
        names.assign(request.args.begin() + 2, request.args.end());
    }
    for (const std::string& name : names) {
        if (!name.empty()) {
            files.paths.push_back(JoinBaseFolder(request.folder(), name).fullPath);
        }
    }
    return files;
}

}  // namespace qvex
