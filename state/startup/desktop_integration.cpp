#include "state/startup/desktop_integration.h"

#include <filesystem>

#include "platform/desktop_entry.h"
#include "platform/desktop_names.h"
#include "platform/local_file.h"
#include "platform/paths.h"
#include "platform/recent_documents.h"
#include "platform/shared_library.h"

namespace qvex {
namespace {

using ExtensionCall = int();

std::string InDataHome(std::string_view relative) {
    const std::string home = platform::DataHome();
    return home.empty() ? std::string() : home + std::string(relative);
}

// Loads the shell extension by name from `libraryFolder` and calls one of its exports: true
// when the call returned 0.
bool CallShellExtension(const std::string& libraryFolder, const char* exportName) {
    platform::SharedLibrary library;
    if (!library.Open(libraryFolder + std::string(platform::kShellExtensionLibrary))) {
        return false;
    }
    ExtensionCall* call = library.Find<ExtensionCall>(exportName);
    return call != nullptr && call() == 0;
}

bool ExtensionRegistered(std::string& package) {
    package = InDataHome(platform::kShortcutMimePackage);
    return package.empty() || platform::LocalPathStatus(package).has_value();
}

}  // namespace

ExtensionRegistration RegisterShellExtension(const std::string& libraryFolder) {
    std::string package;
    if (ExtensionRegistered(package)) {
        return ExtensionRegistration::Present;
    }
    return CallShellExtension(libraryFolder, "DllRegisterServer")
               ? ExtensionRegistration::Registered
               : ExtensionRegistration::Failed;
}

bool RefreshUploadMenus(const std::string& libraryFolder) {
    std::string package;
    return ExtensionRegistered(package) && !package.empty() &&
           CallShellExtension(libraryFolder, "QvexSX2UpdateMenus");
}

std::vector<std::string> ShortcutOpenCommand(const std::string& programPath) {
    return {platform::ExecArgumentOfPath(programPath), "-o", "%f"};
}

bool RepairShortcutAssociation(const std::string& programPath) {
    const std::string entry = InDataHome(platform::kProgramDesktopEntry);
    if (entry.empty()) {
        return false;
    }
    std::optional<std::vector<std::string>> command = platform::ReadDesktopEntryCommand(entry);
    const std::vector<std::string> expected = ShortcutOpenCommand(programPath);
    return command && *command != expected && platform::WriteDesktopEntryCommand(entry, expected);
}

void KeepDesktopIntegration(const CommandLineRequest& request) {
    const std::string program = platform::ProgramPath();
    (void)RegisterShellExtension(platform::ProgramFolder());
    (void)RepairShortcutAssociation(program);
    for (const std::string& shortcut : request.shortcuts) {
        std::error_code error;
        const std::filesystem::path full = std::filesystem::absolute(shortcut, error);
        (void)platform::AddRecentDocument({error ? shortcut : full.string(),
                                           std::string(platform::kShortcutMimeType), "Qvex3",
                                           program + " -o %f"});
    }
}

}  // namespace qvex
