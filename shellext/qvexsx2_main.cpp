// qvexsx2 VERB FILE...: what the "Qvex PRO" menu items run. Starts Qvex3 (its path is the
// "AppFile" that Qvex3 records) with the command line for the verb and the selected files,
// and ends at once. Failures go to standard error and to a desktop notification.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "shellext/app_file.h"
#include "shellext/launch_command.h"
#include "shellext/process.h"
#include "shellext/recent_hosts.h"
#include "shellext/registration.h"
#include "shellext/shortcut_verbs.h"
#include "shellext/xdg_folders.h"

namespace {

constexpr const char* kUsage =
    "Usage: qvexsx2 VERB FILE...\n"
    "  r        start Qvex3 in the folder of the first file\n"
    "  p0..p7   upload the files to the recent host of that line\n"
    "  5C       compute checksums, C an algorithm letter: m s S 2 3 5 w\n"
    "  6, 6C    verify the one sums file given (as algorithm C)\n"
    "  properties FILE.qvex, paste-download FILE.qvex, paste-listing FILE.qvex,\n"
    "  upload-to-shortcut FILE.qvex FILE...   the items of Qvex Shortcut files\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "qvexsx2: %s\n", message.c_str());
    qvex::shellext::NotifyDesktop("Qvex PRO", message);
    return 1;
}

// The verbs on ".qvex" files: they start the program with a shortcut's options and full
// paths, through the section when the list is long.
int RunOnShortcut(const std::string& verb, const std::vector<std::string>& args) {
    using namespace qvex::shellext;
    qvex::shellext::VerbEnvironment environment;
    environment.report = [](const std::string& message) { (void)Fail(message); };
    environment.start = [](const std::vector<std::string>& options,
                           const std::vector<std::string>& names) {
        const std::optional<std::string> appFile = ReadAppFile();
        if (!appFile) {
            (void)Fail("Qvex3 has not recorded where it is (no \"AppFile\" in " +
                       RegistryFilePath() + "): start Qvex3 once");
            return false;
        }
        long long total = 0;
        for (const std::string& name : names) {
            total += static_cast<long long>(name.size()) + 3;
        }
        const bool throughSection = total >= kInlineListLimit;
        std::vector<std::string> arguments = options;
        if (!throughSection) {
            arguments.insert(arguments.end(), names.begin(), names.end());
        }
        const std::string started =
            StartProgram(*appFile, std::move(arguments), throughSection ? &names : nullptr);
        if (!started.empty()) {
            (void)Fail(started);
            return false;
        }
        return true;
    };
    return RunShortcutVerb(verb, args, environment);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qvex::shellext;
    if (argc >= 2 && IsShortcutVerb(argv[1])) {
        return RunOnShortcut(argv[1], std::vector<std::string>(argv + 2, argv + argc));
    }
    if (argc < 2 || ParseVerb(argv[1]).action == 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Verb verb = ParseVerb(argv[1]);
    // Every further argument is a file, whatever it looks like.
    const std::vector<std::string> items(argv + 2, argv + argc);

    const std::optional<std::string> appFile = ReadAppFile();
    if (!appFile) {
        return Fail("Qvex3 has not recorded where it is (no \"AppFile\" in " + RegistryFilePath() +
                    "): start Qvex3 once");
    }
    std::error_code error;
    const std::string here = std::filesystem::current_path(error).string();
    const std::vector<std::string> hosts =
        verb.action == 'p' ? ReadRecentHosts() : std::vector<std::string>{};
    LaunchCommand command = BuildLaunchCommand(verb, items, here, hosts);
    if (!command.failure.empty()) {
        return Fail(command.failure);
    }
    const std::string started = StartProgram(*appFile, std::move(command.arguments),
                                             command.throughSection ? &command.names : nullptr);
    if (!started.empty()) {
        return Fail(started);
    }
    // The upload items show the recent hosts as they are now.
    (void)UpdateUploadItems(ProgramFolder());
    return 0;
}
