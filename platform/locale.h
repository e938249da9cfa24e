#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvex::platform {

// A Windows language identifier (1033 = US English) and the system locale that stands for it.
struct LocaleRow {
    uint16_t languageId;
    const char* localeName;    // "de_DE.UTF-8"
    const char* languageName;  // "German (Germany)"
    // The 8-bit character sets servers of the language write, when not UTF-8: the Windows
    // code page and the Unix one ("CP1250", "ISO-8859-2"); null for languages without one.
    const char* windowsCharset;
    const char* unixCharset;
};

// Every language the program can offer, US English first.
[[nodiscard]] std::span<const LocaleRow> LocaleTable();
// The row of a language, or nullptr.
[[nodiscard]] const LocaleRow* FindLocaleRow(uint16_t languageId);

// How a locale orders day, month and year in a long date.
enum class DateOrder {
    MonthDayYear,
    DayMonthYear,
    YearMonthDay,
    Unknown,
};

// The date and time conventions of one installed locale, as the locale itself defines them
// (the user's own overrides from the environment play no part).
class SystemLocale {
  public:
    explicit SystemLocale(uint16_t languageId);
    SystemLocale(const SystemLocale&) = delete;
    SystemLocale& operator=(const SystemLocale&) = delete;
    ~SystemLocale();

    // False when the language has no row or the system cannot load its locale.
    [[nodiscard]] bool installed() const { return handle_ != nullptr; }
    // The abbreviated name of a month (1-12) in UTF-8, empty when unavailable.
    [[nodiscard]] std::string AbbreviatedMonth(int month) const;
    // UTF-8 text in lower or in upper case by the locale's rules ("Şub": "şub", "ŞUB" in Turkish);
    // empty when the text is not valid UTF-8.
    [[nodiscard]] std::string LowerCase(std::string_view text) const;
    [[nodiscard]] std::string UpperCase(std::string_view text) const;
    // UTF-8 text in the language's Windows and Unix 8-bit character sets, each once; a set
    // that cannot hold the text gives nothing.
    [[nodiscard]] std::vector<std::string> EightBitForms(std::string_view text) const;
    // The characters between day, month and year of a short date ("/", ".", "-", ". ").
    [[nodiscard]] std::string DateSeparator() const;
    // The characters between hours and minutes (":", ".").
    [[nodiscard]] std::string TimeSeparator() const;
    [[nodiscard]] DateOrder LongDateOrder() const;

  private:
    [[nodiscard]] std::string MapCase(std::string_view text, bool upper) const;

    const LocaleRow* row_ = nullptr;
    std::shared_ptr<void> handle_;
};

// A local wall-clock time.
struct CalendarTime {
    int year = 1970;
    int month = 1;  // 1-12
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Seconds since 1970 of a wall-clock time of this machine's time zone, daylight saving
// decided by the system. False for fields out of range (Feb 30, 24:00, year 0) and when
// the system cannot convert the time.
[[nodiscard]] bool LocalCalendarToTime(const CalendarTime& local, int64_t& out);
// The wall-clock time of this machine's zone at a moment. False when out of range.
[[nodiscard]] bool TimeToLocalCalendar(int64_t time, CalendarTime& out);
// The conversions remember each day's offset from UTC; a change of the time zone while the
// program runs takes effect after this.
void ForgetLocalTimeOffsets();

}  // namespace qvex::platform
