#include "platform/locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

namespace qvex::platform {
namespace {

TEST(LocaleTable, UsEnglishFirstAndEveryIdOnce) {
    auto table = LocaleTable();
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(table[0].languageId, 1033);
    std::set<uint16_t> ids;
    for (const LocaleRow& row : table) {
        SCOPED_TRACE(row.languageName);
        EXPECT_TRUE(ids.insert(row.languageId).second) << "listed twice";
        EXPECT_EQ(std::string(row.localeName).find(".UTF-8"),
                  std::string(row.localeName).size() - 6);
    }
    for (int id : {1031, 1036, 1040, 1034, 3082, 1043, 1053, 1044, 1030, 1035, 1045, 1029, 1038,
                   1049, 1046, 2070, 1055, 1032}) {
        EXPECT_NE(FindLocaleRow(static_cast<uint16_t>(id)), nullptr) << id;
    }
    EXPECT_STREQ(FindLocaleRow(1031)->localeName, "de_DE.UTF-8");
    EXPECT_STREQ(FindLocaleRow(2070)->localeName, "pt_PT.UTF-8");
    EXPECT_EQ(FindLocaleRow(9999), nullptr);
}

TEST(SystemLocale, UsEnglish) {
    SystemLocale english(1033);
    ASSERT_TRUE(english.installed()) << "US English falls back to the C locale";
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int month = 1; month <= 12; ++month) {
        EXPECT_EQ(english.AbbreviatedMonth(month), months[month - 1]);
    }
    EXPECT_EQ(english.AbbreviatedMonth(0), "");
    EXPECT_EQ(english.AbbreviatedMonth(13), "");
    EXPECT_EQ(english.DateSeparator(), "/");
    EXPECT_EQ(english.TimeSeparator(), ":");
    EXPECT_NE(english.LongDateOrder(), DateOrder::YearMonthDay);
}

TEST(SystemLocale, ConventionsOfOtherLocales) {
    struct Row {
        uint16_t id;
        int month;
        const char* monthName;
        const char* dateSeparator;
        const char* timeSeparator;
        DateOrder order;
    };
    // Values of glibc's locale data (Debian's locales-all).
    const Row rows[] = {
        {1031, 3, "M\xC3\xA4r", ".", ":", DateOrder::DayMonthYear},
        {1036, 1, "janv.", "/", ":", DateOrder::DayMonthYear},
        {3082, 1, "ene", "/", ":", DateOrder::DayMonthYear},
        {1053, 5, "maj", "-", ":", DateOrder::DayMonthYear},
        {1035, 1, "tammi", ".", ".", DateOrder::DayMonthYear},
        {1044, 1, "jan.", ". ", ".", DateOrder::DayMonthYear},
        {1038, 2, "febr", "-", ":", DateOrder::YearMonthDay},
        {1041, 1, " 1\xE6\x9C\x88", "\xE5\xB9\xB4", "\xE6\x99\x82", DateOrder::YearMonthDay},
    };
    for (const Row& row : rows) {
        SystemLocale locale(row.id);
        SCOPED_TRACE(FindLocaleRow(row.id)->localeName);
        if (!locale.installed()) {
            GTEST_SKIP() << FindLocaleRow(row.id)->localeName << " is not installed";
        }
        EXPECT_EQ(locale.AbbreviatedMonth(row.month), row.monthName);
        EXPECT_EQ(locale.DateSeparator(), row.dateSeparator);
        EXPECT_EQ(locale.TimeSeparator(), row.timeSeparator);
        EXPECT_EQ(locale.LongDateOrder(), row.order);
    }
}

// What servers of a language may write a month name as: other cases, 8-bit character sets.
TEST(SystemLocale, CaseAndEightBitForms) {
    struct Row {
        uint16_t id;
        const char* text;
        const char* lower;
        const char* upper;
        std::vector<std::string> eightBit;  // Windows code page, then the Unix set
    };
    const Row rows[] = {
        {1055, "\xC5\x9Eub", "\xC5\x9Fub", "\xC5\x9EUB", {"\xDEub"}},
        {1031, "M\xC3\xA4r", "m\xC3\xA4r", "M\xC3\x84R", {"M\xE4r"}},
        {1029, "\xC3\xBAno", "\xC3\xBAno", "\xC3\x9ANO", {"\xFAno"}},
        {1045, "pa\xC5\xBA", "pa\xC5\xBA", "PA\xC5\xB9", {"pa\x9F", "pa\xBC"}},
        {1049,
         "\xD0\xBC\xD0\xB0\xD1\x80",
         "\xD0\xBC\xD0\xB0\xD1\x80",
         "\xD0\x9C\xD0\x90\xD0\xA0",
         {"\xEC\xE0\xF0", "\xCD\xC1\xD2"}},
        // No 8-bit set holds it.
        {1031, "\xD0\xBC", "\xD0\xBC", "\xD0\x9C", {}},
        {1041, "1\xE6\x9C\x88", "1\xE6\x9C\x88", "1\xE6\x9C\x88", {}},
        // Not UTF-8.
        {1031, "M\xE4r", "", "", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        SystemLocale locale(row.id);
        if (!locale.installed()) {
            GTEST_SKIP() << FindLocaleRow(row.id)->localeName << " is not installed";
        }
        EXPECT_EQ(locale.LowerCase(row.text), row.lower);
        EXPECT_EQ(locale.UpperCase(row.text), row.upper);
        EXPECT_EQ(locale.EightBitForms(row.text), row.eightBit);
    }
}

TEST(SystemLocale, UnknownLanguage) {
    SystemLocale unknown(9999);
    EXPECT_FALSE(unknown.installed());
    EXPECT_EQ(unknown.AbbreviatedMonth(1), "");
    EXPECT_EQ(unknown.DateSeparator(), "");
    EXPECT_EQ(unknown.TimeSeparator(), "");
    EXPECT_EQ(unknown.LongDateOrder(), DateOrder::Unknown);
    EXPECT_EQ(unknown.UpperCase("a"), "");
    EXPECT_TRUE(unknown.EightBitForms("a").empty());
}

// Runs with a time zone given as a POSIX rule, so no zone files are needed.
class LocalTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* saved = std::getenv("TZ");
        hadZone_ = saved != nullptr;
        savedZone_ = hadZone_ ? saved : "";
        UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    }
    void TearDown() override {
        if (hadZone_) {
            ::setenv("TZ", savedZone_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ForgetLocalTimeOffsets();
    }
    static void UseZone(const char* zone) {
        ::setenv("TZ", zone, 1);
        ForgetLocalTimeOffsets();
    }
    static int64_t Convert(int year, int month, int day, int hour, int minute, int second) {
        CalendarTime local{year, month, day, hour, minute, second};
        int64_t time = 0;
        EXPECT_TRUE(LocalCalendarToTime(local, time));
        return time;
    }

  private:
    bool hadZone_ = false;
    std::string savedZone_;
};

TEST_F(LocalTimeTest, WinterSummerAndTheChanges) {
    EXPECT_EQ(Convert(2007, 1, 15, 12, 0, 0), 1168858800);  // 11:00 UTC
    EXPECT_EQ(Convert(2007, 7, 1, 12, 0, 0), 1183284000);   // 10:00 UTC
    // The day clocks go forward at 02:00 and the day they go back at 03:00.
    EXPECT_EQ(Convert(2007, 3, 25, 1, 30, 0), 1174782600);
    EXPECT_EQ(Convert(2007, 3, 25, 3, 30, 0), 1174786200);
    EXPECT_EQ(Convert(2007, 10, 28, 1, 0, 0), 1193526000);
    EXPECT_EQ(Convert(2007, 10, 28, 4, 0, 0), 1193540400);
    UseZone("UTC0");
    EXPECT_EQ(Convert(2007, 1, 15, 12, 0, 0), 1168862400) << "a new zone after forgetting";
}

TEST_F(LocalTimeTest, SameAsTheSystemEveryHourOfAYear) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int day = 0; day < 366; ++day) {
            for (int hour = 0; hour < 24; ++hour) {
                struct tm fields {};
                fields.tm_year = 2008 - 1900;
                fields.tm_mon = 0;
                fields.tm_mday = 1 + day;
                fields.tm_hour = hour;
                fields.tm_min = 17 * pass;
                fields.tm_isdst = -1;
                ::mktime(&fields);
                // mktime normalised the day of the year into a calendar date.
                CalendarTime local{
                    fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, hour, 17 * pass, 59};
                struct tm again {};
                again.tm_year = local.year - 1900;
                again.tm_mon = local.month - 1;
                again.tm_mday = local.day;
                again.tm_hour = local.hour;
                again.tm_min = local.minute;
                again.tm_sec = local.second;
                again.tm_isdst = -1;
                const int64_t expected = static_cast<int64_t>(::mktime(&again));
                int64_t actual = 0;
                ASSERT_TRUE(LocalCalendarToTime(local, actual));
                ASSERT_EQ(actual, expected)
                    << local.year << "-" << local.month << "-" << local.day << " " << local.hour;
                CalendarTime back;
                ASSERT_TRUE(TimeToLocalCalendar(actual, back));
                if (again.tm_hour == hour) {
                    EXPECT_EQ(back.day, local.day);
                    EXPECT_EQ(back.hour, local.hour);
                    EXPECT_EQ(back.minute, local.minute);
                    EXPECT_EQ(back.second, 59);
                }
            }
        }
    }
}

TEST_F(LocalTimeTest, FieldsOutOfRange) {
    int64_t time = 0;
    for (const CalendarTime& bad :
         {CalendarTime{2007, 2, 29, 0, 0, 0}, CalendarTime{2007, 13, 1, 0, 0, 0},
          CalendarTime{2007, 0, 1, 0, 0, 0}, CalendarTime{2007, 1, 0, 0, 0, 0},
          CalendarTime{2007, 1, 1, 24, 0, 0}, CalendarTime{2007, 1, 1, 0, 60, 0},
          CalendarTime{2007, 1, 1, 0, 0, 60}, CalendarTime{0, 1, 1, 0, 0, 0}}) {
        SCOPED_TRACE(bad.month);
        EXPECT_FALSE(LocalCalendarToTime(bad, time));
    }
    CalendarTime leap{2008, 2, 29, 0, 0, 0};
    EXPECT_TRUE(LocalCalendarToTime(leap, time));
    CalendarTime out;
    EXPECT_FALSE(TimeToLocalCalendar(INT64_MAX, out));
    ASSERT_TRUE(TimeToLocalCalendar(1168858800, out));
    EXPECT_EQ(out.year, 2007);
    EXPECT_EQ(out.month, 1);
    EXPECT_EQ(out.day, 15);
    EXPECT_EQ(out.hour, 12);
}

}  // namespace
}  // namespace qvex::platform
