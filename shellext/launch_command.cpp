#include "shellext/launch_command.h"

#include <algorithm>

namespace qvex::shellext {
namespace {

bool IsAlgorithmLetter(char letter) {
    return std::any_of(std::begin(kAlgorithms), std::end(kAlgorithms),
                       [letter](const Algorithm& a) { return a.letter == letter; });
}

bool NamesASumsFile(const std::string& path) {
    for (const char* mark : {"MD5", "md5", "SHA", "sha"}) {
        if (path.find(mark) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Full paths without trailing separators, so a folder's name is never empty.
std::string FullPath(std::string item, const std::string& currentFolder) {
    if (item.front() != '/') {
        std::string folder = currentFolder;
        if (folder.empty() || folder.back() != '/') {
            folder.push_back('/');
        }
        item = folder + item;
    }
    while (item.size() > 1 && item.back() == '/') {
        item.pop_back();
    }
    return item;
}

}  // namespace

Verb ParseVerb(std::string_view text) {
    if (text == "r") {
        return {'r', 0};
    }
    if (text.size() == 2 && text[0] == 'p' && text[1] >= '0' && text[1] <= '7') {
        return {'p', static_cast<char>(text[1] - '0')};
    }
    if (text == "6") {
        return {'6', 0};
    }
    if (text.size() == 2 && (text[0] == '5' || text[0] == '6') && IsAlgorithmLetter(text[1])) {
        return {text[0], text[1]};
    }
    return {};
}

std::string CommonFolder(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        return std::string();
    }
    const std::string& first = paths.front();
    size_t common = 0;
    for (size_t at = first.find('/'); at != std::string::npos; at = first.find('/', at + 1)) {
        while (at + 1 < first.size() && first[at + 1] == '/') {
            ++at;
        }
        const std::string_view prefix(first.data(), at + 1);
        const bool shared = std::all_of(paths.begin() + 1, paths.end(), [&](const std::string& p) {
            return std::string_view(p).starts_with(prefix);
        });
        if (!shared) {
            break;
        }
        common = at + 1;
    }
    return first.substr(0, common);
}

LaunchCommand BuildLaunchCommand(const Verb& verb, std::vector<std::string> items,
                                 const std::string& currentFolder,
                                 const std::vector<std::string>& recentHosts) {
    LaunchCommand command;
    std::erase_if(items, [](const std::string& item) { return item.empty(); });
    if (verb.action == 0) {
        command.failure = "Unknown action";
        return command;
    }
    if (items.empty()) {
        command.failure = "No file or folder was selected";
        return command;
    }
    if (verb.action == '6' && items.size() != 1) {
        command.failure = "Verify takes exactly one selected sums file";
        return command;
    }
    for (std::string& item : items) {
        item = FullPath(std::move(item), currentFolder);
    }
    // The menu offers this item for sums files only; a file manager that cannot tell shows
    // it for every file, so the refusal comes here.
    if (verb.action == '6' && verb.argument == 0 && !NamesASumsFile(items.front())) {
        command.failure =
            "Verify cryptographic checksum(s) takes a sums file whose path holds MD5 or SHA "
            "(Verify As takes any file)";
        return command;
    }
    if (verb.action == 'p') {
        const auto index = static_cast<size_t>(verb.argument);
        if (index >= recentHosts.size()) {
            command.failure = "No recent host on line " + std::to_string(index + 1) +
                              " (Qvex3 lists the hosts it connected to)";
            return command;
        }
        command.arguments = {"-u", recentHosts[index]};
    }
    // 'r' and '6' take part with the first item only.
    if (verb.action == 'r' || verb.action == '6') {
        items.resize(1);
    }
    const std::string folder = CommonFolder(items);
    if (!folder.empty()) {
        command.arguments.push_back("-d");
        command.arguments.push_back(folder);
    }
    std::string option{'-', verb.action};
    if (verb.argument != 0 && verb.action != 'p') {
        option.push_back(verb.argument);
    }
    command.arguments.push_back(option);
    if (verb.action == 'r') {
        return command;
    }

    long long total = 0;
    bool optionLike = false;
    for (const std::string& item : items) {
        total += static_cast<long long>(item.size());
        std::string name = item.substr(folder.size());
        // The item is the common folder itself ("/").
        if (name.empty()) {
            name = ".";
        }
        optionLike = optionLike || name.front() == '-';
        command.names.push_back(std::move(name));
    }
    const auto count = static_cast<long long>(items.size());
    const auto folderLength = static_cast<long long>(folder.size());
    // A name that begins with "-" would read as an option on the command line, and the
    // program's options have no end marker: such a list goes through the section too.
    command.throughSection = optionLike || total + (3 - folderLength) * count >= kInlineListLimit;
    if (!command.throughSection) {
        command.arguments.insert(command.arguments.end(), command.names.begin(),
                                 command.names.end());
        command.names.clear();
    }
    return command;
}

}  // namespace qvex::shellext
