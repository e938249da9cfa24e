#include "util/format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale>
#include <string>

namespace qvex {
namespace {

// Every test states its separators, so none depends on the machine's locale.
class FormatTest : public ::testing::Test {
  protected:
    void SetUp() override { SetNumberSeparatorsForTesting('.', ','); }
    void TearDown() override { SetNumberSeparatorsForTesting('.', ','); }
};

struct TextRow {
    const char* input;
    const char* expected;
};

TEST_F(FormatTest, LocalizeNumberInDotCommaLocale) {
    const TextRow rows[] = {
        {"123", "123"},
        {"1234", "1,234"},
        {"1234567.89", "1,234,567.89"},
        {"0.5", "0.5"},
        {"-1234", "-1,234"},
        {"-123", "-123"},
        {"999", "999"},
        {"100000", "100,000"},
        {"123456", "123,456"},
        {"1234567", "1,234,567"},
        {"12.5", "12.5"},
        {".5", ".5"},
        {"-0.5", "-0.5"},
        {"12.", "12"},
        {"1234.", "1,234"},
        {"0001234", "1,234"},
        {"0000", "0"},
        {"0.00", "0.00"},
        {"1234.000", "1,234.000"},
        // Not plain decimal numbers: returned as they came.
        {"", ""},
        {"abc", "abc"},
        {"-", "-"},
        {"-.", "-."},
        {"12a4", "12a4"},
        {"1.2.3", "1.2.3"},
        {"1e10", "1e10"},
        {"+1234", "+1234"},
        {"1 234", "1 234"},
        {"1234-", "1234-"},
        // Grouped up to 24 characters; beyond that the digits stay whole, ungrouped.
        {"-123456789012345678", "-123,456,789,012,345,678"},
        {"1234567890123456.78", "1,234,567,890,123,456.78"},
        {"12345678901234567.8", "12,345,678,901,234,567.8"},
        {"12345678901234567.89", "12345678901234567.89"},
        {"1234567890123456789", "1234567890123456789"},
        {"123456789012345678901234567890123456789012345678901234567890",
         "123456789012345678901234567890123456789012345678901234567890"},
        {"1234567890123456789012345678901234567890123456789x",
         "1234567890123456789012345678901234567890123456789x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(LocalizeNumber(row.input), row.expected);
    }
}

TEST_F(FormatTest, LocalizeNumberInCommaDotLocale) {
    SetNumberSeparatorsForTesting(',', '.');
    const TextRow rows[] = {
        {"123", "123"},   {"1234", "1.234"},  {"1234567.89", "1.234.567,89"},
        {"0.5", "0,5"},   {".5", ",5"},       {"-1234", "-1.234"},
        {"12.5", "12,5"}, {"1.2.3", "1.2.3"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(LocalizeNumber(row.input), row.expected);
    }
}

TEST_F(FormatTest, LocalizeNumberWithSpaceGrouping) {
    SetNumberSeparatorsForTesting(',', ' ');
    EXPECT_EQ(LocalizeNumber("1234567.89"), "1 234 567,89");
    EXPECT_EQ(FormatSize(1536, kSizeWithBytes), "1,50 KB (1 536 bytes)");
}

struct CountRow {
    int64_t n;
    const char* expected;
};

TEST_F(FormatTest, FormatCount) {
    const CountRow rows[] = {
        {0, "0"},
        {7, "7"},
        {-7, "-7"},
        {999, "999"},
        {-999, "-999"},
        {1000, "1,000"},
        {-1000, "-1,000"},
        {1234567, "1,234,567"},
        {99'999'999'999, "99,999,999,999"},
        {999'999'999'999'999'999, "999,999,999,999,999,999"},
        {-999'999'999'999'999'999, "-999,999,999,999,999,999"},
        // 25 and 26 characters when grouped: shown whole rather than cut.
        {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.n);
        EXPECT_EQ(FormatCount(row.n), row.expected);
    }
}

struct SizeRow {
    int64_t bytes;
    int style;
    const char* expected;
};

TEST_F(FormatTest, FormatSize) {
    const SizeRow rows[] = {
        {0, kSizePlain, "0"},
        {0, kSizeWithUnit, "0 bytes"},
        {0, kSizeWithBytes, "0 bytes"},
        {999, kSizePlain, "999"},
        {999, kSizeWithUnit, "999 bytes"},
        {999, kSizeWithBytes, "999 bytes"},
        // Negative counts: plain digits with their minus, never a unit or grouping.
        {-1, kSizePlain, "-1"},
        {-1, kSizeWithUnit, "-1 bytes"},
        {-5000, kSizeWithUnit, "-5000 bytes"},
        {-5'000'000'000, kSizeWithBytes, "-5000000000 bytes"},
        {INT64_MIN, kSizeWithBytes, "-9223372036854775808 bytes"},
        {INT64_MIN, kSizePlain, "-9223372036854775808"},
        // Kilobytes from 1000 on, divided by 1024.
        {1000, kSizeWithUnit, "0.98 KB"},
        {1000, kSizeWithBytes, "0.98 KB (1,000 bytes)"},
        {1000, kSizePlain, "0.98 KB"},
        {1536, kSizePlain, "1.50 KB"},
        {1536, kSizeWithUnit, "1.50 KB"},
        {1536, kSizeWithBytes, "1.50 KB (1,536 bytes)"},
        // Decimals chosen from the unrounded value: 9.9951 takes two and rounds up.
        {10234, kSizeWithUnit, "9.99 KB"},
        {10235, kSizeWithUnit, "10.00 KB"},
        {10240, kSizeWithUnit, "10.0 KB"},
        {102348, kSizeWithUnit, "99.9 KB"},
        {102349, kSizeWithUnit, "100.0 KB"},
        {102400, kSizeWithUnit, "100 KB"},
        {999'999, kSizeWithUnit, "977 KB"},
        {999'999, kSizeWithBytes, "977 KB (999,999 bytes)"},
        // Megabytes from 1,000,000 on, before the value reaches 1024 KB.
        {1'000'000, kSizeWithUnit, "0.95 MB"},
        {1'048'575, kSizeWithUnit, "1.00 MB"},
        {1'572'864, kSizeWithBytes, "1.50 MB (1,572,864 bytes)"},
        {10'485'759, kSizeWithUnit, "10.00 MB"},
        {10'485'760, kSizeWithUnit, "10.0 MB"},
        {104'857'599, kSizeWithUnit, "100.0 MB"},
        {104'857'600, kSizeWithUnit, "100 MB"},
        {123'456'789, kSizeWithUnit, "118 MB"},
        {999'999'999, kSizeWithUnit, "954 MB"},
        // Gigabytes from 1,000,000,000 on, and no larger unit.
        {1'000'000'000, kSizeWithUnit, "0.93 GB"},
        {2'500'000'000, kSizeWithUnit, "2.33 GB"},
        {10'737'418'239, kSizeWithUnit, "10.00 GB"},
        {10'737'418'240, kSizeWithUnit, "10.0 GB"},
        {107'374'182'400, kSizeWithUnit, "100 GB"},
        {1'099'511'627'776, kSizeWithUnit, "1,024 GB"},
        {1'099'511'627'776, kSizeWithBytes, "1,024 GB (1,099,511,627,776 bytes)"},
        {999'999'999'999'999'999, kSizeWithBytes, "931,322,575 GB (999,999,999,999,999,999 bytes)"},
        {1'000'000'000'000'000'000, kSizeWithBytes, "931,322,575 GB (1000000000000000000 bytes)"},
        {INT64_MAX, kSizeWithUnit, "8,589,934,592 GB"},
        {INT64_MAX, kSizeWithBytes, "8,589,934,592 GB (9223372036854775807 bytes)"},
        // A style the callers never pass reads like style 1.
        {999, 7, "999 bytes"},
        {1536, 7, "1.50 KB"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.bytes << " style " << row.style);
        EXPECT_EQ(FormatSize(row.bytes, row.style), row.expected);
    }
}

TEST_F(FormatTest, FormatSizeInCommaDotLocale) {
    SetNumberSeparatorsForTesting(',', '.');
    const SizeRow rows[] = {
        {999, kSizeWithUnit, "999 bytes"},
        {-5000, kSizeWithUnit, "-5000 bytes"},
        {1000, kSizeWithUnit, "0,98 KB"},
        {1536, kSizeWithBytes, "1,50 KB (1.536 bytes)"},
        {123'456'789, kSizeWithBytes, "118 MB (123.456.789 bytes)"},
        {1'099'511'627'776, kSizeWithUnit, "1.024 GB"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.bytes << " style " << row.style);
        EXPECT_EQ(FormatSize(row.bytes, row.style), row.expected);
    }
}

struct RateRow {
    double bytesPerMillisecond;
    int style;
    const char* expected;
};

TEST_F(FormatTest, FormatRate) {
    const double inf = std::numeric_limits<double>::infinity();
    const RateRow rows[] = {
        {0.0, kSizeWithUnit, "0 bytes/s"},
        {0.512, kSizeWithUnit, "512 bytes/s"},
        {0.512, kSizePlain, "512/s"},
        {365.568, kSizeWithUnit, "357 KB/s"},
        // Rounded to the nearest byte per second.
        {0.0004, kSizeWithUnit, "0 bytes/s"},
        {0.0005, kSizeWithUnit, "1 bytes/s"},
        {0.9994, kSizeWithUnit, "999 bytes/s"},
        {1.0, kSizeWithUnit, "0.98 KB/s"},
        {1.536, kSizeWithBytes, "1.50 KB (1,536 bytes)/s"},
        {5000.0, kSizeWithUnit, "4.77 MB/s"},
        // Out of range: clamped to the 64-bit limits, never converted unchecked.
        {1e300, kSizeWithUnit, "8,589,934,592 GB/s"},
        {inf, kSizeWithUnit, "8,589,934,592 GB/s"},
        {9.3e15, kSizeWithBytes, "8,589,934,592 GB (9223372036854775807 bytes)/s"},
        {-0.25, kSizeWithUnit, "-249 bytes/s"},
        {-1e300, kSizeWithUnit, "-9223372036854775808 bytes/s"},
        {-inf, kSizeWithUnit, "-9223372036854775808 bytes/s"},
        {std::nan(""), kSizeWithUnit, "*/s"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.bytesPerMillisecond << " style " << row.style);
        EXPECT_EQ(FormatRate(row.bytesPerMillisecond, row.style), row.expected);
    }
}

struct DurationRow {
    int64_t ms;
    unsigned flags;
    const char* expected;
};

TEST_F(FormatTest, FormatDuration) {
    const DurationRow rows[] = {
        {0, 0, "0"},
        {0, 1, "0.00"},
        {0, 2, "00:00:00"},
        {0, 3, "00:00:00.00"},
        // Whole seconds round half up; hundredths carry into the seconds.
        {499, 0, "0"},
        {500, 0, "1"},
        {4, 1, "0.00"},
        {5, 1, "0.01"},
        {994, 1, "0.99"},
        {995, 1, "1.00"},
        {5250, 1, "5.25"},
        {59'499, 0, "59"},
        {59'500, 0, "1:00"},
        {59'999, 1, "1:00.00"},
        {61'500, 1, "1:01.50"},
        {61'500, 0, "1:02"},
        {999'996, 1, "16:40.00"},
        {3'599'499, 0, "59:59"},
        {3'599'500, 0, "1:00:00"},
        {3'600'000, 0, "1:00:00"},
        {3'723'450, 0, "1:02:03"},
        {3'723'450, 1, "1:02:03.45"},
        {3'723'450, 2, "01:02:03"},
        {3'723'450, 3, "01:02:03.45"},
        {5000, 2, "00:00:05"},
        {86'399'999, 1, "24:00:00.00"},
        {360'000'000, 0, "100:00:00"},
        {360'000'000, 2, "100:00:00"},
        {INT64_MAX, 1, "2562047788015:12:55.81"},
        // Negative durations: the magnitude with a minus, none when it rounds to zero.
        {-61'500, 1, "-1:01.50"},
        {-61'500, 0, "-1:02"},
        {-5000, 2, "-00:00:05"},
        {-499, 0, "0"},
        {-500, 0, "-1"},
        {-4, 1, "0.00"},
        {-5, 1, "-0.01"},
        {INT64_MIN, 0, "-2562047788015:12:56"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.ms << " flags " << row.flags);
        EXPECT_EQ(FormatDuration(row.ms, row.flags), row.expected);
    }
}

TEST_F(FormatTest, FormatDurationIgnoresLocaleSeparators) {
    SetNumberSeparatorsForTesting(',', '.');
    EXPECT_EQ(FormatDuration(61'500, kDurationHundredths), "1:01.50");
    EXPECT_EQ(FormatDuration(3'600'000'000, 0), "1000:00:00");
}

TEST_F(FormatTest, TransferSummaryPieces) {
    // ... received 1.50 MB (1,572,864 bytes) in 3.52 (436 KB/s)
    const int64_t bytes = 1'572'864;
    const int64_t elapsed = 3520;
    EXPECT_EQ(
        FormatSize(bytes, kSizeWithBytes) + " in " + FormatDuration(elapsed, kDurationHundredths) +
            " (" +
            FormatRate(static_cast<double>(bytes) / static_cast<double>(elapsed), kSizeWithUnit) +
            ")",
        "1.50 MB (1,572,864 bytes) in 3.52 (436 KB/s)");
}

struct PickRow {
    wchar_t decimal;
    wchar_t thousands;
    bool grouped;
    char expectedDecimal;
    char expectedThousands;
};

TEST(NumberSeparators, PickedFromLocaleCharacters) {
    const PickRow rows[] = {
        {L'.', L',', true, '.', ','},       // en_US
        {L',', L'.', true, ',', '.'},       // de_DE
        {L'.', L',', false, '.', ','},      // C: no grouping
        {L',', L'\u202f', true, ',', ' '},  // fr_FR: narrow no-break space
        {L',', L'\u00a0', true, ',', ' '},  // no-break space
        {L',', L' ', true, ',', ' '},
        {L'.', L'\u2019', true, '.', '\''},  // de_CH: typographic apostrophe
        {L'.', L'\'', true, '.', '\''},
        {L'\u066b', L'\u066c', true, '.', ' '},  // Arabic separators
        {L'\0', L'\0', false, '.', ','},
        {L',', L'\0', false, ',', '.'},  // no grouping given, "," taken by the point
        {L',', L',', false, ',', '.'},
        {L'.', L'.', true, '.', ','},
        {L'5', L'7', true, '.', ','},  // digits would make numbers unreadable
        {L'-', L'\t', true, '.', ','},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << static_cast<unsigned>(row.decimal) << " "
                                          << static_cast<unsigned>(row.thousands));
        NumberSeparators picked = PickNumberSeparators(row.decimal, row.thousands, row.grouped);
        EXPECT_EQ(picked.decimal, row.expectedDecimal);
        EXPECT_EQ(picked.thousands, row.expectedThousands);
    }
}

// The separators are read once per process, so each locale is tried in a fresh process
// (the "threadsafe" death-test style re-runs this test alone). The child exits with 0 only
// when it rendered the expected texts; an uncaught exception would end it otherwise.
void ExpectLocaleRendering(const char* locale, const std::string& expectedNumber,
                           const std::string& expectedSize) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::setenv("LC_ALL", locale, 1);
            const std::string number = LocalizeNumber("1234567.5");
            const std::string size = FormatSize(1536, kSizeWithBytes);
            const bool same = number == expectedNumber && size == expectedSize;
            std::fprintf(stderr, "got [%s] [%s]\n", number.c_str(), size.c_str());
            std::fflush(stderr);
            std::_Exit(same ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), ::testing::_);
}

bool LocaleAvailable(const char* name) {
    try {
        std::locale probe(name);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

TEST(NumberSeparatorsFromEnvironment, UnknownLocaleFallsBackToDotAndComma) {
    ExpectLocaleRendering("xx_XX.no-such-charset", "1,234,567.5", "1.50 KB (1,536 bytes)");
}

TEST(NumberSeparatorsFromEnvironment, CLocaleGroupsWithComma) {
    ExpectLocaleRendering("C", "1,234,567.5", "1.50 KB (1,536 bytes)");
}

struct LocaleRow {
    const char* locale;
    const char* expectedNumber;
    const char* expectedSize;
};

// Runs only for the locales this machine has (LOCPATH is honoured).
TEST(NumberSeparatorsFromEnvironment, InstalledLocales) {
    const LocaleRow rows[] = {
        {"de_DE.UTF-8", "1.234.567,5", "1,50 KB (1.536 bytes)"},
        {"fr_FR.UTF-8", "1 234 567,5", "1,50 KB (1 536 bytes)"},
        {"de_CH.UTF-8", "1'234'567.5", "1.50 KB (1'536 bytes)"},
        {"en_US.UTF-8", "1,234,567.5", "1.50 KB (1,536 bytes)"},
    };
    int tried = 0;
    for (const auto& row : rows) {
        if (!LocaleAvailable(row.locale)) {
            continue;
        }
        SCOPED_TRACE(row.locale);
        ++tried;
        ExpectLocaleRendering(row.locale, row.expectedNumber, row.expectedSize);
    }
    if (tried == 0) {
        GTEST_SKIP() << "none of the locales is installed";
    }
}

}  // namespace
}  // namespace qvex
