#include "transfer/entry_properties.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "platform/locale.h"
#include "transfer/entry_types.h"

namespace qvex {
namespace {

// "%d %ss" with the noun's plural only where English wants it: "1 File", "2 Folders".
std::string Counted(int count, const char* noun) {
    std::string text = std::to_string(count) + " " + noun;
    if (count != 1) {
        text += "s";
    }
    return text;
}

// The local wall-clock time of a moment as the dialog shows it; empty when it is unknown.
std::string ModifiedText(int64_t time) {
    platform::CalendarTime local;
    if (time == 0 || !platform::TimeToLocalCalendar(time, local)) {
        return {};
    }
    std::tm fields{};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = -1;
    // Only for the day of the week: the other fields stay as the calendar gave them.
    std::tm weekday = fields;
    if (std::mktime(&weekday) == static_cast<std::time_t>(-1)) {
        return {};
    }
    fields.tm_wday = weekday.tm_wday;
    fields.tm_yday = weekday.tm_yday;
    // "%A, %B %d, %Y %-I:%M:%S %p": the 12-hour clock's hour without a leading zero, which
    // standard strftime has no flag for.
    const int hour = local.hour % 12 == 0 ? 12 : local.hour % 12;
    const std::string format = "%A, %B %d, %Y " + std::to_string(hour) + ":%M:%S %p";
    std::array<char, 128> text{};
    const size_t length = std::strftime(text.data(), text.size(), format.c_str(), &fields);
    return std::string(text.data(), length);
}

std::string TableTypeText(const RemoteEntry& entry) {
    return entryTypeAt(entryTypeOf(entry)).text;
}

}  // namespace

std::string octalModeText(uint32_t mode, uint32_t undecided) {
    if ((undecided & kModeBits) != 0) {
        return "****";
    }
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04o", mode & kModeBits);
    return text.data();
}

EntryProperties entryProperties(std::span<const RemoteEntry> entries,
                                const EntryTypeText& typeTextOf) {
    EntryProperties out;
    if (entries.empty()) {
        return out;
    }
    const EntryTypeText& typeText = typeTextOf ? typeTextOf : EntryTypeText(TableTypeText);
    const std::string firstType = typeText(entries.front());
    bool oneType = true;
    int files = 0;
    int folders = 0;
    int links = 0;
    // The bits every known mode has, against the bits any has.
    uint32_t common = kModeBits;
    for (const RemoteEntry& entry : entries) {
        if (entry.size > 0) {
            out.size += entry.size;
        }
        if (&entry != &entries.front() && typeText(entry) != firstType) {
            oneType = false;
        }
        if (isSymLink(entry)) {
            ++links;
        } else if (isDirectory(entry)) {
            ++folders;
        } else {
            ++files;
        }
        if ((entry.flags & kEntryModeValid) != 0) {
            const uint32_t mode = entryModeOf(entry) & kModeBits;
            out.mode |= mode;
            common &= mode;
        }
    }
    out.undecided = out.mode & ~common;
    out.octalText = octalModeText(out.mode, out.undecided);
    out.summaryText = Counted(files, "File") + ", " + Counted(folders, "Folder") + ", " +
                      Counted(links, "Symbolic Link");
    if (entries.size() == 1) {
        out.nameText = entries.front().name;
        out.typeText = firstType;
        out.modifiedText = ModifiedText(entries.front().time);
    } else {
        out.nameText = entries.front().name + ", ...";
        out.typeText = oneType ? "All of type " + firstType : "Multiple types";
    }
    return out;
}

}  // namespace qvex
