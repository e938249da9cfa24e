#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qvex::test {

// What a finished program left: its exit status (the code it returned, or 128 + the signal
// that ended it, as a shell shows it; -1 when it could not be started or did not end in
// time) and everything it wrote.
struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program's path) with the test's environment and descriptors
// (so an inherited memory section reaches it), waits for its end at most `limit`, and kills
// it when it takes longer.
ProgramResult RunToEnd(const std::vector<std::string>& argv,
                       std::chrono::seconds limit = std::chrono::seconds(60));

// A program left running, for tests that end it themselves.
class RunningProgram {
  public:
    RunningProgram() = default;
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    ~RunningProgram();

    [[nodiscard]] bool Start(const std::vector<std::string>& argv);
    // As "kill -9" from a shell, then reaped.
    void KillHard();
    // Sends `signal` and waits for the end at most `limit`: the exit status as RunToEnd gives
    // it, or -1 when the program had to be killed (or had already ended).
    int Stop(int signal, std::chrono::seconds limit = std::chrono::seconds(30));
    bool running();
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
};

}  // namespace qvex::test
