#include "transfer/remote_entry.h"

#include <charconv>

#include "platform/locale.h"
#include "transfer/listing_date.h"
#include "util/format.h"

namespace qvex {

namespace {

constexpr const char* kMonthAbbreviations[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char* AppendNumber(char* out, char* end, int value, int minDigits) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    auto length = static_cast<int>(result.ptr - digits);
    for (; minDigits > length && out < end; --minDigits) {
        *out++ = '0';
    }
    for (char* p = digits; p < result.ptr && out < end; ++p) {
        *out++ = *p;
    }
    return out;
}

// "Jan 5 10:42" for recent or future times, "Jan 5 2004" for older ones; empty for a time
// the listing did not give (0), which would otherwise read as a real date in 1970.
std::string DateTextOf(int64_t time, int64_t now) {
    platform::CalendarTime local;
    if (time == 0 || !platform::TimeToLocalCalendar(time, local) || local.month < 1 ||
        local.month > 12) {
        return {};
    }
    char text[40];
    char* const end = text + sizeof text;
    char* out = text;
    for (const char* p = kMonthAbbreviations[local.month - 1]; *p != '\0'; ++p) {
        *out++ = *p;
    }
    *out++ = ' ';
    out = AppendNumber(out, end, local.day, 1);
    *out++ = ' ';
    if (time > now || now - time < kRecentDateSeconds) {
        out = AppendNumber(out, end, local.hour, 2);
        *out++ = ':';
        out = AppendNumber(out, end, local.minute, 2);
    } else {
        out = AppendNumber(out, end, local.year, 1);
    }
    return std::string(text, out);
}

}  // namespace

RemoteEntry NewFolderEntry() {
    RemoteEntry entry;
    entry.name = "NewFolder";
    entry.size = -1;
    entry.flags = kEntryDirectory | kEntryTimeValid;
    return entry;
}

void setSizeAndTime(ListItem& item, int64_t size, int64_t time, int64_t now) {
    item.size = size;
    item.time = time;
    item.sizeText = FormatSize(size, kSizePlain);
    item.dateText = DateTextOf(time, now);
}

void setSizeAndTime(ListItem& item, int64_t size, int64_t time) {
    setSizeAndTime(item, size, time, listingNow());
}

std::string localNameOf(const RemoteEntry& entry) {
    if (isSymLink(entry)) {
        size_t slash = entry.linkTarget.rfind('/');
        std::string last =
            slash == std::string::npos ? entry.linkTarget : entry.linkTarget.substr(slash + 1);
        // A link listed without " -> ", or to "dir/", would have no local name at all.
        return last.empty() ? entry.name : last;
    }
    if ((entry.flags & kEntryVmsForm) != 0) {
        return entry.name.substr(0, entry.name.rfind(';'));
    }
    return entry.name;
}

const std::string& remoteNameOf(const RemoteEntry& entry) {
    // An empty argument would be refused; a link without a listed target goes by its own
    // name.
    if (isSymLink(entry) && !entry.linkTarget.empty()) {
        return entry.linkTarget;
    }
    return entry.name;
}

std::string directoryArgument(const RemoteEntry& entry) {
    if ((entry.flags & kEntryVmsForm) != 0) {
        return "[." + entry.name + "]";
    }
    return remoteNameOf(entry);
}

std::string displayName(const RemoteEntry& entry) {
    std::string name;
    appendDisplayName(name, entry);
    return name;
}

void appendDisplayName(std::string& out, const RemoteEntry& entry) {
    out.append(entry.name);
    if (isSymLink(entry) && !entry.linkTarget.empty()) {
        out.append(" -> ").append(entry.linkTarget);
    }
}

}  // namespace qvex
