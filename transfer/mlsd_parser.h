#pragma once

#include <string_view>

#include "transfer/remote_entry.h"

namespace qvex {

// What one line of an MLSD listing gave.
enum class MlsdLine {
    Entry,      // a complete entry
    Ignored,    // the listed folder itself or its parent (type cdir, pdir)
    Malformed,  // no entry; the reason says why
};

// Turns one MLSD line (RFC 3659 section 7, without its line end) into a directory entry as
// the listing cache keeps it: name, size, time, type flags, icon, and the permission bits
// when the server gave UNIX.mode; sizeText and dateText stay empty. `entry` must be fresh.
//   type=file;size=1024;modify=20070115104200;UNIX.mode=0644; read me.txt
// Facts are matched without regard to case, unknown facts are passed over, a fact that cannot
// be read counts as missing (no size: 0; no time: 0, unknown), a missing or unknown type is a
// file. The time is the modify fact's UTC time. `reason` receives a short text for a
// Malformed line: no name after the facts, a fact without "=", a NUL byte, or a line longer
// than the listing loop hands over.
[[nodiscard]] MlsdLine parseMlsdLine(std::string_view line, RemoteEntry& entry,
                                     const char** reason);

}  // namespace qvex
