#include "platform/locale.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <time.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <string_view>
#include <utility>

namespace qvex::platform {

namespace {

// Windows language identifiers and the glibc locales that carry the same conventions.
constexpr std::array<LocaleRow, 58> kLocaleTable = {{
    {1033, "en_US.UTF-8", "English (United States)", "CP1252", "ISO-8859-15"},
    {2057, "en_GB.UTF-8", "English (United Kingdom)", "CP1252", "ISO-8859-15"},
    {3081, "en_AU.UTF-8", "English (Australia)", "CP1252", "ISO-8859-15"},
    {4105, "en_CA.UTF-8", "English (Canada)", "CP1252", "ISO-8859-15"},
    {5129, "en_NZ.UTF-8", "English (New Zealand)", "CP1252", "ISO-8859-15"},
    {6153, "en_IE.UTF-8", "English (Ireland)", "CP1252", "ISO-8859-15"},
    {7177, "en_ZA.UTF-8", "English (South Africa)", "CP1252", "ISO-8859-15"},
    {1031, "de_DE.UTF-8", "German (Germany)", "CP1252", "ISO-8859-15"},
    {3079, "de_AT.UTF-8", "German (Austria)", "CP1252", "ISO-8859-15"},
    {2055, "de_CH.UTF-8", "German (Switzerland)", "CP1252", "ISO-8859-15"},
    {1036, "fr_FR.UTF-8", "French (France)", "CP1252", "ISO-8859-15"},
    {2060, "fr_BE.UTF-8", "French (Belgium)", "CP1252", "ISO-8859-15"},
    {3084, "fr_CA.UTF-8", "French (Canada)", "CP1252", "ISO-8859-15"},
    {4108, "fr_CH.UTF-8", "French (Switzerland)", "CP1252", "ISO-8859-15"},
    {1040, "it_IT.UTF-8", "Italian (Italy)", "CP1252", "ISO-8859-15"},
    {2064, "it_CH.UTF-8", "Italian (Switzerland)", "CP1252", "ISO-8859-15"},
    {1034, "es_ES.UTF-8", "Spanish (Spain, Traditional Sort)", "CP1252", "ISO-8859-15"},
    {3082, "es_ES.UTF-8", "Spanish (Spain, International Sort)", "CP1252", "ISO-8859-15"},
    {2058, "es_MX.UTF-8", "Spanish (Mexico)", "CP1252", "ISO-8859-15"},
    {1043, "nl_NL.UTF-8", "Dutch (Netherlands)", "CP1252", "ISO-8859-15"},
    {2067, "nl_BE.UTF-8", "Dutch (Belgium)", "CP1252", "ISO-8859-15"},
    {1053, "sv_SE.UTF-8", "Swedish (Sweden)", "CP1252", "ISO-8859-15"},
    {1044, "nb_NO.UTF-8", "Norwegian, Bokmal (Norway)", "CP1252", "ISO-8859-15"},
    {2068, "nn_NO.UTF-8", "Norwegian, Nynorsk (Norway)", "CP1252", "ISO-8859-15"},
    {1030, "da_DK.UTF-8", "Danish (Denmark)", "CP1252", "ISO-8859-15"},
    {1035, "fi_FI.UTF-8", "Finnish (Finland)", "CP1252", "ISO-8859-15"},
    {1039, "is_IS.UTF-8", "Icelandic (Iceland)", "CP1252", "ISO-8859-15"},
    {1080, "fo_FO.UTF-8", "Faroese (Faroe Islands)", "CP1252", "ISO-8859-15"},
    {1045, "pl_PL.UTF-8", "Polish (Poland)", "CP1250", "ISO-8859-2"},
    {1029, "cs_CZ.UTF-8", "Czech (Czech Republic)", "CP1250", "ISO-8859-2"},
    {1051, "sk_SK.UTF-8", "Slovak (Slovakia)", "CP1250", "ISO-8859-2"},
    {1060, "sl_SI.UTF-8", "Slovenian (Slovenia)", "CP1250", "ISO-8859-2"},
    {1050, "hr_HR.UTF-8", "Croatian (Croatia)", "CP1250", "ISO-8859-2"},
    {1038, "hu_HU.UTF-8", "Hungarian (Hungary)", "CP1250", "ISO-8859-2"},
    {1048, "ro_RO.UTF-8", "Romanian (Romania)", "CP1250", "ISO-8859-2"},
    {1026, "bg_BG.UTF-8", "Bulgarian (Bulgaria)", "CP1251", "ISO-8859-5"},
    {1049, "ru_RU.UTF-8", "Russian (Russia)", "CP1251", "KOI8-R"},
    {1058, "uk_UA.UTF-8", "Ukrainian (Ukraine)", "CP1251", "KOI8-U"},
    {1062, "lv_LV.UTF-8", "Latvian (Latvia)", "CP1257", "ISO-8859-13"},
    {1063, "lt_LT.UTF-8", "Lithuanian (Lithuania)", "CP1257", "ISO-8859-13"},
    {1061, "et_EE.UTF-8", "Estonian (Estonia)", "CP1257", "ISO-8859-13"},
    {1046, "pt_BR.UTF-8", "Portuguese (Brazil)", "CP1252", "ISO-8859-15"},
    {2070, "pt_PT.UTF-8", "Portuguese (Portugal)", "CP1252", "ISO-8859-15"},
    {1027, "ca_ES.UTF-8", "Catalan (Catalan)", "CP1252", "ISO-8859-15"},
    {1069, "eu_ES.UTF-8", "Basque (Basque)", "CP1252", "ISO-8859-15"},
    {1110, "gl_ES.UTF-8", "Galician (Galician)", "CP1252", "ISO-8859-15"},
    {1055, "tr_TR.UTF-8", "Turkish (Turkey)", "CP1254", "ISO-8859-9"},
    {1032, "el_GR.UTF-8", "Greek (Greece)", "CP1253", "ISO-8859-7"},
    {1052, "sq_AL.UTF-8", "Albanian (Albania)", "CP1250", "ISO-8859-2"},
    {1078, "af_ZA.UTF-8", "Afrikaans (South Africa)", "CP1252", "ISO-8859-15"},
    {1077, "zu_ZA.UTF-8", "isiZulu (South Africa)", "CP1252", "ISO-8859-15"},
    {1057, "id_ID.UTF-8", "Indonesian (Indonesia)", "CP1252", "ISO-8859-15"},
    {1086, "ms_MY.UTF-8", "Malay (Malaysia)", "CP1252", "ISO-8859-15"},
    {1124, "fil_PH.UTF-8", "Filipino (Philippines)", "CP1252", "ISO-8859-15"},
    {1041, "ja_JP.UTF-8", "Japanese (Japan)", nullptr, nullptr},
    {1042, "ko_KR.UTF-8", "Korean (Korea)", nullptr, nullptr},
    {2052, "zh_CN.UTF-8", "Chinese (PRC)", nullptr, nullptr},
    {1028, "zh_TW.UTF-8", "Chinese (Taiwan)", nullptr, nullptr},
}};

constexpr uint16_t kUsEnglish = 1033;

locale_t Handle(const std::shared_ptr<void>& handle) {
    return static_cast<locale_t>(handle.get());
}

// The format strings may use the composite conversions; spell them out so that the fields
// and what lies between them can be read.
std::string Expand(std::string_view format, std::string_view dateFormat) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        char c = format[i + 1];
        ++i;
        switch (c) {
            case 'D':
                out += "%m/%d/%y";
                break;
            case 'F':
                out += "%Y-%m-%d";
                break;
            case 'T':
                out += "%H:%M:%S";
                break;
            case 'R':
                out += "%H:%M";
                break;
            case 'r':
                out += "%I:%M:%S %p";
                break;
            case 'x':
                out += Expand(dateFormat, {});
                break;
            default:
                out += '%';
                out += c;
                break;
        }
    }
    return out;
}

enum class Field {
    Year,
    Month,
    Day,
    Time,
    None,
};

Field FieldOf(char conversion) {
    switch (conversion) {
        case 'Y':
        case 'y':
        case 'C':
        case 'G':
        case 'g':
            return Field::Year;
        case 'm':
        case 'b':
        case 'B':
        case 'h':
            return Field::Month;
        case 'd':
        case 'e':
            return Field::Day;
        case 'H':
        case 'I':
        case 'k':
        case 'l':
        case 'M':
        case 'S':
            return Field::Time;
        default:
            return Field::None;
    }
}

// One conversion of a format: where it starts and ends, and which field it writes.
struct Conversion {
    size_t begin;
    size_t end;
    Field field;
};

// Reads the conversion at format[i] == '%', skipping glibc's flag and modifier characters.
Conversion ConversionAt(std::string_view format, size_t i) {
    size_t j = i + 1;
    while (j < format.size() &&
           (format[j] == '-' || format[j] == '_' || format[j] == '0' || format[j] == '^' ||
            format[j] == '#' || format[j] == 'E' || format[j] == 'O')) {
        ++j;
    }
    if (j >= format.size()) {
        return {i, format.size(), Field::None};
    }
    return {i, j + 1, FieldOf(format[j])};
}

// The text between the first two conversions that write one of the wanted fields
// (date fields for the date separator, time fields for the time separator).
std::string SeparatorBetween(std::string_view format, bool timeFields) {
    size_t previousEnd = std::string_view::npos;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        Conversion conversion = ConversionAt(format, i);
        bool wanted = timeFields
                          ? conversion.field == Field::Time
                          : (conversion.field == Field::Year || conversion.field == Field::Month ||
                             conversion.field == Field::Day);
        if (wanted) {
            if (previousEnd != std::string_view::npos && conversion.begin > previousEnd) {
                return std::string(format.substr(previousEnd, conversion.begin - previousEnd));
            }
            previousEnd = conversion.end;
        } else if (conversion.field != Field::None) {
            previousEnd = std::string_view::npos;
        }
        i = conversion.end - 1;
    }
    return {};
}

}  // namespace

std::span<const LocaleRow> LocaleTable() {
    return kLocaleTable;
}

const LocaleRow* FindLocaleRow(uint16_t languageId) {
    for (const LocaleRow& row : kLocaleTable) {
        if (row.languageId == languageId) {
            return &row;
        }
    }
    return nullptr;
}

SystemLocale::SystemLocale(uint16_t languageId) : row_(FindLocaleRow(languageId)) {
    if (row_ == nullptr) {
        return;
    }
    // LC_CTYPE for the case of letters beyond ASCII.
    constexpr int kMask = LC_TIME_MASK | LC_CTYPE_MASK;
    locale_t handle = ::newlocale(kMask, row_->localeName, static_cast<locale_t>(0));
    // US English is the program's default, so a system without its locale still has it:
    // the C locale has the same month names, separators and order.
    if (handle == static_cast<locale_t>(0) && languageId == kUsEnglish) {
        handle = ::newlocale(kMask, "C", static_cast<locale_t>(0));
    }
    if (handle != static_cast<locale_t>(0)) {
        handle_ =
            std::shared_ptr<void>(handle, [](void* p) { ::freelocale(static_cast<locale_t>(p)); });
    }
}

SystemLocale::~SystemLocale() = default;

std::string SystemLocale::AbbreviatedMonth(int month) const {
    if (!installed() || month < 1 || month > 12) {
        return {};
    }
    const char* name =
        ::nl_langinfo_l(static_cast<nl_item>(ABMON_1 + (month - 1)), Handle(handle_));
    return name != nullptr ? std::string(name) : std::string();
}

std::string SystemLocale::MapCase(std::string_view text, bool upper) const {
    if (!installed()) {
        return {};
    }
    const locale_t handle = Handle(handle_);
    // mbrtowc and wcrtomb read the character set of the thread's locale.
    const locale_t previous = ::uselocale(handle);
    std::string out;
    std::mbstate_t decoding{};
    std::mbstate_t encoding{};
    bool valid = true;
    for (size_t pos = 0; pos < text.size();) {
        wchar_t character = 0;
        const size_t used =
            std::mbrtowc(&character, text.data() + pos, text.size() - pos, &decoding);
        // 0 is a NUL, (size_t)-1 and -2 a broken or cut sequence.
        if (used == 0 || used > text.size() - pos) {
            valid = false;
            break;
        }
        character =
            static_cast<wchar_t>(upper ? ::towupper_l(static_cast<wint_t>(character), handle)
                                       : ::towlower_l(static_cast<wint_t>(character), handle));
        char bytes[MB_LEN_MAX];
        const size_t written = std::wcrtomb(bytes, character, &encoding);
        if (written == static_cast<size_t>(-1)) {
            valid = false;
            break;
        }
        out.append(bytes, written);
        pos += used;
    }
    ::uselocale(previous);
    return valid ? out : std::string();
}

std::string SystemLocale::LowerCase(std::string_view text) const {
    return MapCase(text, false);
}

std::string SystemLocale::UpperCase(std::string_view text) const {
    return MapCase(text, true);
}

std::vector<std::string> SystemLocale::EightBitForms(std::string_view text) const {
    std::vector<std::string> forms;
    if (row_ == nullptr) {
        return forms;
    }
    for (const char* charset : {row_->windowsCharset, row_->unixCharset}) {
        if (charset == nullptr) {
            continue;
        }
        iconv_t converter = ::iconv_open(charset, "UTF-8");
        if (converter == reinterpret_cast<iconv_t>(-1)) {
            continue;
        }
        std::string in(text);
        // An 8-bit set never needs more bytes than UTF-8 does.
        std::string out(text.size(), '\0');
        char* inPointer = in.data();
        size_t inLeft = in.size();
        char* outPointer = out.data();
        size_t outLeft = out.size();
        const bool converted = ::iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft) !=
                               static_cast<size_t>(-1);
        ::iconv_close(converter);
        out.resize(out.size() - outLeft);
        if (converted && inLeft == 0 && std::find(forms.begin(), forms.end(), out) == forms.end()) {
            forms.push_back(std::move(out));
        }
    }
    return forms;
}

std::string SystemLocale::DateSeparator() const {
    if (!installed()) {
        return {};
    }
    const char* dateFormat = ::nl_langinfo_l(D_FMT, Handle(handle_));
    if (dateFormat == nullptr) {
        return {};
    }
    return SeparatorBetween(Expand(dateFormat, {}), false);
}

std::string SystemLocale::TimeSeparator() const {
    if (!installed()) {
        return {};
    }
    const char* timeFormat = ::nl_langinfo_l(T_FMT, Handle(handle_));
    if (timeFormat == nullptr) {
        return {};
    }
    return SeparatorBetween(Expand(timeFormat, {}), true);
}

DateOrder SystemLocale::LongDateOrder() const {
    if (!installed()) {
        return DateOrder::Unknown;
    }
    // The date-and-time format is the locale's long form: it spells the month out.
    const char* longFormat = ::nl_langinfo_l(D_T_FMT, Handle(handle_));
    const char* dateFormat = ::nl_langinfo_l(D_FMT, Handle(handle_));
    if (longFormat == nullptr) {
        return DateOrder::Unknown;
    }
    std::string format = Expand(longFormat, dateFormat != nullptr ? dateFormat : "");
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        Conversion conversion = ConversionAt(format, i);
        switch (conversion.field) {
            case Field::Year:
                return DateOrder::YearMonthDay;
            case Field::Month:
                return DateOrder::MonthDayYear;
            case Field::Day:
                return DateOrder::DayMonthYear;
            default:
                break;
        }
        i = conversion.end - 1;
    }
    return DateOrder::Unknown;
}

namespace {

constexpr int64_t kSecondsPerDay = 86'400;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = (m + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + doe - 719'468;
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool SystemMakeTime(const CalendarTime& local, int64_t& out) {
    struct tm fields {};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = -1;
    // mktime leaves tm_wday alone on failure; -1 is also a valid result, so test that.
    fields.tm_wday = -1;
    time_t result = ::mktime(&fields);
    if (fields.tm_wday < 0) {
        return false;
    }
    out = static_cast<int64_t>(result);
    return true;
}

// mktime is slow (it checks the zone file on every call), and listings repeat a handful of
// days: remember, per calendar day, the offset from UTC when it is the same at both ends
// of the day. Days with a change of offset always go to the system.
struct DayOffset {
    int32_t day = INT32_MIN;  // days since 1970
    uint32_t generation = 0;
    int32_t offset = 0;  // local minus UTC, seconds
    bool uniform = false;
};

// Eleven years of distinct days: a big listing may span many, in any order.
constexpr size_t kDayCacheSize = 4096;
std::atomic<uint32_t> gOffsetGeneration{1};
thread_local std::array<DayOffset, kDayCacheSize> tDayCache;
thread_local std::array<DayOffset, kDayCacheSize> tUtcDayCache;

// The proleptic Gregorian date of a day count since 1970-01-01 (H. Hinnant's
// civil_from_days).
void CivilFromDays(int64_t days, CalendarTime& out) {
    days += 719'468;
    const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const int64_t doe = days - era * 146'097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    out.year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    out.month = static_cast<int>(month);
    out.day = static_cast<int>(day);
}

bool SystemLocalCalendar(int64_t time, CalendarTime& out) {
    time_t value = static_cast<time_t>(time);
    struct tm fields {};
    if (::localtime_r(&value, &fields) == nullptr) {
        return false;
    }
    out.year = fields.tm_year + 1900;
    out.month = fields.tm_mon + 1;
    out.day = fields.tm_mday;
    out.hour = fields.tm_hour;
    out.minute = fields.tm_min;
    out.second = fields.tm_sec;
    return true;
}

bool Valid(const CalendarTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 59 && t.year >= 1 && t.year <= 9999;
}

}  // namespace

bool LocalCalendarToTime(const CalendarTime& local, int64_t& out) {
    if (!Valid(local)) {
        return false;
    }
    const int64_t day = DaysFromCivil(local.year, local.month, local.day);
    const int64_t secondsOfDay = local.hour * 3600 + local.minute * 60 + local.second;
    const uint32_t generation = gOffsetGeneration.load(std::memory_order_relaxed);
    DayOffset& slot = tDayCache[static_cast<uint64_t>(day) % kDayCacheSize];
    if (slot.day != day || slot.generation != generation) {
        CalendarTime start = local;
        start.hour = start.minute = start.second = 0;
        CalendarTime end = local;
        end.hour = 23;
        end.minute = end.second = 59;
        int64_t startTime = 0;
        int64_t endTime = 0;
        if (!SystemMakeTime(start, startTime) || !SystemMakeTime(end, endTime)) {
            return false;
        }
        const int64_t startOffset = day * kSecondsPerDay - startTime;
        const int64_t endOffset = day * kSecondsPerDay + (kSecondsPerDay - 1) - endTime;
        slot.day = static_cast<int32_t>(day);
        slot.generation = generation;
        slot.uniform = startOffset == endOffset;
        slot.offset = static_cast<int32_t>(startOffset);
    }
    if (!slot.uniform) {
        return SystemMakeTime(local, out);
    }
    out = day * kSecondsPerDay + secondsOfDay - slot.offset;
    return true;
}

bool TimeToLocalCalendar(int64_t time, CalendarTime& out) {
    // The same per-day memory as above, by UTC day: a listing file writes millions of times.
    const int64_t utcDay = time / kSecondsPerDay - (time % kSecondsPerDay < 0 ? 1 : 0);
    if (utcDay <= INT32_MIN || utcDay > INT32_MAX) {
        return SystemLocalCalendar(time, out);
    }
    const uint32_t generation = gOffsetGeneration.load(std::memory_order_relaxed);
    DayOffset& slot = tUtcDayCache[static_cast<uint64_t>(utcDay) % kDayCacheSize];
    if (slot.day != utcDay || slot.generation != generation) {
        struct tm start {};
        struct tm end {};
        const auto first = static_cast<time_t>(utcDay * kSecondsPerDay);
        const auto last = static_cast<time_t>(first + kSecondsPerDay - 1);
        if (::localtime_r(&first, &start) == nullptr || ::localtime_r(&last, &end) == nullptr) {
            return SystemLocalCalendar(time, out);
        }
        slot.day = static_cast<int32_t>(utcDay);
        slot.generation = generation;
        slot.uniform = start.tm_gmtoff == end.tm_gmtoff;
        slot.offset = static_cast<int32_t>(start.tm_gmtoff);
    }
    if (!slot.uniform) {
        return SystemLocalCalendar(time, out);
    }
    const int64_t local = time + slot.offset;
    int64_t day = local / kSecondsPerDay;
    int64_t second = local % kSecondsPerDay;
    if (second < 0) {
        second += kSecondsPerDay;
        --day;
    }
    CivilFromDays(day, out);
    out.hour = static_cast<int>(second / 3600);
    out.minute = static_cast<int>(second / 60 % 60);
    out.second = static_cast<int>(second % 60);
    return true;
}

void ForgetLocalTimeOffsets() {
    ::tzset();
    gOffsetGeneration.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qvex::platform
