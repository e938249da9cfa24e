#pragma once

namespace qvex {

class SharedHeap;

// Any thread may post log lines. The sink never touches a window or a file: it publishes one
// bus message on the process heap, and the log receiver appends it to the session log.
// `suffix` (may be null) is joined to `text`; a line longer than 511 bytes is cut there.
// Control characters (a CR or LF in a name, an escape sequence in a reply) are written in a
// visible form, "\r", "\n", "\t" or "\x1B", so that one posted line stays one line of the
// log and nothing a server sends drives the terminal of the error-stream echo.
void logCmd(const char* text, const char* suffix = nullptr);
void logExt(const char* text, const char* suffix = nullptr);
void logRaw(const char* text, const char* suffix = nullptr);
void postLogLine(const char* kind, const char* text, const char* suffix);
// The same on a given heap (tests and tools that run their own bus).
void postLogLine(SharedHeap& heap, const char* kind, const char* text, const char* suffix);

}  // namespace qvex
