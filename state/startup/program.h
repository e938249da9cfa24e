#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "state/startup/command_line.h"

namespace qvex {

// What start-up sets up for the whole run, in this order: the command line's request, the
// shared heap (1024 pages, installed for the process), "AppFile", "AppData", "AppVersion",
// the command line's in-memory keys, then the stored settings.
class ProgramState {
  public:
    explicit ProgramState(CommandLineRequest commandLine);
    ProgramState(const ProgramState&) = delete;
    ProgramState& operator=(const ProgramState&) = delete;
    ~ProgramState();

    // False when the heap could not be made: the program cannot run.
    bool ready() const { return ready_; }

    const CommandLineRequest request;
    SharedHeap heap;
    platform::RegistryFile registry;
    Settings settings{registry};
    // "AppData": the per-user data folder, ending with the separator.
    std::string dataFolder;

  private:
    bool ready_ = false;
};

// Where a run without a window writes: the hash sums and results to `out`, the log lines
// (unless "-z") to `err`.
struct ProgramStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

// The main window, when there is one: it takes over the run after start-up and returns the
// exit status at its end.
class ProgramWindow {
  public:
    virtual ~ProgramWindow() = default;
    virtual uint32_t Run(ProgramState& state) = 0;
};

// Runs the command line's work without a window: the session log (its file, and the error
// stream unless "-z"), the connection and its work, or the hash-sum job, then the exit
// steps. Returns the exit status word: the outcome bits of the session and its transfers,
// or the status of a hash-sum run.
[[nodiscard]] uint32_t RunWithoutWindow(ProgramState& state, const ProgramStreams& streams);

// The exit status of a program that could not even start (no shared heap).
inline constexpr int kCannotStart = 255;

// The whole program: parses the arguments (after the program's name), starts up, and runs
// with `window` when one is given and not refused ("-z", or no display), else without.
[[nodiscard]] int RunProgram(std::span<const std::string> arguments, ProgramWindow* window,
                             const ProgramStreams& streams = {});

// Whether a display is there to open windows on (DISPLAY or WAYLAND_DISPLAY is set).
[[nodiscard]] bool DisplayAvailable();

}  // namespace qvex
