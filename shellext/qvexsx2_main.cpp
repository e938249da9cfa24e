// qvexsx2 VERB FILE...: what the "Qvex PRO" menu items run. Starts Qvex3 (its path is the
// "AppFile" that Qvex3 records) with the command line for the verb and the selected files,
// and ends at once. Failures go to standard error and to a desktop notification.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "shellext/app_file.h"
#include "shellext/launch_command.h"
#include "shellext/process.h"
#include "shellext/recent_hosts.h"
#include "shellext/registration.h"
#include "shellext/xdg_folders.h"

namespace {

constexpr const char* kUsage =
    "Usage: qvexsx2 VERB FILE...\n"
    "  r        start Qvex3 in the folder of the first file\n"
    "  p0..p7   upload the files to the recent host of that line\n"
    "  5C       compute checksums, C an algorithm letter: m s S 2 3 5 w\n"
    "  6, 6C    verify the one sums file given (as algorithm C)\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "qvexsx2: %s\n", message.c_str());
    qvex::shellext::NotifyDesktop("Qvex PRO", message);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qvex::shellext;
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
