// A second running copy for the restart file's tests: opens the database of a data folder
// and runs the commands of its command line in order, printing one line per command.
//
//   restart_db_peer <data folder> <command>...
//
//   open                 "open 1" or "open 0"
//   claim | claim-fresh  "slot N" (0 when none)
//   set N TEXT           writes field N of the current slot; "set N"
//   pending V            writes the pending flag; "pending V"
//   get N                "field N=TEXT"
//   get-pending          "pending=V"
//   release | detach     "released" / "detached"
//   close                "closed"
//   print TEXT           "TEXT" (a marker the test waits for)
//   wait PATH            waits until PATH exists, at most a minute; "timeout" and exit 3 after
//
// The test kills the copy while it waits to leave a slot behind as a crash would.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "state/restart_database.h"

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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Say("usage: restart_db_peer <data folder> <command>...");
        return 2;
    }
    qvex::RestartDatabase database(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const std::string command = argv[i];
        const bool hasArgument = i + 1 < argc;
        if (command == "open") {
            Say(database.OpenRestartDatabase() ? "open 1" : "open 0");
        } else if (command == "claim" || command == "claim-fresh") {
            Say("slot " + std::to_string(database.ClaimRestartSlot(command == "claim-fresh")));
        } else if (command == "set" && i + 2 < argc) {
            const int n = std::atoi(argv[i + 1]);
            database.SetRestartField(n, argv[i + 2]);
            Say("set " + std::to_string(n));
            i += 2;
        } else if (command == "pending" && hasArgument) {
            const uint64_t value = std::strtoull(argv[++i], nullptr, 10);
            database.SetRestartPending(value);
            Say("pending " + std::to_string(value));
        } else if (command == "get" && hasArgument) {
            const int n = std::atoi(argv[++i]);
            Say("field " + std::to_string(n) + "=" + database.GetRestartField(n));
        } else if (command == "get-pending") {
            Say("pending=" + std::to_string(database.GetRestartPending()));
        } else if (command == "release") {
            database.ReleaseRestartSlot();
            Say("released");
        } else if (command == "detach") {
            database.DetachRestartSlot();
            Say("detached");
        } else if (command == "close") {
            database.CloseRestartDatabase();
            Say("closed");
        } else if (command == "print" && hasArgument) {
            Say(argv[++i]);
        } else if (command == "wait" && hasArgument) {
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
