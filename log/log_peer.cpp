// A second running copy for the session log's tests: keeps a session log in a data folder
// (and there the restart and statistics files) and runs the commands of its command line in
// order, printing one line per command.
//
//   log_peer <data folder> <command>...
//
//   open KEEP     opens the current log with "LogKeep" KEEP; "open NAME" ("open -" in memory)
//   lines N       appends N lines of 100 bytes; "used N" (the used length afterwards)
//   last          "last TEXT", the last displayed line
//   note          "note TEXT", the first displayed line that begins "*** " ("note -" when none)
//   fill          fills the folder's file system with a file "filler"; "filled"
//   stores        opens both stores; "restart OPEN OUT-OF-ROOM", "statistics OPEN OUT-OF-ROOM"
//   wait PATH     waits until PATH exists, at most a minute; "timeout" and exit 3 after
//   close         cuts the log and applies retention, as at exit; "closed"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "log/log_files.h"
#include "platform/registry_file.h"
#include "state/restart_database.h"
#include "state/settings.h"
#include "state/statistics_database.h"

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Writes blocks until the file system takes no more.
void Fill(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    static const std::string block(4096, 'f');
    while (file != nullptr && std::fwrite(block.data(), 1, block.size(), file) == block.size() &&
           std::fflush(file) == 0) {
    }
    if (file != nullptr) {
        (void)std::fclose(file);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Say("usage: log_peer <data folder> <command>...");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    std::unique_ptr<qvex::SessionLogFiles> log;
    for (int i = 2; i < argc; ++i) {
        const std::string command = argv[i];
        const bool hasArgument = i + 1 < argc;
        if (command == "open" && hasArgument) {
            log = std::make_unique<qvex::SessionLogFiles>(
                qvex::LogFilesOptions{folder, std::atoi(argv[++i]), {}});
            const bool opened = log->Open();
            Say(std::string("open ") + (!opened                 ? "failed"
                                        : log->currentHasFile() ? log->names()[0]
                                                                : "-"));
        } else if (command == "lines" && hasArgument && log) {
            const long count = std::atol(argv[++i]);
            for (long number = 0; number < count; ++number) {
                char line[128];
                std::snprintf(line, sizeof line, "... line %06ld %s", number,
                              std::string(84, 'x').c_str());
                (void)log->currentView().appendLogLine(line, 100, true);
            }
            Say("used " + std::to_string(log->currentView().usedLength()));
        } else if (command == "last" && log) {
            const uint32_t count = log->currentView().displayedCount();
            Say("last " +
                (count == 0 ? std::string() : log->currentView().DisplayedLine(count - 1)));
        } else if (command == "note" && log) {
            std::string note = "-";
            for (uint32_t index = 0; index < log->currentView().displayedCount(); ++index) {
                if (log->currentView().DisplayedLine(index).rfind("*** ", 0) == 0) {
                    note = log->currentView().DisplayedLine(index);
                    break;
                }
            }
            Say("note " + note);
        } else if (command == "fill") {
            Fill(folder + "filler");
            Say("filled");
        } else if (command == "stores") {
            qvex::platform::RegistryFile registry(folder + "log_peer.reg");
            qvex::Settings settings(registry);
            settings.SetInt("Statistics", 1);
            qvex::RestartDatabase restart(folder);
            const bool restartOpen = restart.OpenRestartDatabase();
            Say("restart " + std::to_string(restartOpen) + " " +
                std::to_string(restart.outOfRoom()));
            qvex::StatisticsDatabase statistics(folder, settings);
            const bool statisticsOpen = statistics.OpenStatisticsDatabase();
            Say("statistics " + std::to_string(statisticsOpen) + " " +
                std::to_string(statistics.outOfRoom()));
        } else if (command == "wait" && hasArgument) {
            const std::string path = argv[++i];
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (!std::filesystem::exists(path)) {
                Say("timeout");
                return 3;
            }
        } else if (command == "close" && log) {
            log->Close();
            Say("closed");
        } else {
            Say("unknown " + command);
            return 2;
        }
    }
    return 0;
}
