#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qvex {

// A ".qvex" shortcut: one FTP URL with a local transfer folder, a transfer type and the
// Update-ONLY switch. The file is 8-bit text:
//
//   [QvexShortcut]
//   URL=ftp://host/dir/        (when the URL is not empty)
//   XDir=/home/me/in           (when the folder is not empty)
//   XMode=x                    (when the type is not 0: 'a' 1, 'i' 2, 'x' 3)
//   Update=1                   (when Update-ONLY is on)
//
// each line after the header preceded by one LF, with no line end after the last line.
struct ShortcutData {
    std::string url;
    std::string folder;
    int type = 0;  // transfer mode + 1: 0 none, 1 text, 2 image, 3 smart
    bool updateOnly = false;

    bool operator==(const ShortcutData&) const = default;
};

inline constexpr std::string_view kShortcutHeader = "[QvexShortcut]";

// The type a mode letter stands for: 'a' 1, 'i' 2, 'x' 3, any other character 0.
[[nodiscard]] int TransferOptionOfLetter(char letter);

// The shortcut in `bytes`, or nullopt when they do not begin with the header. Empty bytes
// are an empty shortcut. Lines are cut at every run of CR and LF characters, so LF and
// CR LF files read alike; a later line of a kind wins over an earlier one; unknown lines
// are ignored. An "XMode=" letter other than a, i or x gives type 0; "Update=" is on only
// when its eighth character is '1'.
[[nodiscard]] std::optional<ShortcutData> ReadShortcutText(std::string_view bytes);

// A shortcut file is small: anything larger is refused unread.
inline constexpr size_t kMaxShortcutFileSize = 64 * 1024;

// The file's shortcut; nullopt when it cannot be opened or read, is not a regular file (a
// device, a pipe, a folder), is larger than kMaxShortcutFileSize, or has no header.
[[nodiscard]] std::optional<ShortcutData> ReadShortcutFile(const std::string& path);

// The file's bytes for `data`. A type outside 1 to 3 writes no "XMode=" line. A URL or
// folder holding CR or LF is written as given and would not read back the same.
[[nodiscard]] std::string ShortcutText(const ShortcutData& data);

// Creates or truncates the file and writes ShortcutText(data) in one piece; false when the
// file cannot be created or written.
[[nodiscard]] bool WriteShortcutFile(const std::string& path, const ShortcutData& data);

}  // namespace qvex
