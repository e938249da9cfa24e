// Listing dates, the listing languages, the server time zone and the entry helpers.
#include "transfer/listing_date.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "engine/session_worker.h"
#include "platform/locale.h"
#include "state/time_zones.h"
#include "transfer/listing_language.h"
#include "transfer/remote_entry.h"
#include "util/format.h"

namespace qvex {
namespace {

int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    platform::CalendarTime local;
    local.year = year;
    local.month = month;
    local.day = day;
    local.hour = hour;
    local.minute = minute;
    local.second = second;
    int64_t time = 0;
    EXPECT_TRUE(platform::LocalCalendarToTime(local, time));
    return time;
}

// --- Date forms ----------------------------------------------------------------------------

struct DateRow {
    const char* text;
    bool hasYear;
    int year, month, day, hour, minute, second;
};

TEST(ParseListingDate, TheFormsListingsCarry) {
    const ListingLanguage english = defaultListingLanguage();
    const DateRow rows[] = {
        {"Jan 15 10:42 ", false, 0, 1, 15, 10, 42, 0},
        {"jan 5 9:05", false, 0, 1, 5, 9, 5, 0},
        {"DEC 31 23:59:59", false, 0, 12, 31, 23, 59, 59},
        {"Feb 29 10:00", false, 0, 2, 29, 10, 0, 0},
        {"Mar 3 2004", true, 2004, 3, 3, 0, 0, 0},
        {"Mar  3  2004  ", true, 2004, 3, 3, 0, 0, 0},
        {"Feb 29 2004", true, 2004, 2, 29, 0, 0, 0},
        {"01-15-07  03:45PM       ", true, 2007, 1, 15, 15, 45, 0},
        {"01-15-07 03:45pm", true, 2007, 1, 15, 15, 45, 0},
        {"01-15-07 03:45 PM", true, 2007, 1, 15, 15, 45, 0},
        {"01-15-07 12:00AM", true, 2007, 1, 15, 0, 0, 0},
        {"01-15-07 12:00PM", true, 2007, 1, 15, 12, 0, 0},
        {"01-15-07 11:59PM", true, 2007, 1, 15, 23, 59, 0},
        {"01-15-2007 15:45", true, 2007, 1, 15, 15, 45, 0},
        {"02-18-97  11:48  ", true, 1997, 2, 18, 11, 48, 0},
        {"1-2-69 0:00", true, 2069, 1, 2, 0, 0, 0},
        {"1-2-70 0:00", true, 1970, 1, 2, 0, 0, 0},
        {"14-JAN-1997 10:20:30  ", true, 1997, 1, 14, 10, 20, 30},
        {"4-Jan-1997 10:20:30.99", true, 1997, 1, 4, 10, 20, 30},
        {"14-JAN-1997 ", true, 1997, 1, 14, 0, 0, 0},
        {"\t14-JAN-1997\t10:20", true, 1997, 1, 14, 10, 20, 0},
    };
    for (const DateRow& row : rows) {
        SCOPED_TRACE(row.text);
        ListingDate date;
        ASSERT_TRUE(parseListingDate(row.text, english, date));
        EXPECT_EQ(date.hasYear, row.hasYear);
        if (row.hasYear) {
            EXPECT_EQ(date.year, row.year);
        }
        EXPECT_EQ(date.month, row.month);
        EXPECT_EQ(date.day, row.day);
        EXPECT_EQ(date.hour, row.hour);
        EXPECT_EQ(date.minute, row.minute);
        EXPECT_EQ(date.second, row.second);
    }
}

TEST(ParseListingDate, TextsThatAreNoDate) {
    const ListingLanguage english = defaultListingLanguage();
    const char* const texts[] = {
        "",
        "   ",
        "Jan",
        "Jan 15",
        "Jan 15 10:42 extra",
        "Jan 32 10:00",
        "Jan 0 10:00",
        "Feb 30 2004",
        "Feb 29 2005",
        "Feb 30 10:00",
        "Foo 15 10:42",
        "anf 15 10:42",  // a piece of the month string is no month
        "Jan 15 24:00",
        "Jan 15 10:60",
        "Jan 15 10:42:60",
        "Jan 15 10:4",
        "Jan 15 1:042",
        "Jan 15 10.42",
        "Jan 15 204",
        "Jan 15 20045",
        "Jan 15 10:42XM",
        "13-15-07 10:00",
        "00-15-07 10:00",
        "01-15-07",
        "01-15-007 10:00",
        "01-15-07 13:00PM",
        "01-15-07 00:30AM",
        "01.15.07 10:00",
        "01-15-07 10:00 AM PM",
        "14-XYZ-1997 10:20:30",
        "14-JAN-97 10:20:30",
        "32-JAN-1997",
        "14-JAN-1997 25:00:00",
        "14-JAN-1997 10:20:30.",
        "10:42 Jan 15",
        "\xC3\xA4 15 10:42",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        ListingDate date;
        EXPECT_FALSE(parseListingDate(text, english, date));
        EXPECT_EQ(listingDateToTime(text, english, LocalTime(2007, 3, 1, 12, 0, 0)), 0);
    }
}

TEST(ListingDateToTime, YearOfYearLessDates) {
    const ListingLanguage english = defaultListingLanguage();
    const int64_t june15 = LocalTime(2007, 6, 15, 12, 0, 0);
    EXPECT_EQ(listingDateToTime("Jun 14 08:00", english, june15), LocalTime(2007, 6, 14, 8, 0, 0));
    // 86,399 seconds ahead is kept; one day and one second ahead is last year's.
    EXPECT_EQ(listingDateToTime("Jun 16 12:00", english, june15 + 1),
              LocalTime(2007, 6, 16, 12, 0, 0));
    EXPECT_EQ(listingDateToTime("Jun 16 12:00", english, june15 - 1),
              LocalTime(2006, 6, 16, 12, 0, 0));
    // A December date read in January.
    EXPECT_EQ(listingDateToTime("Dec 30 23:00", english, LocalTime(2008, 1, 5, 9, 0, 0)),
              LocalTime(2007, 12, 30, 23, 0, 0));
    // Feb 29 without a year, in a year that has none: no time.
    EXPECT_EQ(listingDateToTime("Feb 29 10:00", english, LocalTime(2009, 1, 10, 0, 0, 0)), 0)
        << "2009 has no Feb 29";
    EXPECT_EQ(listingDateToTime("Feb 29 10:00", english, LocalTime(2008, 3, 10, 0, 0, 0)),
              LocalTime(2008, 2, 29, 10, 0, 0));
    // The rule holds for dates with a year too.
    EXPECT_EQ(listingDateToTime("Jun 20 2007", english, june15), LocalTime(2006, 6, 20, 0, 0, 0));
    EXPECT_EQ(listingDateToTime("06-20-07 10:00AM", english, june15),
              LocalTime(2006, 6, 20, 10, 0, 0));
    EXPECT_EQ(listingDateToTime("Jun 16 2007", english, june15), LocalTime(2007, 6, 16, 0, 0, 0));
    // Before 1900: nothing.
    EXPECT_EQ(listingDateToTime("Jan 1 1899", english, june15), 0);
    EXPECT_EQ(listingDateToTime("1-JAN-1900", english, june15), LocalTime(1900, 1, 1, 0, 0, 0));
    // Text beyond 95 characters is cut before it is read.
    std::string padded = "Jan 1 1999" + std::string(85, ' ');
    ASSERT_EQ(padded.size(), 95u);
    EXPECT_EQ(listingDateToTime(padded + "x", english, june15), LocalTime(1999, 1, 1, 0, 0, 0));
    EXPECT_EQ(listingDateToTime(padded.substr(1) + "x", english, june15), 0)
        << "the 95th character is read";
}

TEST(ListingDateToTime, SeparatorsOfTheLanguage) {
    ListingLanguage custom = defaultListingLanguage();
    ListingDate date;
    EXPECT_FALSE(parseListingDate("01.15.07 10.42", custom, date));
    custom.dateSeparators['.'] = true;
    EXPECT_FALSE(parseListingDate("01.15.07 10.42", custom, date));
    custom.timeSeparators['.'] = true;
    ASSERT_TRUE(parseListingDate("01.15.07 10.42", custom, date));
    EXPECT_EQ(date.hour, 10);
    EXPECT_EQ(date.minute, 42);
    // Month names come from the language, and only whole names count.
    ASSERT_TRUE(custom.setMonthNames(
        {"ene", "feb", "mar", "abr", "may", "jun", "jul", "ago", "sep", "oct", "nov", "dic"}));
    EXPECT_EQ(custom.monthString(), "enefebmarabrmayjunjulagosepoctnovdic");
    EXPECT_FALSE(parseListingDate("Jan 15 10:42", custom, date));
    ASSERT_TRUE(parseListingDate("ENE 15 10:42", custom, date));
    EXPECT_EQ(date.month, 1);
    ASSERT_TRUE(parseListingDate("15-dic-2006", custom, date));
    EXPECT_EQ(date.month, 12);
    EXPECT_FALSE(parseListingDate("nef 15 10:42", custom, date));
}

int64_t FixedClock() {
    return 1'234'567'890;
}

TEST(ListingClock, TestsCanFixNow) {
    setListingClock(&FixedClock);
    EXPECT_EQ(listingNow(), 1'234'567'890);
    setListingClock(nullptr);
    EXPECT_GT(listingNow(), 1'600'000'000);
}

// --- Server time zone ------------------------------------------------------------------------

TEST(TimeZones, CodesFollowFromTheRowTexts) {
    EXPECT_EQ(TimeZoneCodeOf("GMT+05:45 Katmandu"), 87);
    EXPECT_EQ(TimeZoneCodeOf("GMT-03:30 Newfoundland Time"), 50);
    EXPECT_EQ(TimeZoneCodeOf("GMT (UTC) Casablanca, Greenwich, Lisbon, London"), 64);
    EXPECT_EQ(TimeZoneCodeOf("Local Time (default)"), 0);
    ASSERT_EQ(kTimeZones.size(), 39u);
    EXPECT_EQ(kTimeZones.front().text, "Local Time (default)");
    EXPECT_EQ(kTimeZones.back().text, "GMT+13:00 Enderbury");
    for (const TimeZoneRow& row : kTimeZones) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(TimeZoneCodeOf(row.text), row.code);
    }
}

TEST(CompareRemoteToLocalTime, BiasesApplyToTimesOfDayOnly) {
    SessionWorker session;
    RemoteEntry entry;
    entry.time = 1'000'000;
    entry.flags = kEntryTimeValid;
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'000, session), 0);
    EXPECT_EQ(compareRemoteToLocalTime(entry, 999'999, session), 1);
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'001, session), -1);

    // A server one hour east of UTC (code 68) seen from a machine in UTC+2.
    session.serverBias = -(68 - 64) * 15 * 60;
    session.localBias = 60 * -120;
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'000 + 3600, session), 0);
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'000 + 3599, session), 1);
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'000 + 3601, session), -1);

    // A listed year: compared as listed.
    entry.flags = 0;
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'000, session), 0);
    EXPECT_EQ(compareRemoteToLocalTime(entry, 1'000'000 + 3600, session), -1);
}

// --- Languages -------------------------------------------------------------------------------

class ListingLanguageTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(loadListingLanguage(kDefaultListingLanguage)); }
};

TEST_F(ListingLanguageTest, UsEnglishIsTheDefault) {
    ASSERT_TRUE(loadListingLanguage(0));
    const ListingLanguage& tables = currentListingLanguage();
    EXPECT_EQ(tables.languageId, 1033);
    EXPECT_EQ(tables.monthString(), "janfebmaraprmayjunjulaugsepoctnovdec");
    EXPECT_TRUE(tables.isDateSeparator('-'));
    EXPECT_TRUE(tables.isDateSeparator('/'));
    EXPECT_FALSE(tables.isDateSeparator('.'));
    EXPECT_TRUE(tables.isTimeSeparator(':'));
    EXPECT_FALSE(tables.isTimeSeparator('.'));
    EXPECT_EQ(tables.monthNumberOf("Sep"), 9);
    EXPECT_EQ(tables.monthNumberOf("anf"), 0);
    EXPECT_TRUE(tables.containsMonthLetters('a', 'n', 'f'));
    EXPECT_TRUE(loadListingLanguage(1033)) << "loading the loaded language again";
    EXPECT_EQ(&currentListingLanguage(), &tables) << "nothing was replaced";
}

TEST_F(ListingLanguageTest, LocaleWithLongMonthNamesKeepsTheDefaults) {
    platform::SystemLocale finnish(1035);
    if (!finnish.installed()) {
        GTEST_SKIP() << "fi_FI.UTF-8 is not installed";
    }
    ASSERT_TRUE(loadListingLanguage(1033));
    ASSERT_TRUE(currentListingLanguage().isDateSeparator('/'));
    EXPECT_FALSE(loadListingLanguage(1035)) << "\"tammi\" has more than three characters";
    const ListingLanguage& tables = currentListingLanguage();
    EXPECT_EQ(tables.languageId, 1035) << "the id is recorded anyway";
    EXPECT_EQ(tables.monthString(), kDefaultMonthString);
    EXPECT_EQ(tables.monthNumberOf("Jan"), 1);
    EXPECT_TRUE(tables.isDateSeparator('-'));
    EXPECT_FALSE(tables.isDateSeparator('.'));
    EXPECT_FALSE(tables.isDateSeparator('/')) << "separators were reset before the failure";
    EXPECT_TRUE(tables.isTimeSeparator(':'));
    EXPECT_FALSE(isUsableListingLanguage(1035));
}

// Names of up to three characters in UTF-8, each also in other cases and in the 8-bit
// character sets of the language.
TEST_F(ListingLanguageTest, GermanTables) {
    if (!platform::SystemLocale(1031).installed()) {
        GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    }
    ASSERT_TRUE(loadListingLanguage(1031));
    const ListingLanguage& tables = currentListingLanguage();
    EXPECT_EQ(tables.monthString(), "janfebm\xC3\xA4raprmaijunjulaugsepoktnovdez");
    EXPECT_TRUE(tables.wideMonths);
    struct Row {
        const char* text;
        int month;
    };
    const Row rows[] = {
        {"M\xC3\xA4r", 3}, {"m\xC3\xA4r", 3}, {"M\xC3\x84R", 3}, {"M\xE4r", 3},    {"M\xC4R", 3},
        {"OKT", 10},       {"Dez", 12},       {"Mar", 0},        {"M\xC3\xA4", 0}, {"Mai ", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(tables.monthNumberOf(row.text), row.month);
    }
    EXPECT_TRUE(tables.containsMonthLetters('n', 'f', 'e'));
    EXPECT_TRUE(tables.isDateSeparator('.'));

    ListingLanguage custom = defaultListingLanguage();
    std::array<std::string, 12> names{"jan", "feb", "mar", "apr", "may", "jun",
                                      "jul", "aug", "sep", "oct", "nov", std::string(13, 'd')};
    EXPECT_FALSE(custom.setMonthNames(names)) << "longer than three 4-byte characters";
    EXPECT_EQ(custom.monthString(), kDefaultMonthString);
    EXPECT_FALSE(custom.wideMonths);
}

TEST_F(ListingLanguageTest, UnknownLanguage) {
    EXPECT_FALSE(loadListingLanguage(9999));
    EXPECT_EQ(currentListingLanguage().languageId, 9999);
    EXPECT_EQ(currentListingLanguage().monthString(), kDefaultMonthString);
    EXPECT_FALSE(isUsableListingLanguage(9999));
}

TEST_F(ListingLanguageTest, WhichLanguagesAreUsable) {
    struct Row {
        uint16_t id;
        bool usable;
    };
    // Requires the locales of Debian's locales-all.
    const Row rows[] = {
        {1033, true},   // Jan Feb Mar ...
        {2057, true},   // en_GB
        {1040, true},   // gen feb mar ...
        {3082, true},   // ene feb mar ...
        {1053, true},   // jan feb mar ... maj
        {1031, true},   // "Mär", "Mai", "Okt", "Dez"
        {3079, true},   // "Jän"
        {1029, true},   // "úno", "kvě", "říj"
        {1039, true},   // "maí", "nóv"
        {1055, true},   // "Şub", "Eki"
        {1049, true},   // "мар"
        {1036, false},  // "janv."
        {1035, false},  // "tammi"
        {1044, false},  // "jan."
        {1032, false},  // "Ιουν"
        {1038, false},  // year first, and "febr"
        {1063, false},  // year first
        {1041, false},  // " 1月" starts with a blank
        {2052, false},  // "1月" starts with a digit
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        if (!platform::SystemLocale(row.id).installed()) {
            GTEST_SKIP() << platform::FindLocaleRow(row.id)->localeName << " is not installed";
        }
        EXPECT_EQ(isUsableListingLanguage(row.id), row.usable);
    }
}

TEST_F(ListingLanguageTest, SpanishTables) {
    if (!platform::SystemLocale(3082).installed()) {
        GTEST_SKIP() << "es_ES.UTF-8 is not installed";
    }
    ASSERT_TRUE(loadListingLanguage(3082));
    const ListingLanguage& tables = currentListingLanguage();
    EXPECT_EQ(tables.languageId, 3082);
    EXPECT_EQ(tables.monthString(), "enefebmarabrmayjunjulagosepoctnovdic");
    EXPECT_TRUE(tables.isDateSeparator('/'));
    EXPECT_TRUE(tables.isDateSeparator('-'));
    EXPECT_TRUE(tables.isTimeSeparator(':'));
}

TEST_F(ListingLanguageTest, ChoicesStartWithTheDefault) {
    std::vector<ListingLanguageChoice> choices = listingLanguageChoices();
    ASSERT_FALSE(choices.empty());
    EXPECT_EQ(choices[0].languageId, 1033);
    EXPECT_EQ(choices[0].name, "Default (US English)");
    for (size_t i = 1; i < choices.size(); ++i) {
        SCOPED_TRACE(choices[i].name);
        EXPECT_NE(choices[i].languageId, 1033);
        EXPECT_TRUE(isUsableListingLanguage(choices[i].languageId));
        EXPECT_EQ(choices[i].name, platform::FindLocaleRow(choices[i].languageId)->languageName);
    }
    auto has = [&choices](uint16_t id) {
        return std::any_of(choices.begin(), choices.end(),
                           [id](const ListingLanguageChoice& c) { return c.languageId == id; });
    };
    EXPECT_FALSE(has(1036));
    for (uint16_t id : {uint16_t{1040}, uint16_t{1031}, uint16_t{1049}}) {
        if (platform::SystemLocale(id).installed()) {
            EXPECT_TRUE(has(id)) << id;
        }
    }
}

// --- Entries -----------------------------------------------------------------------------------

TEST(SetSizeAndTime, BothDisplayForms) {
    SetNumberSeparatorsForTesting('.', ',');
    const int64_t now = LocalTime(2007, 6, 15, 12, 0, 0);
    const int64_t recent = LocalTime(2007, 1, 5, 9, 7, 0);
    RemoteEntry entry;
    setSizeAndTime(entry, 1536, recent, now);
    EXPECT_EQ(entry.size, 1536);
    EXPECT_EQ(entry.time, recent);
    EXPECT_EQ(entry.sizeText, "1.50 KB");
    EXPECT_EQ(entry.dateText, "Jan 5 09:07");

    const int64_t limit = int64_t{4383} * 3600;
    setSizeAndTime(entry, 999, now - limit + 1, now);
    EXPECT_EQ(entry.sizeText, "999");
    EXPECT_EQ(entry.dateText.find(':') != std::string::npos, true) << entry.dateText;
    setSizeAndTime(entry, 999, now - limit, now);
    EXPECT_EQ(entry.dateText.find(':'), std::string::npos) << entry.dateText;
    EXPECT_EQ(entry.dateText.substr(entry.dateText.size() - 4), "2006");

    setSizeAndTime(entry, 0, LocalTime(2010, 12, 25, 18, 30, 0), now);
    EXPECT_EQ(entry.dateText, "Dec 25 18:30") << "a future time shows its time of day";
    setSizeAndTime(entry, -1, LocalTime(1999, 10, 31, 1, 2, 3), now);
    EXPECT_EQ(entry.sizeText, "-1");
    EXPECT_EQ(entry.dateText, "Oct 31 1999");
    setSizeAndTime(entry, 5, 0, now);
    EXPECT_EQ(entry.dateText, "") << "no time, no date";
}

TEST(RemoteEntryNames, LocalNameDirectoryArgumentDisplayName) {
    struct Row {
        const char* name;
        uint32_t flags;
        const char* linkTarget;
        const char* localName;
        const char* remoteName;
        const char* directoryArgument;
        const char* displayName;
    };
    const Row rows[] = {
        {"file.txt", 0, "", "file.txt", "file.txt", "file.txt", "file.txt"},
        {"pub", kEntryDirectory, "", "pub", "pub", "pub", "pub"},
        {"latest", kEntrySymLink, "release/1.2", "1.2", "release/1.2", "release/1.2",
         "latest -> release/1.2"},
        {"l", kEntrySymLink, "target", "target", "target", "target", "l -> target"},
        {"l", kEntrySymLink, "/abs/dir/", "l", "/abs/dir/", "/abs/dir/", "l -> /abs/dir/"},
        // Listed without " -> target": nothing is made up.
        {"dangling", kEntrySymLink, "", "dangling", "dangling", "dangling", "dangling"},
        {"README.TXT;2", kEntryVmsForm, "", "README.TXT", "README.TXT;2", "[.README.TXT;2]",
         "README.TXT;2"},
        {"PUB", kEntryVmsForm | kEntryDirectory, "", "PUB", "PUB", "[.PUB]", "PUB"},
        {"A;1;2", kEntryVmsForm, "", "A;1", "A;1;2", "[.A;1;2]", "A;1;2"},
        {"name;1", 0, "", "name;1", "name;1", "name;1", "name;1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RemoteEntry entry;
        entry.name = row.name;
        entry.flags = row.flags;
        entry.linkTarget = row.linkTarget;
        EXPECT_EQ(localNameOf(entry), row.localName);
        EXPECT_EQ(remoteNameOf(entry), row.remoteName);
        EXPECT_EQ(directoryArgument(entry), row.directoryArgument);
        EXPECT_EQ(displayName(entry), row.displayName);
    }
}

TEST(RemoteEntryRecord, FreshAndNewFolder) {
    RemoteEntry fresh;
    EXPECT_EQ(fresh.name, "");
    EXPECT_EQ(fresh.size, 0);
    EXPECT_EQ(fresh.time, 0);
    EXPECT_EQ(fresh.flags, 0u);
    EXPECT_EQ(fresh.modeAndIcon, 0u);
    RemoteEntry folder = NewFolderEntry();
    EXPECT_EQ(folder.name, "NewFolder");
    EXPECT_EQ(folder.size, -1);
    EXPECT_EQ(folder.flags, kEntryDirectory | kEntryTimeValid);
    // Destroyed through the base, as the views do.
    std::unique_ptr<ListItem> item = std::make_unique<RemoteEntry>(folder);
    EXPECT_EQ(item->name, "NewFolder");
}

}  // namespace
}  // namespace qvex
