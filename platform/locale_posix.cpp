#include "platform/locale.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <array>
#include <atomic>
#include <string_view>

namespace qvex::platform {

namespace {

// Windows language identifiers and the glibc locales that carry the same conventions.
constexpr std::array<LocaleRow, 58> kLocaleTable = {{
    {1033, "en_US.UTF-8", "English (United States)"},
    {2057, "en_GB.UTF-8", "English (United Kingdom)"},
    {3081, "en_AU.UTF-8", "English (Australia)"},
    {4105, "en_CA.UTF-8", "English (Canada)"},
    {5129, "en_NZ.UTF-8", "English (New Zealand)"},
    {6153, "en_IE.UTF-8", "English (Ireland)"},
    {7177, "en_ZA.UTF-8", "English (South Africa)"},
    {1031, "de_DE.UTF-8", "German (Germany)"},
    {3079, "de_AT.UTF-8", "German (Austria)"},
    {2055, "de_CH.UTF-8", "German (Switzerland)"},
    {1036, "fr_FR.UTF-8", "French (France)"},
    {2060, "fr_BE.UTF-8", "French (Belgium)"},
    {3084, "fr_CA.UTF-8", "French (Canada)"},
    {4108, "fr_CH.UTF-8", "French (Switzerland)"},
    {1040, "it_IT.UTF-8", "Italian (Italy)"},
    {2064, "it_CH.UTF-8", "Italian (Switzerland)"},
    {1034, "es_ES.UTF-8", "Spanish (Spain, Traditional Sort)"},
    {3082, "es_ES.UTF-8", "Spanish (Spain, International Sort)"},
    {2058, "es_MX.UTF-8", "Spanish (Mexico)"},
    {1043, "nl_NL.UTF-8", "Dutch (Netherlands)"},
    {2067, "nl_BE.UTF-8", "Dutch (Belgium)"},
    {1053, "sv_SE.UTF-8", "Swedish (Sweden)"},
    {1044, "nb_NO.UTF-8", "Norwegian, Bokmal (Norway)"},
    {2068, "nn_NO.UTF-8", "Norwegian, Nynorsk (Norway)"},
    {1030, "da_DK.UTF-8", "Danish (Denmark)"},
    {1035, "fi_FI.UTF-8", "Finnish (Finland)"},
    {1039, "is_IS.UTF-8", "Icelandic (Iceland)"},
    {1080, "fo_FO.UTF-8", "Faroese (Faroe Islands)"},
    {1045, "pl_PL.UTF-8", "Polish (Poland)"},
    {1029, "cs_CZ.UTF-8", "Czech (Czech Republic)"},
    {1051, "sk_SK.UTF-8", "Slovak (Slovakia)"},
    {1060, "sl_SI.UTF-8", "Slovenian (Slovenia)"},
    {1050, "hr_HR.UTF-8", "Croatian (Croatia)"},
    {1038, "hu_HU.UTF-8", "Hungarian (Hungary)"},
    {1048, "ro_RO.UTF-8", "Romanian (Romania)"},
    {1026, "bg_BG.UTF-8", "Bulgarian (Bulgaria)"},
    {1049, "ru_RU.UTF-8", "Russian (Russia)"},
    {1058, "uk_UA.UTF-8", "Ukrainian (Ukraine)"},
    {1062, "lv_LV.UTF-8", "Latvian (Latvia)"},
    {1063, "lt_LT.UTF-8", "Lithuanian (Lithuania)"},
    {1061, "et_EE.UTF-8", "Estonian (Estonia)"},
    {1046, "pt_BR.UTF-8", "Portuguese (Brazil)"},
    {2070, "pt_PT.UTF-8", "Portuguese (Portugal)"},
    {1027, "ca_ES.UTF-8", "Catalan (Catalan)"},
    {1069, "eu_ES.UTF-8", "Basque (Basque)"},
    {1110, "gl_ES.UTF-8", "Galician (Galician)"},
    {1055, "tr_TR.UTF-8", "Turkish (Turkey)"},
    {1032, "el_GR.UTF-8", "Greek (Greece)"},
    {1052, "sq_AL.UTF-8", "Albanian (Albania)"},
    {1078, "af_ZA.UTF-8", "Afrikaans (South Africa)"},
    {1077, "zu_ZA.UTF-8", "isiZulu (South Africa)"},
    {1057, "id_ID.UTF-8", "Indonesian (Indonesia)"},
    {1086, "ms_MY.UTF-8", "Malay (Malaysia)"},
    {1124, "fil_PH.UTF-8", "Filipino (Philippines)"},
    {1041, "ja_JP.UTF-8", "Japanese (Japan)"},
    {1042, "ko_KR.UTF-8", "Korean (Korea)"},
    {2052, "zh_CN.UTF-8", "Chinese (PRC)"},
    {1028, "zh_TW.UTF-8", "Chinese (Taiwan)"},
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

SystemLocale::SystemLocale(uint16_t languageId) {
    const LocaleRow* row = FindLocaleRow(languageId);
    if (row == nullptr) {
        return;
    }
    locale_t handle = ::newlocale(LC_TIME_MASK, row->localeName, static_cast<locale_t>(0));
    // US English is the program's default, so a system without its locale still has it:
    // the C locale has the same month names, separators and order.
    if (handle == static_cast<locale_t>(0) && languageId == kUsEnglish) {
        handle = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
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

constexpr size_t kDayCacheSize = 512;
std::atomic<uint32_t> gOffsetGeneration{1};
thread_local std::array<DayOffset, kDayCacheSize> tDayCache;

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

void ForgetLocalTimeOffsets() {
    ::tzset();
    gOffsetGeneration.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qvex::platform
