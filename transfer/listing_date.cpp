#include "transfer/listing_date.h"

#include <array>
#include <atomic>
#include <chrono>

#include "engine/session_worker.h"
#include "platform/locale.h"

namespace qvex {

namespace {

constexpr int kFirstYear = 1900;
constexpr size_t kMaxDateTokens = 4;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Reads minDigits..maxDigits decimal digits at text[pos]; false when fewer are there.
bool ReadNumber(std::string_view text, size_t& pos, size_t minDigits, size_t maxDigits,
                int& value) {
    size_t start = pos;
    value = 0;
    while (pos < text.size() && pos - start < maxDigits && IsDigit(text[pos])) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return pos - start >= minDigits && (pos >= text.size() || !IsDigit(text[pos]));
}

// "AM" / "PM" in any case: 0 for neither, 1 for AM, 2 for PM.
int MeridiemOf(std::string_view text) {
    if (text.size() != 2 || Upper(text[1]) != 'M') {
        return 0;
    }
    char first = Upper(text[0]);
    return first == 'A' ? 1 : first == 'P' ? 2 : 0;
}

// A time of day "9:05", "10:42:33", "10:20:30.25", "03:45PM", optionally followed by an
// "AM" / "PM" token. Consumes the tokens it used.
bool ReadTime(const std::array<std::string_view, kMaxDateTokens>& tokens, size_t count,
              size_t& next, const ListingLanguage& language, ListingDate& out) {
    if (next >= count) {
        return false;
    }
    std::string_view token = tokens[next++];
    size_t pos = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!ReadNumber(token, pos, 1, 2, hour) || pos >= token.size() ||
        !language.isTimeSeparator(token[pos])) {
        return false;
    }
    ++pos;
    if (!ReadNumber(token, pos, 2, 2, minute)) {
        return false;
    }
    if (pos < token.size() && language.isTimeSeparator(token[pos])) {
        ++pos;
        if (!ReadNumber(token, pos, 2, 2, second)) {
            return false;
        }
        // VMS adds hundredths of a second.
        if (pos < token.size() && token[pos] == '.') {
            ++pos;
            int hundredths = 0;
            if (!ReadNumber(token, pos, 1, 2, hundredths)) {
                return false;
            }
        }
    }
    int meridiem = 0;
    if (pos < token.size()) {
        meridiem = MeridiemOf(token.substr(pos));
        if (meridiem == 0) {
            return false;
        }
    } else if (next < count && MeridiemOf(tokens[next]) != 0) {
        meridiem = MeridiemOf(tokens[next++]);
    }
    if (meridiem != 0) {
        if (hour < 1 || hour > 12) {
            return false;
        }
        hour = hour % 12 + (meridiem == 2 ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    out.hour = hour;
    out.minute = minute;
    out.second = second;
    return true;
}

// "01-15-07", "1/15/2007": month, day, then a two- or four-digit year.
bool ReadNumericDate(std::string_view token, const ListingLanguage& language, ListingDate& out) {
    size_t pos = 0;
    int month = 0;
    int day = 0;
    int year = 0;
    if (!ReadNumber(token, pos, 1, 2, month) || pos >= token.size() ||
        !language.isDateSeparator(token[pos])) {
        return false;
    }
    ++pos;
    if (!ReadNumber(token, pos, 1, 2, day) || pos >= token.size() ||
        !language.isDateSeparator(token[pos])) {
        return false;
    }
    ++pos;
    size_t yearStart = pos;
    if (!ReadNumber(token, pos, 2, 4, year) || pos != token.size()) {
        return false;
    }
    size_t yearDigits = pos - yearStart;
    if (yearDigits == 2) {
        year += year < kTwoDigitYearPivot ? 2000 : 1900;
    } else if (yearDigits != 4) {
        return false;
    }
    out.hasYear = true;
    out.year = year;
    out.month = month;
    out.day = day;
    return true;
}

// "14-JAN-1997": day, month name, four-digit year.
bool ReadVmsDate(std::string_view token, const ListingLanguage& language, ListingDate& out) {
    size_t pos = 0;
    int day = 0;
    int year = 0;
    if (!ReadNumber(token, pos, 1, 2, day) || pos >= token.size() ||
        !language.isDateSeparator(token[pos])) {
        return false;
    }
    const size_t monthStart = ++pos;
    while (pos < token.size() && !language.isDateSeparator(token[pos])) {
        ++pos;
    }
    int month = language.monthNumberOf(token.substr(monthStart, pos - monthStart));
    if (month == 0 || pos >= token.size()) {
        return false;
    }
    ++pos;
    if (!ReadNumber(token, pos, 4, 4, year) || pos != token.size()) {
        return false;
    }
    out.hasYear = true;
    out.year = year;
    out.month = month;
    out.day = day;
    return true;
}

bool AllDigits(std::string_view token) {
    for (char c : token) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    return !token.empty();
}

std::atomic<ListingClock> gClock{nullptr};

int64_t SystemNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The local year at `now`; a listing asks for it on every year-less line with the same now.
int LocalYearAt(int64_t now) {
    thread_local int64_t cachedNow = INT64_MIN;
    thread_local int cachedYear = 0;
    if (now != cachedNow) {
        platform::CalendarTime local;
        if (!platform::TimeToLocalCalendar(now, local)) {
            return 0;
        }
        cachedNow = now;
        cachedYear = local.year;
    }
    return cachedYear;
}

bool ToTime(const ListingDate& date, int year, int64_t& out) {
    if (year < kFirstYear || date.day > DaysInMonth(year, date.month)) {
        return false;
    }
    platform::CalendarTime local;
    local.year = year;
    local.month = date.month;
    local.day = date.day;
    local.hour = date.hour;
    local.minute = date.minute;
    local.second = date.second;
    return platform::LocalCalendarToTime(local, out);
}

}  // namespace

bool listedDayExists(const ListingDate& date) {
    // Without a year, any day the month has in a leap year; the year decides later.
    return date.day >= 1 && date.day <= DaysInMonth(date.hasYear ? date.year : 2000, date.month);
}

bool parseListingDate(std::string_view text, const ListingLanguage& language, ListingDate& out) {
    std::array<std::string_view, kMaxDateTokens> tokens;
    size_t count = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
            ++pos;
        }
        if (pos >= text.size()) {
            break;
        }
        size_t start = pos;
        while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t') {
            ++pos;
        }
        if (count == kMaxDateTokens) {
            return false;
        }
        tokens[count++] = text.substr(start, pos - start);
    }
    if (count == 0) {
        return false;
    }
    ListingDate date;
    size_t next = 1;
    std::string_view first = tokens[0];
    if (IsDigit(first[0])) {
        size_t digits = 0;
        while (digits < first.size() && IsDigit(first[digits])) {
            ++digits;
        }
        // A month name, in any script, after the first separator.
        bool vms = digits + 1 < first.size() && !IsDigit(first[digits + 1]);
        if (vms) {
            // "14-JAN-1997" with or without "10:20:30".
            if (!ReadVmsDate(first, language, date)) {
                return false;
            }
            if (next < count && !ReadTime(tokens, count, next, language, date)) {
                return false;
            }
        } else {
            // "01-15-07  03:45PM": always with a time.
            if (!ReadNumericDate(first, language, date) ||
                !ReadTime(tokens, count, next, language, date)) {
                return false;
            }
        }
        if (date.month < 1 || date.month > 12 || !listedDayExists(date)) {
            return false;
        }
    } else {
        // "Jan 15 10:42" or "Mar 3 2004".
        date.month = language.monthNumberOf(first);
        if (date.month == 0 || count < 3) {
            return false;
        }
        size_t dayPos = 0;
        if (!ReadNumber(tokens[1], dayPos, 1, 2, date.day) || dayPos != tokens[1].size() ||
            date.day < 1) {
            return false;
        }
        next = 2;
        if (tokens[2].size() == 4 && AllDigits(tokens[2])) {
            size_t yearPos = 0;
            if (!ReadNumber(tokens[2], yearPos, 4, 4, date.year)) {
                return false;
            }
            date.hasYear = true;
            next = 3;
            if (!listedDayExists(date)) {
                return false;
            }
        } else {
            if (!ReadTime(tokens, count, next, language, date)) {
                return false;
            }
            if (!listedDayExists(date)) {
                return false;
            }
        }
    }
    if (next != count) {
        return false;
    }
    out = date;
    return true;
}

int64_t listingDateToTime(std::string_view text, const ListingLanguage& language, int64_t now) {
    if (text.size() > kMaxDateText) {
        text = text.substr(0, kMaxDateText);
    }
    ListingDate date;
    if (!parseListingDate(text, language, date)) {
        return 0;
    }
    return listingDateToTime(date, now);
}

int64_t listingDateToTime(const ListingDate& date, int64_t now) {
    int year = date.hasYear ? date.year : LocalYearAt(now);
    int64_t time = 0;
    if (!ToTime(date, year, time)) {
        return 0;
    }
    // A December date without a year, read in January, is last December's.
    if (time > now + kFutureDateSlack) {
        if (!ToTime(date, year - 1, time)) {
            return 0;
        }
    }
    return time;
}

int64_t listingNow() {
    ListingClock clock = gClock.load(std::memory_order_acquire);
    return clock != nullptr ? clock() : SystemNow();
}

void setListingClock(ListingClock clock) {
    gClock.store(clock, std::memory_order_release);
}

int compareRemoteToLocalTime(const RemoteEntry& entry, int64_t localTime,
                             const SessionWorker& session) {
    int64_t remote = entry.time;
    int64_t local = localTime;
    // A year in the listing means an old file whose time of day is unknown: no zone applies.
    if ((entry.flags & kEntryTimeValid) != 0) {
        remote += session.serverBias;
        local += session.localBias;
    }
    return remote < local ? -1 : remote > local ? 1 : 0;
}

}  // namespace qvex
