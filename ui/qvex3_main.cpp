// Qvex3: the program. Without a window (none exists yet, "-z", or no display) it runs the
// command line's work and ends with its status word as the exit code.
#include <string>
#include <vector>

#include "state/startup/program.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return qvex::RunProgram(arguments, nullptr);
}
