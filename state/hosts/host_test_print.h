#pragma once

#include <cstdio>
#include <ostream>
#include <string>

#include "state/hosts/host_list.h"

namespace qvex {

// Readable host entries in test failures: every byte that is not printable is escaped.
inline std::string PrintableText(const std::string& text) {
    std::string shown;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            shown += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        }
    }
    return shown;
}

inline void PrintTo(const HostEntry& entry, std::ostream* out) {
    *out << "{" << PrintableText(entry.url) << " | " << PrintableText(entry.user) << " | "
         << PrintableText(entry.password) << " | 0x" << std::hex << entry.perHostWord << " | 0x"
         << entry.lastConnect << std::dec << "}";
}

}  // namespace qvex
