#include "transfer/mlsd_parser.h"

#include <chrono>
#include <cstdint>
#include <optional>

#include "transfer/entry_types.h"
#include "transfer/listing_parser.h"
#include "util/ascii_case.h"

namespace qvex {
namespace {

// The earliest year a listing time may have, as for LIST dates.
constexpr int kEarliestYear = 1900;

std::optional<uint64_t> Digits(std::string_view text, unsigned base) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (c < '0' || digit >= base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

}  // namespace

int64_t machineTimeOf(std::string_view value) {
    if (const size_t dot = value.find('.'); dot != std::string_view::npos) {
        if (!Digits(value.substr(dot + 1), 10)) {
            return 0;
        }
        value = value.substr(0, dot);
    }
    if (value.size() != 14 || !Digits(value, 10)) {
        return 0;
    }
    // All digits, as checked above.
    const auto field = [value](size_t at, size_t length) {
        return static_cast<int>(*Digits(value.substr(at, length), 10));
    };
    using namespace std::chrono;
    const year_month_day date{year{field(0, 4)}, month{static_cast<unsigned>(field(4, 2))},
                              day{static_cast<unsigned>(field(6, 2))}};
    const int hour = field(8, 2);
    const int minute = field(10, 2);
    // 60 is a leap second.
    const int second = field(12, 2);
    if (!date.ok() || static_cast<int>(date.year()) < kEarliestYear || hour > 23 || minute > 59 ||
        second > 60) {
        return 0;
    }
    const int64_t days = sys_days(date).time_since_epoch().count();
    return days * 86'400 + hour * 3'600 + minute * 60 + second;
}

namespace {

// The type fact: "file", "dir", "cdir", "pdir", or a system's own such as
// "OS.unix=slink:/target" or "OS.unix=symlink".
// A second type fact replaces the first.
void ApplyType(std::string_view value, RemoteEntry& entry, MlsdLine& line) {
    entry.flags &= ~(kEntryDirectory | kEntrySymLink);
    entry.linkTarget.clear();
    line = MlsdLine::Entry;
    if (EqualsIgnoringAsciiCase(value, "dir")) {
        entry.flags |= kEntryDirectory;
    } else if (EqualsIgnoringAsciiCase(value, "cdir")) {
        line = MlsdLine::ThisFolder;
    } else if (EqualsIgnoringAsciiCase(value, "pdir")) {
        line = MlsdLine::Ignored;
    } else if (constexpr std::string_view kUnix = "os.unix=";
               value.size() > kUnix.size() &&
               EqualsIgnoringAsciiCase(value.substr(0, kUnix.size()), kUnix)) {
        const std::string_view kind = value.substr(kUnix.size());
        const size_t colon = kind.find(':');
        const std::string_view word = kind.substr(0, colon);
        if (EqualsIgnoringAsciiCase(word, "slink") || EqualsIgnoringAsciiCase(word, "symlink")) {
            entry.flags |= kEntrySymLink;
            if (colon != std::string_view::npos) {
                entry.linkTarget.assign(kind.substr(colon + 1));
            }
        }
    }
}

}  // namespace

MlsdLine parseMlsdLine(std::string_view line, RemoteEntry& entry, std::string_view& unique,
                       const char** reason) {
    unique = {};
    if (line.size() > kMaxListingLine) {
        *reason = "longer than 511 characters";
        return MlsdLine::Malformed;
    }
    if (line.find('\0') != std::string_view::npos) {
        *reason = "a NUL byte";
        return MlsdLine::Malformed;
    }
    // The facts hold no blank; one blank, then the name, which may hold any.
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 == line.size()) {
        *reason = "no name";
        return MlsdLine::Malformed;
    }
    std::string_view facts = line.substr(0, blank);
    MlsdLine kind = MlsdLine::Entry;
    int64_t size = 0;
    int64_t time = 0;
    while (!facts.empty()) {
        const size_t end = facts.find(';');
        const std::string_view fact = facts.substr(0, end);
        facts = end == std::string_view::npos ? std::string_view() : facts.substr(end + 1);
        if (fact.empty()) {
            continue;
        }
        const size_t equals = fact.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            *reason = "a fact without \"=\"";
            entry = RemoteEntry{};
            unique = {};
            return MlsdLine::Malformed;
        }
        const std::string_view name = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (EqualsIgnoringAsciiCase(name, "type")) {
            ApplyType(value, entry, kind);
        } else if (EqualsIgnoringAsciiCase(name, "size")) {
            const auto bytes = Digits(value, 10);
            size = bytes && *bytes <= INT64_MAX ? static_cast<int64_t>(*bytes) : 0;
        } else if (EqualsIgnoringAsciiCase(name, "unique")) {
            unique = value;
        } else if (EqualsIgnoringAsciiCase(name, "modify")) {
            time = machineTimeOf(value);
        } else if (EqualsIgnoringAsciiCase(name, "unix.mode")) {
            // "0644", "755", or in Python's notation "0o644"; type bits above the
            // permissions are dropped.
            std::string_view digits = value;
            if (digits.starts_with("0o")) {
                digits.remove_prefix(2);
            }
            if (const auto mode = Digits(digits, 8); mode && digits.size() <= 7) {
                entry.flags |= kEntryModeValid;
                entry.modeAndIcon = static_cast<uint32_t>(*mode & 07777) << kEntryModeShift;
            }
        }
    }
    if (kind != MlsdLine::Entry) {
        entry = RemoteEntry{};
        return kind;
    }
    entry.name.assign(line.substr(blank + 1));
    entry.size = size;
    entry.time = time;
    assignTypeAndIcon(entry);
    return MlsdLine::Entry;
}

}  // namespace qvex
