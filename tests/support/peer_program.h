#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace qvex::test {

// A small helper program run as a second copy of the program (two processes sharing one
// data file). It prints one line per command it carries out; the lines are read from its
// output file, and every wait for one is bounded by `patience`.
class PeerProgram {
  public:
    PeerProgram(std::string program, std::string outputFile, std::chrono::seconds patience);

    // Runs `program folder commands...`.
    [[nodiscard]] bool Start(const std::string& folder, const std::vector<std::string>& commands);
    // The rest of the next printed line that begins with `prefix`; nullopt when the copy
    // ended, or took too long, without printing it.
    std::optional<std::string> Next(const std::string& prefix);
    [[nodiscard]] bool AwaitExit();
    // As "kill -9" from a shell: nothing of the copy runs after it.
    [[nodiscard]] bool KillHard();

  private:
    std::string program_;
    std::string output_;
    std::chrono::seconds patience_;
    ChildProcess process_;
    size_t consumed_ = 0;
};

}  // namespace qvex::test
