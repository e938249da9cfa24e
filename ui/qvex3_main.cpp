// Qvex3: the program. With a display it opens its window; without one, or with "-z", it runs
// the command line's work and ends with its status word as the exit code.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "state/startup/program.h"
#include "ui/program_window.h"

int main(int argc, char** argv) {
    const int first = argc > 0 ? 1 : 0;
    std::vector<std::string> arguments(argv + first, argv + argc);
    qvex::WindowedProgram window;
    return qvex::RunProgram(arguments, &window, {},
                            std::span<char*>(argv + first, static_cast<size_t>(argc - first)));
}
