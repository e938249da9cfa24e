#include "state/startup/shortcut_file.h"

#include <cstdint>
#include <fstream>

#include "platform/local_file.h"
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
    // Opening refuses anything but a regular file without waiting (a pipe with no writer
    // would block), and reading stops one byte past the limit, so a file that grows while
    // it is read is refused too.
    platform::LocalFile file;
    if (!file.OpenForReading(path) || file.Size().value_or(UINT64_MAX) > kMaxShortcutFileSize) {
        return std::nullopt;
    }
    std::string bytes(kMaxShortcutFileSize + 1, '\0');
    size_t used = 0;
    while (used < bytes.size()) {
        const long count = file.Read(bytes.data() + used, bytes.size() - used);
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        used += static_cast<size_t>(count);
    }
    if (used > kMaxShortcutFileSize) {
        return std::nullopt;
    }
    bytes.resize(used);
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
