#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shellext/shortcut_object.h"

namespace qvex::shellext {

// What the launcher gives the shortcut verbs.
struct VerbEnvironment {
    // Starts the program with `options`, then `names` (full paths) as its file arguments;
    // false when it could not be started (the launcher has told the user why).
    std::function<bool(const std::vector<std::string>& options,
                       const std::vector<std::string>& names)>
        start;
    // Tells the user why a verb did nothing.
    std::function<void(const std::string& message)> report;
};

// A file-manager item on ".qvex" files: `qvexsx2 VERB FILE...`.
struct ShortcutVerbItem {
    std::string_view verb;
    std::string_view label;
    std::string_view help;
};

inline constexpr ShortcutVerbItem kShortcutVerbs[] = {
    {"properties", "Qvex Shortcut Properties", "Edit the Qvex Shortcut."},
    {"paste-download", "Paste &URL for Download", "Do FTP download from clipboard URL."},
    {"paste-listing", "Paste URL for &Listing",
     "Create FTP server dir listing from clipboard URL."},
    // Takes the whole selection: the one ".qvex" file in it and the files to upload.
    {"upload-to-shortcut", "Upload to this shortcut",
     "Upload the selected files to the Qvex Shortcut."},
};

// Exit statuses of a verb.
inline constexpr int kVerbDone = 0;
inline constexpr int kVerbNothingDone = 1;  // reported through the environment
inline constexpr int kVerbUsage = 2;

[[nodiscard]] bool IsShortcutVerb(std::string_view verb);

// Runs one of kShortcutVerbs with the paths the file manager passed. The properties and
// paste verbs need a Qt application: one is made when none exists.
[[nodiscard]] int RunShortcutVerb(const std::string& verb, const std::vector<std::string>& args,
                                  const VerbEnvironment& environment);

// The program's options for a shortcut: the URL after "-u" (upload form) or "-f" (download
// form), "-d" and the folder when there is one, "-x" and the type's letter for types 1 to
// 3, "-v" for Update-ONLY. The values are whole arguments: nothing is quoted.
enum class LaunchForm {
    Upload,
    Download,
};
[[nodiscard]] std::vector<std::string> ShortcutLaunchOptions(const ShortcutFields& fields,
                                                             LaunchForm form);

}  // namespace qvex::shellext
