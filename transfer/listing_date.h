#pragma once

#include <cstdint>
#include <string_view>

#include "transfer/listing_language.h"
#include "transfer/remote_entry.h"

namespace qvex {

struct SessionWorker;

// A year-less date more than this many seconds ahead of now belongs to the year before.
inline constexpr int64_t kFutureDateSlack = 86'399;
// The date text handed to the date parser is cut to this many characters.
inline constexpr size_t kMaxDateText = 95;
// Two-digit years YY < kTwoDigitYearPivot are 20YY, the others 19YY.
inline constexpr int kTwoDigitYearPivot = 70;
// Times younger than this (or in the future) show their time of day rather than the year.
inline constexpr int64_t kRecentDateSeconds = int64_t{4'383} * 3600;

// The wall-clock date a listing gave.
struct ListingDate {
    // False when the listing gave a time of day instead of a year.
    bool hasYear = false;
    int year = 0;
    int month = 0;  // 1-12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Whether the month (1-12) has the day: in the listed year, or when none was listed in a
// leap year, as the year of a year-less date is decided later.
[[nodiscard]] bool listedDayExists(const ListingDate& date);

// Reads the date forms listings carry, with the months and separators of `language`:
//   "01-15-07  03:45PM", "01-15-2007 15:45"       month-day-year and a time (DOS, OS/2)
//   "14-JAN-1997 10:20:30", "14-JAN-1997"         day-month-year with or without time (VMS)
//   "Jan 15 10:42", "Mar 3 2004"                  month, day, time or year (Unix)
// Times are H:MM or H:MM:SS (VMS may add hundredths), 24-hour or followed by AM / PM. False
// for anything else, including a day the month does not have.
[[nodiscard]] bool parseListingDate(std::string_view text, const ListingLanguage& language,
                                    ListingDate& out);

// The seconds since 1970 of a date text read as local time of this machine, or 0 when it
// cannot be read or lies before 1900. A missing year is the current one; a time more than
// kFutureDateSlack ahead of `now` is moved back one year.
[[nodiscard]] int64_t listingDateToTime(std::string_view text, const ListingLanguage& language,
                                        int64_t now);
// The same for a date that parseListingDate gave, or that was read as it would read it.
[[nodiscard]] int64_t listingDateToTime(const ListingDate& date, int64_t now);

// The clock that decides the year of year-less dates; the system clock unless replaced.
using ListingClock = int64_t (*)();
[[nodiscard]] int64_t listingNow();
// nullptr restores the system clock.
void setListingClock(ListingClock clock);

// -1 when the remote time is earlier than localTime, 1 when later, 0 when equal. Entries
// with a time of day are first moved by the session's server and local biases; entries
// that gave a year are compared as listed.
[[nodiscard]] int compareRemoteToLocalTime(const RemoteEntry& entry, int64_t localTime,
                                           const SessionWorker& session);

}  // namespace qvex
