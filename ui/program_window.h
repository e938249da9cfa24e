#pragma once

#include <cstdint>

#include "state/startup/program.h"

namespace qvex {

// The windowed run: the main window over the session log and the host stores; a command
// line's connection made by the Host page with its work queued after login (the window
// closes when the session ends the program), or its hash-sum job in its dialog; then the exit in the window's order. The exit status is the
// outcome word of the sessions, or the hash-sum job's status. SIGTERM and SIGINT close the
// window as the user does.
class WindowedProgram final : public ProgramWindow {
  public:
    uint32_t Run(ProgramState& state, platform::StopSignals& stops) override;
};

}  // namespace qvex
