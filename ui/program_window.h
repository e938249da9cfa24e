#pragma once

#include <cstdint>

#include "state/startup/program.h"

namespace qvex {

// The windowed run: the main window over the session log, the command line's work done
// beside it (closing the window when "NoUIQuit" is on, or when a hash-sum job ends), and
// the exit in the window's order. SIGTERM and SIGINT close the window as the user does.
class WindowedProgram final : public ProgramWindow {
  public:
    uint32_t Run(ProgramState& state, platform::StopSignals& stops) override;
};

}  // namespace qvex
