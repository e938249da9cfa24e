// A second running copy for the statistics file's tests: opens the database of a data folder
// and runs the commands of its command line in order, printing one line per command.
//
//   stats_db_peer <data folder> <command>...
//
//   open                   "open 1" or "open 0", then "blocks N"
//   begin KEY              BeginHostStatistics; "record N"
//   connects COUNT         COUNT times: one connect, then a commit; "connects COUNT"
//   transfers COUNT B MS   COUNT times: one file of B bytes taking MS ms, then a commit
//   hosts PREFIX COUNT     creates the records PREFIX0 .. PREFIX<COUNT-1>; "hosts N" (N made)
//   find KEY               "record N" (0 when absent)
//   read KEY               "stats CONNECTS FILES BYTES MS" of KEY's record
//   close                  "closed"
//   print TEXT             "TEXT" (a marker the test waits for)
//   wait PATH              waits until PATH exists, at most a minute; "timeout" and exit 3 after
//
// "Statistics" is on in this copy, so closing never deletes the file.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/statistics_database.h"

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool AwaitFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

unsigned long long Number(const char* text) {
    return std::strtoull(text, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Say("usage: stats_db_peer <data folder> <command>...");
        return 2;
    }
    const std::string folder = argv[1];
    qvex::platform::RegistryFile registry(folder + "/stats_db_peer.reg");
    qvex::Settings settings(registry);
    settings.SetInt("Statistics", 1);
    qvex::StatisticsDatabase database(folder, settings);
    for (int i = 2; i < argc; ++i) {
        const std::string command = argv[i];
        const int left = argc - 1 - i;
        if (command == "open") {
            Say(database.OpenStatisticsDatabase() ? "open 1" : "open 0");
            Say("blocks " + std::to_string(database.blockCount()));
        } else if (command == "begin" && left >= 1) {
            database.BeginHostStatistics(argv[++i]);
            Say("record " + std::to_string(database.currentRecord()));
        } else if (command == "connects" && left >= 1) {
            const unsigned long long count = Number(argv[++i]);
            for (unsigned long long n = 0; n < count; ++n) {
                database.AccumulateConnect(qvex::PackedUtcNow());
                database.CommitHostStatistics();
            }
            Say("connects " + std::to_string(count));
        } else if (command == "transfers" && left >= 3) {
            const unsigned long long count = Number(argv[i + 1]);
            const unsigned long long bytes = Number(argv[i + 2]);
            const unsigned long long ms = Number(argv[i + 3]);
            i += 3;
            for (unsigned long long n = 0; n < count; ++n) {
                database.AccumulateTransfer(bytes, ms);
                database.CommitHostStatistics();
            }
            Say("transfers " + std::to_string(count));
        } else if (command == "hosts" && left >= 2) {
            const std::string prefix = argv[i + 1];
            const unsigned long long count = Number(argv[i + 2]);
            i += 2;
            int made = 0;
            for (unsigned long long n = 0; n < count; ++n) {
                made += database.FindHostRecord(prefix + std::to_string(n), true) != 0 ? 1 : 0;
            }
            Say("hosts " + std::to_string(made));
        } else if (command == "find" && left >= 1) {
            Say("record " + std::to_string(database.FindHostRecord(argv[++i], false)));
        } else if (command == "read" && left >= 1) {
            const int number = database.FindHostRecord(argv[++i], false);
            const std::optional<qvex::HostStatistics> stats = database.ReadHostRecord(number);
            if (!stats) {
                Say("stats none");
            } else {
                Say("stats " + std::to_string(stats->connects) + " " +
                    std::to_string(stats->files) + " " + std::to_string(stats->bytes) + " " +
                    std::to_string(stats->milliseconds));
            }
        } else if (command == "close") {
            database.CloseStatisticsDatabase();
            Say("closed");
        } else if (command == "print" && left >= 1) {
            Say(argv[++i]);
        } else if (command == "wait" && left >= 1) {
            if (!AwaitFile(argv[++i])) {
                Say("timeout");
                return 3;
            }
        } else {
            Say("bad command: " + command);
            return 2;
        }
    }
    return 0;
}
