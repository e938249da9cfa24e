#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "log/log_files.h"
#include "log/log_receiver.h"
#include "platform/registry_file.h"
#include "platform/stop_signals.h"
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
    // "AppData": the per-user data folder, ending with the separator; "" when it cannot be
    // used, and then dataFolderWarning tells the user so.
    std::string dataFolder;
    std::string dataFolderWarning;

  private:
    bool ready_ = false;
};

// Where a run without a window writes: the hash sums and results to `out`, the log lines
// (unless "-z") to `err`.
struct ProgramStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

class HostConnector;
struct SessionWorker;

// Ends a session at once as a broken connection ends it: both connections are shut down, so
// a running transfer stops where it is and keeps its restart record for the next session
// (the user's abort would drop it). Any thread.
void BreakSession(SessionWorker& session);

// The session log of a run: the current log file and the thread that fills it from the bus,
// echoing every line to `echo` unless that is null.
class ProgramLog {
  public:
    ProgramLog(ProgramState& state, std::FILE* echo);
    ProgramLog(const ProgramLog&) = delete;
    ProgramLog& operator=(const ProgramLog&) = delete;
    ~ProgramLog() { Close(); }

    SessionLogFiles& files() { return files_; }
    // Null when the log could not be opened or its thread not started.
    LogReceiver* receiver() { return receiver_.get(); }
    // Every line posted so far reaches the file before it is cut to its used length.
    void Close();

  private:
    SessionLogFiles files_;
    std::unique_ptr<LogReceiver> receiver_;
    bool closed_ = false;
};

// The command line's work: a connection with its transfers, or a hash-sum job. Nothing to
// do for a request without either.
class CommandLineWork {
  public:
    explicit CommandLineWork(ProgramState& state) : state_(state) {}

    [[nodiscard]] bool hasWork() const;
    // Runs the work to its end on the calling thread and returns the exit status word: the
    // outcome bits of the session and its transfers, or the status of a hash-sum run.
    [[nodiscard]] uint32_t Run(std::FILE* out);
    // Any thread: ends a connection at once, as a broken connection ends it, so that the
    // running transfer keeps its restart record. A hash-sum job finishes.
    void Stop();

  private:
    uint32_t RunConnection();

    ProgramState& state_;
    std::mutex mutex_;  // guards connector_ and stopping_ against Stop
    HostConnector* connector_ = nullptr;
    bool stopping_ = false;
};

// The main window, when there is one: it takes over the run after start-up and returns the
// exit status at its end. `stops` is ready for its Start.
class ProgramWindow {
  public:
    virtual ~ProgramWindow() = default;
    virtual uint32_t Run(ProgramState& state, platform::StopSignals& stops) = 0;
};

// Runs the command line's work without a window: the session log (its file, and the error
// stream unless "-z"), the connection and its work, or the hash-sum job, then the exit
// steps. Returns the exit status word (CommandLineWork::Run). SIGTERM and SIGINT, given to
// `stops`, end the work early.
[[nodiscard]] uint32_t RunWithoutWindow(ProgramState& state, const ProgramStreams& streams,
                                        platform::StopSignals& stops);

// The exit status of a program that could not even start (no shared heap).
inline constexpr int kCannotStart = 255;

// The whole program: parses the arguments (after the program's name), starts up, and runs
// with `window` when one is given and not refused ("-z", or no display), else without. A
// windowed run first keeps the desktop integration of ".qvex" files (KeepDesktopIntegration).
// `argumentMemory`, the process's own argument strings behind the program's name, has the
// passwords of its URLs blanked once they are parsed, so other users' process listings
// no longer show them.
[[nodiscard]] int RunProgram(std::span<const std::string> arguments, ProgramWindow* window,
                             const ProgramStreams& streams = {},
                             std::span<char*> argumentMemory = {});

// Whether a display is there to open windows on: DISPLAY or WAYLAND_DISPLAY is set, or
// QT_QPA_PLATFORM names one (such as "offscreen").
[[nodiscard]] bool DisplayAvailable();

}  // namespace qvex
