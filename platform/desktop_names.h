#pragma once

#include <string_view>

// The desktop integration of ".qvex" shortcuts: what the shell extension's registration
// writes below ${XDG_DATA_HOME:-~/.local/share}/ and what the program checks at start-up.
// Constants only, so that the extension, which links none of the project's libraries, uses
// the same names.
namespace qvex::platform {

inline constexpr std::string_view kShortcutMimeType = "application/x-qvex-shortcut";
// The MIME package that declares "*.qvex"; the program registers the extension while it is
// missing.
inline constexpr std::string_view kShortcutMimePackage = "mime/packages/qvex-shortcut.xml";
// The program's desktop entry, which opens a shortcut with "-o %f".
inline constexpr std::string_view kProgramDesktopEntry = "applications/qvex3.desktop";
// The shell extension, beside the program.
inline constexpr std::string_view kShellExtensionLibrary = "libQvexSX2.so";

}  // namespace qvex::platform
