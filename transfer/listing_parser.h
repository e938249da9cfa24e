#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transfer/remote_entry.h"

namespace qvex {

// The longest listing line the parser takes (the listing loop ends a listing at a longer
// one); pendingName never holds more.
inline constexpr size_t kMaxListingLine = 511;
// Only this many whitespace-separated tokens of a line are examined.
inline constexpr int kMaxListingTokens = 16;

// What a whitespace-separated token of a listing line looks like.
enum class ListingToken {
    Number,
    TimeOfDay,
    NumericDate,
    VmsDate,
    BlockPair,
    MonthName,
    ModeString,
    Garbage,
    Other,
};

// The class of one token (no blanks or tabs inside) under the loaded listing language.
[[nodiscard]] ListingToken classifyListingToken(std::string_view token);

// Turns one LIST line (without its line end) of the Unix, DOS/IIS, OS/2 or VMS form into a
// directory entry. pendingName belongs to the listing loop and starts empty for each
// listing; it carries a VMS name that stood alone on its line into the next line. `entry`
// must be fresh. True when the line gave an entry, which is then complete (times, display
// texts, type and icon). `now` (seconds since 1970) decides the year of year-less dates; the
// overload without it reads the listing clock (listing_date.h).
[[nodiscard]] bool parseListingLine(std::string_view line, std::string& pendingName,
                                    RemoteEntry& entry, int64_t now);
[[nodiscard]] bool parseListingLine(std::string_view line, std::string& pendingName,
                                    RemoteEntry& entry);
// The same for an entry that goes into the listing cache, which makes the display texts
// afresh whenever an entry is read: sizeText and dateText stay empty.
[[nodiscard]] bool parseCachedListingLine(std::string_view line, std::string& pendingName,
                                          RemoteEntry& entry, int64_t now);

// parseListingLine without its shortcut for the usual Unix line, for the tests and the
// fuzzer that hold the shortcut to the general reading.
[[nodiscard]] bool parseListingLineWithoutShortcut(std::string_view line, std::string& pendingName,
                                                   RemoteEntry& entry, int64_t now);

// The Unix permission bits of a 10-character mode string such as "drwxr-sr-x" (02755).
[[nodiscard]] uint32_t permissionBitsOf(std::string_view modeString);

}  // namespace qvex
