#pragma once

#include <cstdint>
#include <string_view>

#include "transfer/remote_entry.h"

namespace qvex {

// What one line of an MLSD listing gave.
enum class MlsdLine {
    Entry,       // a complete entry
    ThisFolder,  // the listed folder itself (type cdir): no entry, only its unique fact
    Ignored,     // the listed folder's parent (type pdir)
    Malformed,  // no entry; the reason says why
};

// A time in RFC 3659's form, as MLSD's modify fact and MDTM's answer give it: "20070115104200",
// or with a fraction, "20070115104200.123"; always UTC. Seconds since 1970, or 0 when it
// cannot be read or lies before 1900.
[[nodiscard]] int64_t machineTimeOf(std::string_view value);

// Turns one MLSD line (RFC 3659 section 7, without its line end) into a directory entry as
// the listing cache keeps it: name, size, time, type flags, icon, and the permission bits
// when the server gave UNIX.mode; sizeText and dateText stay empty. `entry` must be fresh.
//   type=file;size=1024;modify=20070115104200;UNIX.mode=0644; read me.txt
// Facts are matched without regard to case, unknown facts are passed over, a fact that cannot
// be read counts as missing (no size: 0; no time: 0, unknown), a missing or unknown type is a
// file. The time is the modify fact's UTC time. `reason` receives a short text for a
// Malformed line: no name after the facts, a fact without "=", a NUL byte, or a line longer
// than the listing loop hands over. `unique` receives the unique fact's value, a view into
// `line`, or stays empty: the server's identity of the object, which tells a link to a folder
// from the folder when the server follows links.
[[nodiscard]] MlsdLine parseMlsdLine(std::string_view line, RemoteEntry& entry,
                                     std::string_view& unique, const char** reason);

}  // namespace qvex
