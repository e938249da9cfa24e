#pragma once

#include <string>
#include <vector>

namespace qvex::shellext {

// The freedesktop files through which the desktop knows ".qvex" files, Qvex3 and the
// "Qvex PRO" menu, by path below the user's data folder (XDG_DATA_HOME).
struct MenuFile {
    std::string path;
    std::string content;
    bool executable = false;
};

inline constexpr const char* kMimePackagePath = "mime/packages/qvex-shortcut.xml";
inline constexpr const char* kDesktopEntryPath = "applications/qvex3.desktop";
// Nautilus shows the folders below its scripts folder as submenus.
inline constexpr const char* kNautilusMenuFolder = "nautilus/scripts/Qvex PRO/";
inline constexpr const char* kNautilusUploadFolder = "nautilus/scripts/Qvex PRO/Upload file(s) To/";
// Every script written begins with these lines; only such files are ever removed.
inline constexpr const char* kScriptHeader =
    "#!/bin/sh\n# Qvex PRO menu item, written by libQvexSX2 and removed when it is unregistered.\n";

// The files for Qvex3 and the launcher qvexsx2 in `programFolder` (ending with "/"), with
// one upload item per recent host. Empty when the folder's path cannot be written into
// the files' command lines (control characters or "%").
[[nodiscard]] std::vector<MenuFile> MenuFiles(const std::string& programFolder,
                                              const std::vector<std::string>& recentHosts);

// Every path that the upload items can take, whatever the recent hosts were, except the
// Nautilus scripts (their names are the hosts: they are found by kScriptHeader).
[[nodiscard]] std::vector<std::string> UploadItemPaths();

}  // namespace qvex::shellext
