#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qvex::platform {

// A file opened by the user, for the desktop's list of recently used files.
struct RecentDocument {
    std::string path;         // full path
    std::string mimeType;     // "application/x-qvex-shortcut"
    std::string application;  // the program's name
    std::string command;      // how the program opens it, "%f" standing for the file
};

// Adds the document to the user's recently used files: on this desktop the freedesktop
// bookmark file ${XDG_DATA_HOME:-~/.local/share}/recently-used.xbel, merged so that every
// other entry stays and replaced in one step. False when it cannot be read or written, or
// is not a bookmark file (it is then left alone).
[[nodiscard]] bool AddRecentDocument(const RecentDocument& document);

// The bookmark file `existing` ("" when there is none) with the document's entry at its
// end, stamped `now` (ISO 8601 UTC); an entry for the same file is replaced, keeping the
// time it was first added and counting this program's uses. Nullopt when `existing` is not
// a bookmark file.
[[nodiscard]] std::optional<std::string> MergeRecentDocument(std::string_view existing,
                                                             const RecentDocument& document,
                                                             std::string_view now);

// The "file://" URI of a full path, as the desktop writes it: bytes outside the unreserved
// and path characters percent-encoded.
[[nodiscard]] std::string FileUri(std::string_view path);

}  // namespace qvex::platform
