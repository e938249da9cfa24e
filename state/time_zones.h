#pragma once

#include <array>
#include <string_view>

namespace qvex {

// One choice of the per-host server time zone: the row text shown to the user and the code
// stored in the per-host word (0 = local time, else 64 + quarter hours east of UTC).
struct TimeZoneRow {
    std::string_view text;
    int code;
};

// The fixed list, in display order. Versions before 2.1.2 stored a position in this list
// instead of the code, so the order must never change.
inline constexpr std::array<TimeZoneRow, 39> kTimeZones = {{
    {"Local Time (default)", 0},
    {"GMT-12:00", 16},
    {"GMT-11:30 Rarotonga", 18},
    {"GMT-11:00 Midway, Samoa", 20},
    {"GMT-10:00 Hawaiian Time, Tahiti", 24},
    {"GMT-09:30 Marquesas", 26},
    {"GMT-09:00 Alaskan Time", 28},
    {"GMT-08:30 Pitcairn", 30},
    {"GMT-08:00 Pacific Time (US + Canada), Ensenada", 32},
    {"GMT-07:00 Mountain Time (US + Canada), Mazatlan", 36},
    {"GMT-06:00 Central Time (US + Canada), Mexico City", 40},
    {"GMT-05:00 Eastern Time (US + Canada), Bogota", 44},
    {"GMT-04:00 Atlantic Time, La Paz, Puerto Rico", 48},
    {"GMT-03:30 Newfoundland Time", 50},
    {"GMT-03:00 Buenos Aires, Greenland", 52},
    {"GMT-02:00 Mid-Atlantic Time", 56},
    {"GMT-01:00 Azores", 60},
    {"GMT (UTC) Casablanca, Greenwich, Lisbon, London", 64},
    {"GMT+01:00 Berlin, Copenhagen, Madrid, Paris, Rome", 68},
    {"GMT+02:00 Athens, Cairo, Helsinki, Istanbul, Kiev", 72},
    {"GMT+03:00 Moscow, Nairobi, Riyadh, Tbilisi", 76},
    {"GMT+03:30 Tehran", 78},
    {"GMT+04:00 Dubai", 80},
    {"GMT+04:30 Kabul", 82},
    {"GMT+05:00 Karachi, Maldives", 84},
    {"GMT+05:30 Bombay, Calcutta, New Delhi", 86},
    {"GMT+05:45 Katmandu", 87},
    {"GMT+06:00 Novosibirsk", 88},
    {"GMT+06:30 Cocos, Rangoon", 90},
    {"GMT+07:00 Jakarta, Saigon", 92},
    {"GMT+08:00 Brunei, Manila, Perth, Shanghai, Singapore", 96},
    {"GMT+09:00 Seoul, Tokyo, Yakutsk", 100},
    {"GMT+09:30 Adelaide, Darwin", 102},
    {"GMT+10:00 Brisbane, Guam, Melbourne, Saipan, Sydney", 104},
    {"GMT+10:30", 106},
    {"GMT+11:00 Guadalcanal", 108},
    {"GMT+11:30 Norfolk", 110},
    {"GMT+12:00 Auckland, Fiji, Kamchatka, Marshalls", 112},
    {"GMT+13:00 Enderbury", 116},
}};

// The code a row text stands for: "UTC" (else "GMT") followed by "+hh:mm" or "-hh:mm" gives
// 64 +/- (4 * hh + mm / 15); followed by anything else, 64; neither present, 0. Listing lines
// use the same rule. Numbers are read as plain decimal digits; an absent number counts as 0.
[[nodiscard]] int TimeZoneCodeOf(std::string_view rowText);

// The code of the row at a list position (a value stored before 2.1.2); 0 (local time) for
// a position beyond the list.
[[nodiscard]] int TimeZoneCodeAt(unsigned position);

}  // namespace qvex
