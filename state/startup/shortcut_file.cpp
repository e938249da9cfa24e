#include "state/startup/shortcut_file.h"

#include <fstream>

#include "transfer/transfer_type.h"

namespace qvex {
namespace {

constexpr std::string_view kUrlLine = "URL=";
constexpr std::string_view kFolderLine = "XDir=";
constexpr std::string_view kTypeLine = "XMode=";
constexpr std::string_view kUpdateLine = "Update=";
constexpr std::string_view kLineBreaks = "\r\n";

// The XMode letter of a type, or 0 for a type that writes no line.
char TypeLetter(int type) {
    std::optional<TransferType> transferType = transferTypeFromOption(type);
    return transferType ? transferTypeLetter(*transferType) : '\0';
}

// The type of an "XMode=" line, from the character after the equals sign.
int TypeOfLine(std::string_view line) {
    return line.size() > kTypeLine.size() ? TransferOptionOfLetter(line[kTypeLine.size()]) : 0;
}

void ReadLine(std::string_view line, ShortcutData& data) {
    if (line.starts_with(kUrlLine)) {
        data.url = std::string(line.substr(kUrlLine.size()));
    } else if (line.starts_with(kFolderLine)) {
        data.folder = std::string(line.substr(kFolderLine.size()));
    } else if (line.starts_with(kTypeLine)) {
        data.type = TypeOfLine(line);
    } else if (line.starts_with(kUpdateLine)) {
        data.updateOnly = line.size() > kUpdateLine.size() && line[kUpdateLine.size()] == '1';
    }
}

}  // namespace

int TransferOptionOfLetter(char letter) {
    for (TransferType type : {TransferType::Text, TransferType::Image, TransferType::Smart}) {
        if (transferTypeLetter(type) == letter) {
            return transferTypeOption(type);
        }
    }
    return 0;
}

std::optional<ShortcutData> ReadShortcutText(std::string_view bytes) {
    ShortcutData data;
    if (bytes.empty()) {
        return data;
    }
    if (!bytes.starts_with(kShortcutHeader)) {
        return std::nullopt;
    }
    // The header is a line like any other and matches none of the kinds.
    size_t at = 0;
    while (at < bytes.size()) {
        size_t begin = bytes.find_first_not_of(kLineBreaks, at);
        if (begin == std::string_view::npos) {
            break;
        }
        size_t end = bytes.find_first_of(kLineBreaks, begin);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        ReadLine(bytes.substr(begin, end - begin), data);
        at = end;
    }
    return data;
}

std::optional<ShortcutData> ReadShortcutFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes;
    char block[4096];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        bytes.append(block, static_cast<size_t>(in.gcount()));
    }
    // A folder opens but cannot be read: that sets the bad bit, not just the end.
    if (in.bad()) {
        return std::nullopt;
    }
    return ReadShortcutText(bytes);
}

std::string ShortcutText(const ShortcutData& data) {
    std::string text(kShortcutHeader);
    if (!data.url.empty()) {
        text.push_back('\n');
        text.append(kUrlLine).append(data.url);
    }
    if (!data.folder.empty()) {
        text.push_back('\n');
        text.append(kFolderLine).append(data.folder);
    }
    if (char letter = TypeLetter(data.type); letter != 0) {
        text.push_back('\n');
        text.append(kTypeLine).push_back(letter);
    }
    if (data.updateOnly) {
        text.push_back('\n');
        text.append(kUpdateLine).push_back('1');
    }
    return text;
}

bool WriteShortcutFile(const std::string& path, const ShortcutData& data) {
    std::string text = ShortcutText(data);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

}  // namespace qvex
