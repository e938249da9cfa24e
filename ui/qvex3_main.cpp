// Qvex3: the program. With a display it opens its window; without one, or with "-z", it runs
// the command line's work and ends with its status word as the exit code.
#include <string>
#include <vector>

#include "state/startup/program.h"
#include "ui/program_window.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    qvex::WindowedProgram window;
    return qvex::RunProgram(arguments, &window);
}
