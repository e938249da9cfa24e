#pragma once

#include <string>
#include <vector>

namespace qvex::shellext {

// Starting other programs from an argument array, never through a shell, in the caller's
// folder and environment. The shell extension links none of the program's libraries, so
// it keeps this small wrapper of its own.

// Starts `program` (a path) and does not wait for it. With `sectionNames`, the names go
// into an unnamed memory section (each followed by a NUL) that the program inherits, and
// "-@" and the section's descriptor in lower-case hexadecimal end the arguments. "" when
// started, else what went wrong.
[[nodiscard]] std::string StartProgram(const std::string& program,
                                       std::vector<std::string> arguments,
                                       const std::vector<std::string>* sectionNames);

// Runs `program` (looked up in PATH) to its end: its exit status, or -1 when it could not
// be started or ended by a signal.
int RunTool(const std::string& program, const std::vector<std::string>& arguments);

// Whether `program` is found in PATH.
bool ToolExists(const std::string& program);

// The folder, ending with "/", of the file that holds `address` (the library), or of the
// running program; "" when unknown.
std::string FolderOfCode(const void* address);
std::string ProgramFolder();

// A desktop notification, when a session bus and notify-send are there; not waited for.
void NotifyDesktop(const std::string& title, const std::string& message);

}  // namespace qvex::shellext
