#pragma once

#include <string>

#include "state/startup/command_line.h"

namespace qvex {

// The ".qvex" integration that start-up keeps in order: the shell extension registered, the
// shortcut files opened by the program's own desktop entry, and opened shortcuts in the
// desktop's recently used files.

enum class ExtensionRegistration {
    Present,     // the MIME package of ".qvex" files is there: nothing to do
    Registered,  // the extension's DllRegisterServer succeeded
    Failed,      // the library could not be loaded, lacks the export, or its call failed
};

// While the MIME package of ".qvex" files is missing from the data home, loads the shell
// extension library by name from `libraryFolder` (ending with the separator), calls its
// DllRegisterServer and unloads it.
[[nodiscard]] ExtensionRegistration RegisterShellExtension(const std::string& libraryFolder);

// The recent-hosts file was rewritten: the registered extension (found as above) rewrites
// its "Upload file(s) To" items from it. False when nothing is registered or the call failed.
bool RefreshUploadMenus(const std::string& libraryFolder);

// The command the program's desktop entry opens a shortcut with: the program, "-o", "%f".
[[nodiscard]] std::vector<std::string> ShortcutOpenCommand(const std::string& programPath);

// Rewrites the Exec key of the program's desktop entry when it is not ShortcutOpenCommand
// (another program path, after a move or an update); an entry that is not there is not
// created. True when the entry was rewritten.
[[nodiscard]] bool RepairShortcutAssociation(const std::string& programPath);

// Start-up's part: the registration and the repair for the running program, then each
// shortcut that "-o" read added to the recently used files.
void KeepDesktopIntegration(const CommandLineRequest& request);

}  // namespace qvex
