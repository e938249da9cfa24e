#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qvex {

// Colour classes of log lines, told from a line's text alone.
enum LogClass : int {
    kLogClassInfo = 0,    // "... ", "*** ", action lines
    kLogClassReply1 = 1,  // ">1.." to ">5..": the reply's first digit
    kLogClassReply2 = 2,  // also every other ">" line (continuation lines)
    kLogClassReply3 = 3,
    kLogClassReply4 = 4,
    kLogClassReply5 = 5,
    kLogClassCommand = 6,    // "<" a command as sent
    kLogClassImportant = 7,  // "!" notes and "@" local failures
    kLogClassHeader = 8,     // the first two lines of a log, whatever their text
};

int LogLineClass(std::string_view line);

struct LogClassColor {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// Background colour of each class, indexed by class.
extern const std::array<LogClassColor, 9> kLogClassColors;

// The colour key: the eight swatches in display order, each with its tooltip text.
struct LogKeySwatch {
    int logClass;
    const char* tooltip;
};
extern const std::array<LogKeySwatch, 8> kLogColorKey;

}  // namespace qvex
