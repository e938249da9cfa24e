// Listing lines of the four forms, one table row per line. To add a case, add a row to
// kParsedLines (a line that gives an entry) or kIgnoredLines (a line that gives none).
#include "transfer/listing_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/locale.h"
#include "transfer/entry_types.h"
#include "transfer/listing_date.h"
#include "transfer/listing_language.h"
#include "util/format.h"

namespace qvex {
namespace {

enum class Kind {
    File,
    Directory,
    SymLink,
    VmsFile,
    VmsDirectory,
};

constexpr int kNoMode = -1;

struct ParsedRow {
    const char* line;
    const char* name;
    Kind kind;
    int64_t size;
    bool timeValid;
    int mode;  // kNoMode: the line gave no permission bits
    const char* linkTarget;
    const char* dateText;  // as shown, with "now" at kNow
};

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

// Every row is read on 1 March 2007 at noon.
int64_t Now() {
    return LocalTime(2007, 3, 1, 12, 0, 0);
}

const ParsedRow kParsedLines[] = {
    // Unix, as ls -l writes it (vsftpd, pyftpdlib, ProFTPD).
    {"-rw-r--r--   1 ftp  ftp   1234 Jan 15 10:42 read me.txt", "read me.txt", Kind::File, 1234,
     true, 0644, "", "Jan 15 10:42"},
    {"drwxr-sr-x 2 u g 512 Mar 3 2004 pub", "pub", Kind::Directory, 512, false, 02755, "",
     "Mar 3 2004"},
    {"lrwxrwxrwx 1 u g 11 Jan 1 00:00 latest -> release/1.2", "latest", Kind::SymLink, 11, true,
     0777, "release/1.2", "Jan 1 00:00"},
    {"lrwxrwxrwx 1 u g 11 Jan 1 00:00 dangling", "dangling", Kind::SymLink, 11, true, 0777, "",
     "Jan 1 00:00"},
    {"lrwxrwxrwx 1 u g 9 Feb 2 13:14 a b -> c d/e f", "a b", Kind::SymLink, 9, true, 0777,
     "c d/e f", "Feb 2 13:14"},
    {"-rw-r--r--\t1 u g\t99 Jan 15 10:42\ttabbed  name ", "tabbed  name ", Kind::File, 99, true,
     0644, "", "Jan 15 10:42"},
    {"-rwsr-sr-t 1 u g 1 Jan 15 10:42 all", "all", Kind::File, 1, true, 07755, "", "Jan 15 10:42"},
    {"-rwSr-Sr-T 1 u g 1 Jan 15 10:42 capitals", "capitals", Kind::File, 1, true, 07644, "",
     "Jan 15 10:42"},
    {"---------- 1 u g 0 Jan 15 10:42 none", "none", Kind::File, 0, true, 0, "", "Jan 15 10:42"},
    {"srwxrwxrwx 1 u g 0 Jan 15 10:42 socket", "socket", Kind::File, 0, true, 0777, "",
     "Jan 15 10:42"},
    {"brw-rw---- 1 root disk 8, 0 Jan 15 10:42 sda", "sda", Kind::File, 0, true, 0660, "",
     "Jan 15 10:42"},
    // An 11-character mode (ACL marker): known by its first character, without a mode.
    {"drwxr-xr-x+ 2 u g 512 Jan 15 10:42 acl", "acl", Kind::Directory, 512, true, kNoMode, "",
     "Jan 15 10:42"},
    // Servers that write no mode at all still start the line with the kind.
    {"-   1 u g 7 Jan 15 10:42 bare", "bare", Kind::File, 7, true, kNoMode, "", "Jan 15 10:42"},
    // User or group names that are pieces of the month string.
    {"-rw-r--r-- 1 jun staff 2048 Feb 20 09:15 notes.txt", "notes.txt", Kind::File, 2048, true,
     0644, "", "Feb 20 09:15"},
    {"-rw-r--r-- 1 root dec 77 Dec 24 2005 gift", "gift", Kind::File, 77, false, 0644, "",
     "Dec 24 2005"},
    {"-rw-r--r-- 1 mar mar 5 Mar 1 11:00 both", "both", Kind::File, 5, true, 0644, "",
     "Mar 1 11:00"},
    {"-rw-r--r-- 1 anf ftp 10 Jan 2 03:04 y", "y", Kind::File, 10, true, 0644, "", "Jan 2 03:04"},
    {"drwxr-xr-x 3 jan jan 4096 Feb 28 23:59 home", "home", Kind::Directory, 4096, true, 0755, "",
     "Feb 28 23:59"},
    // Sizes beyond 32 bits, and beyond 64 bits (held at the largest value).
    {"-rw-r--r-- 1 u g 5368709120 Jan 15 10:42 big.iso", "big.iso", Kind::File, 5368709120, true,
     0644, "", "Jan 15 10:42"},
    {"-rw-r--r-- 1 u g 99999999999999999999 Jan 15 10:42 huge", "huge", Kind::File, INT64_MAX, true,
     0644, "", "Jan 15 10:42"},
    {"-rw-r--r-- 1 u g 9223372036854775807 Jan 15 10:42 largest", "largest", Kind::File, INT64_MAX,
     true, 0644, "", "Jan 15 10:42"},
    {"-rw-r--r-- 1 u g 9223372036854775808 Jan 15 10:42 one more", "one more", Kind::File,
     INT64_MAX, true, 0644, "", "Jan 15 10:42"},
    // A size of -1 written unsigned, as servers do for a file they cannot read.
    {"-rw-r--r--    1 0        0        18446744073709551615 Jan 15 10:42 kcore", "kcore",
     Kind::File, INT64_MAX, true, 0644, "", "Jan 15 10:42"},
    {"-r--------   1 root     root     18446744073709551615 Mar  3  2004 unsized file",
     "unsized file", Kind::File, INT64_MAX, false, 0400, "", "Mar 3 2004"},
    {"lrwxrwxrwx 1 u g 18446744073709551615 Jan 15 10:42 l -> t", "l", Kind::SymLink, INT64_MAX,
     true, 0777, "t", "Jan 15 10:42"},
    // Links listed without " -> target".
    {"lrwxrwxrwx 1 u g 7 Jan 15 10:42 bare link", "bare link", Kind::SymLink, 7, true, 0777, "",
     "Jan 15 10:42"},
    {"lrwxrwxrwx 1 u g 7 Jan 15 10:42 a->b", "a->b", Kind::SymLink, 7, true, 0777, "",
     "Jan 15 10:42"},
    {"l 1 u g 0 Jan 15 10:42 no mode", "no mode", Kind::SymLink, 0, true, kNoMode, "",
     "Jan 15 10:42"},
    // Names of any bytes after the date.
    {"-rw-r--r-- 1 u g 3 Jan 15 10:42 \xC3\xA4rger.txt", "\xC3\xA4rger.txt", Kind::File, 3, true,
     0644, "", "Jan 15 10:42"},
    {"-rw-r--r-- 1 u g 3 Jan 15 10:42 -> x", "-> x", Kind::File, 3, true, 0644, "", "Jan 15 10:42"},
    // The name as the 16th token: still examined.
    {"-rw-r--r-- x x x x x x x x x 1 7 Jan 15 10:42 name", "name", Kind::File, 7, true, 0644, "",
     "Jan 15 10:42"},
    // A date that does not exist gives time 0 and no date text, but the entry stays.
    {"-rw-r--r-- 1 u g 4 Feb 30 10:42 feb30", "feb30", Kind::File, 4, true, 0644, "", ""},
    // Year-less December read in March: last year's, still recent.
    {"-rw-r--r-- 1 u g 4 Dec 30 10:00 last", "last", Kind::File, 4, true, 0644, "", "Dec 30 10:00"},

    // DOS / IIS.
    {"01-15-07  03:45PM       <DIR>          My Folder", "My Folder", Kind::Directory, 0, true,
     kNoMode, "", "Jan 15 15:45"},
    {"01-15-07  03:45PM              1024 a b.txt", "a b.txt", Kind::File, 1024, true, kNoMode, "",
     "Jan 15 15:45"},
    {"01-15-07  12:05AM                 1 midnight", "midnight", Kind::File, 1, true, kNoMode, "",
     "Jan 15 00:05"},
    {"01-15-07  12:30PM                 1 noon", "noon", Kind::File, 1, true, kNoMode, "",
     "Jan 15 12:30"},
    {"01-15-2007  15:45              5 four-digit year", "four-digit year", Kind::File, 5, true,
     kNoMode, "", "Jan 15 15:45"},
    {"06-30-99  08:00AM             17 y2k.txt", "y2k.txt", Kind::File, 17, true, kNoMode, "",
     "Jun 30 1999"},
    {"12-31-70  11:59PM              1 epoch", "epoch", Kind::File, 1, true, kNoMode, "",
     "Dec 31 1970"},
    {"06-30-05  08:00AM             17 window.txt", "window.txt", Kind::File, 17, true, kNoMode, "",
     "Jun 30 2005"},
    // A third token that is neither a size nor <DIR>: a file of unknown size.
    {"01-15-07  03:45PM  <JUNCTION>  odd", "odd", Kind::File, 0, true, kNoMode, "", "Jan 15 15:45"},
    {"01-15-07  03:45PM  18446744073709551615 dos max", "dos max", Kind::File, INT64_MAX, true,
     kNoMode, "", "Jan 15 15:45"},

    // OS/2.
    {"       0           DIR   02-18-97  11:48  ADDRESS", "ADDRESS", Kind::Directory, 0, true,
     kNoMode, "", "Feb 18 1997"},
    {"  345 A  02-18-97 11:48 FILE.TXT", "FILE.TXT", Kind::File, 345, true, kNoMode, "",
     "Feb 18 1997"},
    {"  73098      A          04-06-97   15:15  ds0.internic.net1996052434624.txt",
     "ds0.internic.net1996052434624.txt", Kind::File, 73098, true, kNoMode, "", "Apr 6 1997"},
    {"18446744073709551615 A 02-18-97 11:48 OS2MAX", "OS2MAX", Kind::File, INT64_MAX, true, kNoMode,
     "", "Feb 18 1997"},

    // VMS.
    {"PUB.DIR;1  1/3  14-JAN-1997 10:20:30  [GROUP,OWNER]  (RWE,RWE,RE,RE)", "PUB",
     Kind::VmsDirectory, 512, true, kNoMode, "", "Jan 14 1997"},
    {"README.TXT;2  4  14-JAN-1997  [G,O]  (RWED,RWED,RE,)", "README.TXT;2", Kind::VmsFile, 2048,
     false, kNoMode, "", "Jan 14 1997"},
    {"CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12.25  [ANONYMOU,ANONYMOUS]   (W,RWED,RWED,RE)",
     "CII-MANUAL.TEX;1", Kind::VmsFile, 213 * 512, true, kNoMode, "", "Jan 29 1996"},
    {"LOGIN.COM;5  1/3  4-MAR-2004 9:05:33  [G,O]", "LOGIN.COM;5", Kind::VmsFile, 512, true,
     kNoMode, "", "Mar 4 2004"},
};

TEST(ParseListingLine, LinesThatGiveAnEntry) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    SetNumberSeparatorsForTesting('.', ',');
    for (const ParsedRow& row : kParsedLines) {
        SCOPED_TRACE(row.line);
        std::string pending;
        RemoteEntry entry;
        ASSERT_TRUE(parseListingLine(row.line, pending, entry, Now()));
        EXPECT_EQ(entry.name, row.name);
        const bool vms = row.kind == Kind::VmsFile || row.kind == Kind::VmsDirectory;
        EXPECT_EQ(isDirectory(entry),
                  row.kind == Kind::Directory || row.kind == Kind::VmsDirectory);
        EXPECT_EQ(isSymLink(entry), row.kind == Kind::SymLink);
        EXPECT_EQ((entry.flags & kEntryVmsForm) != 0, vms);
        EXPECT_EQ(entry.size, row.size);
        EXPECT_EQ(entry.sizeText, FormatSize(row.size, kSizePlain));
        EXPECT_EQ((entry.flags & kEntryTimeValid) != 0, row.timeValid);
        EXPECT_EQ((entry.flags & kEntryModeValid) != 0, row.mode != kNoMode);
        if (row.mode != kNoMode) {
            EXPECT_EQ(entryModeOf(entry), static_cast<uint32_t>(row.mode));
        } else {
            EXPECT_EQ(entryModeOf(entry), 0u);
        }
        EXPECT_EQ(entry.linkTarget, row.linkTarget);
        EXPECT_EQ(entry.dateText, row.dateText);
        EXPECT_EQ(entry.time == 0, row.dateText[0] == '\0');
        const uint32_t type = row.kind == Kind::Directory || row.kind == Kind::VmsDirectory
                                  ? kEntryTypeFolder
                              : row.kind == Kind::SymLink ? kEntryTypeSymLink
                                                          : kEntryTypeFile;
        EXPECT_EQ(entryTypeOf(entry), type);
        EXPECT_TRUE(pending.empty());
    }
}

TEST(ParseListingLine, ExactTimes) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    struct Row {
        const char* line;
        int64_t time;
    };
    const Row rows[] = {
        {"-rw-r--r-- 1 u g 1 Jan 15 10:42 a", LocalTime(2007, 1, 15, 10, 42, 0)},
        {"-rw-r--r-- 1 u g 1 Mar 3 2004 a", LocalTime(2004, 3, 3, 0, 0, 0)},
        {"-rw-r--r-- 1 u g 1 Dec 30 10:00 a", LocalTime(2006, 12, 30, 10, 0, 0)},
        {"01-15-07  03:45PM  1 a", LocalTime(2007, 1, 15, 15, 45, 0)},
        {"  345 A  02-18-97 11:48 a", LocalTime(1997, 2, 18, 11, 48, 0)},
        {"A;1  1/3  14-JAN-1997 10:20:30  [G,O]  (RWE,RWE,RE,RE)",
         LocalTime(1997, 1, 14, 10, 20, 30)},
        {"A;1  1/3  14-JAN-1997  [G,O]  (RWE,RWE,RE,RE)", LocalTime(1997, 1, 14, 0, 0, 0)},
        // Before 1900: no time.
        {"A;1  1/3  14-JAN-1899 10:20:30  [G,O]  (RWE,RWE,RE,RE)", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        std::string pending;
        RemoteEntry entry;
        ASSERT_TRUE(parseListingLine(row.line, pending, entry, Now()));
        EXPECT_EQ(entry.time, row.time);
    }
}

const char* const kIgnoredLines[] = {
    "total 12",
    "",
    "   \t  ",
    "-rw-r--r-- 1 jun staff 2048",
    // A FIFO: its kind letter is none of the known ones.
    "prw-r--r-- 1 u g 0 Jan 15 10:42 fifo",
    // No size before the month.
    "-rw-r--r-- 1 u g x Jan 15 10:42 nosize",
    // No day after the month.
    "-rw-r--r-- 1 u g 1 Jan xx 10:42 noday",
    // No name.
    "-rw-r--r-- 1 u g 1 Jan 15 10:42",
    // A month as the first token of a line that is no listing line.
    "dec 1 2 3",
    // The name as the 17th token: beyond what is examined.
    "-rw-r--r-- x x x x x x x x x x 1 7 Jan 15 10:42 name",
    "Welcome to the server, enjoy your stay",
    "01-15-07 garbage 1 x",
    "01-15-07 03:45PM",
    "Directory DISK$USER:[ANONYMOUS]",
    "Total of 12 files, 345/678 blocks.",
    "\x01\x02\x03 \x04\x05 \x06 \x07\x08 \x0b\x0c\x0e",
    "\xff\xfe\xfd",
};

TEST(ParseListingLine, LinesThatGiveNothing) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    for (const char* line : kIgnoredLines) {
        SCOPED_TRACE(line);
        std::string pending = "LEFT.OVER;1";
        RemoteEntry entry;
        EXPECT_FALSE(parseListingLine(line, pending, entry, Now()));
        EXPECT_EQ(pending, "") << "a line that fits no form ends a pending VMS name";
        EXPECT_EQ(entry.name, "");
    }
}

// The usual Unix line is read by a shortcut that must give what the general reading gives:
// for every row above, and for lines at the edges of what the shortcut takes.
TEST(ParseListingLine, ShortcutAgreesWithTheGeneralReading) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    const std::string farDate = "-rw-r--r-- 1 u g 4 Jan";
    std::vector<std::string> lines = {
        "-rw-r--r--    1 ftp      ftp          4096 Jan  1  2019 dir0000000",
        // Owner or group like a month, where the general reading may find the date.
        "-rw-r--r-- 1 jun 5 2048 Feb 20 09:15 owner",
        "-rw-r--r-- 1 0 dec 77 Dec 24 2005 group",
        "-rw-r--r-- 1 ftp Jan 77 Dec 24 2005 group only",
        // Dates that do not exist or are no dates.
        "-rw-r--r-- 1 u g 4 Feb 29 2005 not leap",
        "-rw-r--r-- 1 u g 4 Feb 29 2004 leap",
        "-rw-r--r-- 1 u g 4 Feb 29 10:00 year-less",
        "-rw-r--r-- 1 u g 4 Jan 15 24:00 hour",
        "-rw-r--r-- 1 u g 4 Jan 15 23:60 minute",
        "-rw-r--r-- 1 u g 4 Jan 15 9:5 short",
        "-rw-r--r-- 1 u g 4 Jan 15 10:42:33 seconds",
        "-rw-r--r-- 1 u g 4 Jan 15 10:42PM meridiem",
        "-rw-r--r-- 1 u g 4 Jan 015 10:42 three-digit day",
        "-rw-r--r-- 1 u g 4 Jan 0 10:42 day zero",
        "-rw-r--r-- 1 u g 4 Jan 05 1899 before 1900",
        "-rw-r--r-- 1 u g 4 Dec 31 23:59 future",
        "-rw-r--r-- 1 u g 4 Anf 15 10:42 month letters",
        "-rw-r--r-- 1 u g 4 JAN 15 10:42 upper",
        // The date text is cut at kMaxDateText characters: 95 here, 97 with the cut in the
        // time.
        farDate + std::string(83, ' ') + "15 10:42 near",
        farDate + std::string(85, ' ') + "15 10:42 far",
        // Separators, names, kinds and sizes.
        "-rw-r--r--\t1\tu\tg\t4\tJan\t15\t10:42\t\tname\t",
        "lrwxrwxrwx 1 u g 4 Jan 15 10:42 a -> b -> c",
        "lrwxrwxrwx 1 u g 4 Jan 15 10:42 -> x",
        "crw-rw-rw- 1 u g 4 Jan 15 10:42 device",
        "dr-xr-S--T 1 u g 4 Jan 15 10:42 odd mode",
        "-rw-r--r-- 1 \xC3\xA4 g 4 Jan 15 10:42 owner of 8-bit bytes",
        "-rw-r--r-- x u g 4 Jan 15 10:42 links",
        "-rw-r--r-- 1 u g 99999999999999999999 Jan 15 10:42 size",
        "-rw-r--r-- 1 u g 4 Jan 15 10:42   ",
    };
    for (const ParsedRow& row : kParsedLines) {
        lines.emplace_back(row.line);
    }
    lines.insert(lines.end(), std::begin(kIgnoredLines), std::end(kIgnoredLines));
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        std::string pending = "LEFT.OVER;1";
        std::string generalPending = pending;
        RemoteEntry entry;
        RemoteEntry general;
        const bool parsed = parseListingLine(line, pending, entry, Now());
        ASSERT_EQ(parsed, parseListingLineWithoutShortcut(line, generalPending, general, Now()));
        EXPECT_EQ(pending, generalPending);
        EXPECT_EQ(entry.name, general.name);
        EXPECT_EQ(entry.linkTarget, general.linkTarget);
        EXPECT_EQ(entry.size, general.size);
        EXPECT_EQ(entry.time, general.time);
        EXPECT_EQ(entry.flags, general.flags);
        EXPECT_EQ(entry.modeAndIcon, general.modeAndIcon);
        EXPECT_EQ(entry.dateText, general.dateText);
    }
}

TEST(ParseListingLine, VmsNameOnItsOwnLine) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    std::string pending;
    RemoteEntry first;
    EXPECT_FALSE(parseListingLine("A_VERY_LONG_VMS_NAME.TXT;12", pending, first, Now()));
    EXPECT_EQ(pending, "A_VERY_LONG_VMS_NAME.TXT;12");
    RemoteEntry entry;
    ASSERT_TRUE(parseListingLine("  12/36  14-JAN-1997 10:20:30 [G,O] (RWED,RWED,RE,)", pending,
                                 entry, Now()));
    EXPECT_EQ(entry.name, "A_VERY_LONG_VMS_NAME.TXT;12");
    EXPECT_EQ(entry.size, 6144);
    EXPECT_EQ(entry.flags & (kEntryVmsForm | kEntryTimeValid | kEntryDirectory),
              kEntryVmsForm | kEntryTimeValid);
    EXPECT_EQ(pending, "");

    // A directory name alone, then its details in the four-token form.
    EXPECT_FALSE(parseListingLine("\tSUBDIRECTORY_WITH_A_LONG_NAME.DIR;1 ", pending, first, Now()));
    EXPECT_EQ(pending, "SUBDIRECTORY_WITH_A_LONG_NAME.DIR;1");
    RemoteEntry directory;
    ASSERT_TRUE(
        parseListingLine("  1  14-JAN-1997  [G,O]  (RWE,RWE,RE,RE)", pending, directory, Now()));
    EXPECT_EQ(directory.name, "SUBDIRECTORY_WITH_A_LONG_NAME");
    EXPECT_TRUE(isDirectory(directory));
    EXPECT_EQ(directory.size, 512);
    EXPECT_EQ(directory.flags & kEntryTimeValid, 0u);

    // A lone name followed by a line of another kind: the name is dropped.
    EXPECT_FALSE(parseListingLine("ORPHAN.TXT;1", pending, first, Now()));
    EXPECT_FALSE(parseListingLine("Total of 2 files.", pending, first, Now()));
    EXPECT_EQ(pending, "");

    // The details line without a name before it.
    RemoteEntry unnamed;
    EXPECT_FALSE(parseListingLine("  12/36  14-JAN-1997 10:20:30 [G,O] (RWED,RWED,RE,)", pending,
                                  unnamed, Now()));
    EXPECT_EQ(unnamed.name, "");

    // A lone token of garbage is no name.
    pending = "KEPT;1";
    EXPECT_FALSE(parseListingLine("\x01\x02", pending, first, Now()));
    EXPECT_EQ(pending, "");
}

TEST(ParseListingLine, LongLinesAndOddBytes) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    const std::string prefix = "-rw-r--r-- 1 u g 1 Jan 15 10:42 ";
    std::string longest = prefix + std::string(kMaxListingLine - prefix.size(), 'n');
    ASSERT_EQ(longest.size(), 511u);
    std::string pending;
    RemoteEntry entry;
    ASSERT_TRUE(parseListingLine(longest, pending, entry, Now()));
    EXPECT_EQ(entry.name, std::string(511 - prefix.size(), 'n'));

    RemoteEntry tooLong;
    pending = "X;1";
    EXPECT_FALSE(parseListingLine(longest + "n", pending, tooLong, Now()));
    EXPECT_EQ(pending, "");
    EXPECT_EQ(tooLong.name, "");

    // A NUL anywhere: no entry, not even from the part before it.
    for (size_t at : {size_t{0}, size_t{5}, prefix.size(), prefix.size() + 2}) {
        std::string line = prefix + "name";
        line.insert(at, 1, '\0');
        SCOPED_TRACE(at);
        RemoteEntry withNul;
        EXPECT_FALSE(parseListingLine(line, pending, withNul, Now()));
    }

    // Control bytes inside a Unix name are kept: the server listed them.
    RemoteEntry control;
    ASSERT_TRUE(parseListingLine(prefix + "bell\x07\r", pending, control, Now()));
    EXPECT_EQ(control.name, "bell\x07\r");

    // Every single byte value as a line, and as the name of a file.
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        RemoteEntry single;
        std::string one(1, static_cast<char>(byte));
        EXPECT_FALSE(parseListingLine(one, pending, single, Now()));
        RemoteEntry named;
        bool namedOk = parseListingLine(prefix + one, pending, named, Now());
        bool blank = byte == ' ' || byte == '\t' || byte == 0;
        EXPECT_EQ(namedOk, !blank);
        if (namedOk) {
            EXPECT_EQ(named.name, one);
        }
    }
}

TEST(ParseListingLine, MonthsOfAnotherLanguage) {
    if (!isUsableListingLanguage(3082)) {
        GTEST_SKIP() << "es_ES.UTF-8 is not installed";
    }
    ASSERT_TRUE(loadListingLanguage(3082));
    std::string pending;
    RemoteEntry entry;
    ASSERT_TRUE(parseListingLine("-rw-r--r-- 1 u g 5 ene 15 10:42 enero", pending, entry, Now()));
    EXPECT_EQ(entry.name, "enero");
    EXPECT_EQ(entry.time, LocalTime(2007, 1, 15, 10, 42, 0));
    // "/" is a date separator of the Spanish locale.
    RemoteEntry dos;
    ASSERT_TRUE(parseListingLine("01/15/07  03:45PM  12 slash", pending, dos, Now()));
    EXPECT_EQ(dos.time, LocalTime(2007, 1, 15, 15, 45, 0));
    // An English month is no month in Spanish.
    RemoteEntry english;
    EXPECT_FALSE(parseListingLine("-rw-r--r-- 1 u g 5 Jan 15 10:42 x", pending, english, Now()));
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    EXPECT_TRUE(parseListingLine("-rw-r--r-- 1 u g 5 Jan 15 10:42 x", pending, english, Now()));
}

// Lines of coreutils' ls -l under each locale, with the time style servers write (month, day,
// then time or year), in UTF-8 and in the locale's 8-bit character sets; a few rows in
// another case or form. Read on 1 March 2007 at noon.
TEST(ParseListingLine, MonthsOfOtherLanguages) {
    struct Row {
        uint16_t language;
        const char* line;
        const char* name;  // nullptr: no entry
        int year;
        int month;
        int day;
        int hour;
        int minute;
    };
    const Row rows[] = {
        {1031, "-rw-r--r-- 1 root root    0 M\xC3\xA4r  3  2006 M\xC3\xA4rz.txt", "M\xC3\xA4rz.txt",
         2006, 3, 3, 0, 0},
        {1031, "-rw-r--r-- 1 root root 0 Mai 15  2006 mai", "mai", 2006, 5, 15, 0, 0},
        {1031, "-rw-r--r-- 1 root root    0 Okt 15  2006 okt", "okt", 2006, 10, 15, 0, 0},
        {1031, "drwxr-xr-x 2 root root 4096 Nov  2  2006 ordner", "ordner", 2006, 11, 2, 0, 0},
        {1031, "-rw-r--r-- 1 root root    0 Dez 30 10:00 dez", "dez", 2006, 12, 30, 10, 0},
        // de_DE (ISO-8859-1).
        {1031, "-rw-r--r-- 1 root root    0 M\xE4r  3  2006 M\xC3\xA4rz.txt", "M\xC3\xA4rz.txt",
         2006, 3, 3, 0, 0},
        {1031, "-rw-r--r-- 1 u g 1 M\xC3\x84R 3 2006 upper", "upper", 2006, 3, 3, 0, 0},
        {1031, "-rw-r--r-- 1 u g 1 m\xC3\xA4r 3 2006 lower", "lower", 2006, 3, 3, 0, 0},
        {1031, "-rw-r--r-- 1 u g 1 M\xC4R 3 2006 upper latin1", "upper latin1", 2006, 3, 3, 0, 0},
        {1031, "A.TXT;1  1/3  14-M\xC3\x84R-1997 10:20  [G,O]  (RWE,RWE,RE,RE)", "A.TXT;1", 1997, 3,
         14, 10, 20},
        {1031, "-rw-r--r-- 1 u g 1 Mar 3 2006 english", nullptr, 0, 0, 0, 0, 0},
        {1033, "-rw-r--r-- 1 root root    0 M\xC3\xA4r  3  2006 M\xC3\xA4rz.txt", nullptr, 0, 0, 0,
         0, 0},
        {3079, "-rw-r--r-- 1 root root 0 J\xC3\xA4n 15 10:42 j\xC3\xA4nner", "j\xC3\xA4nner", 2007,
         1, 15, 10, 42},
        {1029, "-rw-r--r-- 1 root root    0 \xC3\xBAno 20  2007 bericht Feb.txt", "bericht Feb.txt",
         2007, 2, 20, 0, 0},
        {1029, "-rw-r--r-- 1 root root    0 \xC5\x99\xC3\xADj 15  2006 okt", "okt", 2006, 10, 15, 0,
         0},
        {1029, "-rw-r--r-- 1 u g 1 \xC3\x9ANO 20 2007 upper", "upper", 2007, 2, 20, 0, 0},
        // cs_CZ (ISO-8859-2).
        {1029, "-rw-r--r-- 1 root root    0 \xF8\xEDj 15  2006 okt", "okt", 2006, 10, 15, 0, 0},
        {1039, "lrwxrwxrwx 1 root root    4 ma\xC3\xAD  1  2006 verweis -> ziel", "verweis", 2006,
         5, 1, 0, 0},
        {1039, "drwxr-xr-x 2 root root 4096 n\xC3\xB3v  2  2006 ordner", "ordner", 2006, 11, 2, 0,
         0},
        {1055, "-rw-r--r-- 1 root root    0 \xC5\x9Eub 20  2007 bericht Feb.txt", "bericht Feb.txt",
         2007, 2, 20, 0, 0},
        {1055, "-rw-r--r-- 1 root root    0 Eki 15  2006 okt", "okt", 2006, 10, 15, 0, 0},
        {1055, "-rw-r--r-- 1 u g 1 \xC5\x9Fub 20 2007 lower", "lower", 2007, 2, 20, 0, 0},
        // tr_TR (ISO-8859-9).
        {1055, "-rw-r--r-- 1 root root    0 \xDEub 20  2007 bericht Feb.txt", "bericht Feb.txt",
         2007, 2, 20, 0, 0},
        {1049, "-rw-r--r-- 1 root root    0 \xD0\xBC\xD0\xB0\xD1\x80  3  2006 M\xC3\xA4rz.txt",
         "M\xC3\xA4rz.txt", 2006, 3, 3, 0, 0},
        {1049, "lrwxrwxrwx 1 root root    4 \xD0\xBC\xD0\xB0\xD1\x8F  1  2006 verweis -> ziel",
         "verweis", 2006, 5, 1, 0, 0},
        // ru_RU.KOI8-R and ru_RU.CP1251.
        {1049, "-rw-r--r-- 1 root root    0 \xCF\xCB\xD4 15  2006 okt", "okt", 2006, 10, 15, 0, 0},
        {1049, "lrwxrwxrwx 1 root root    4 \xEC\xE0\xFF  1  2006 verweis -> ziel", "verweis", 2006,
         5, 1, 0, 0},
        {1045, "-rw-r--r-- 1 root root 0 pa\xC5\xBA 15 08:00 okt", "okt", 2006, 10, 15, 8, 0},
        {1058, "-rw-r--r-- 1 root root    0 \xD0\xB3\xD1\x80\xD1\x83 30 10:00 dez", "dez", 2006, 12,
         30, 10, 0},
    };
    for (const Row& row : rows) {
        if (!platform::SystemLocale(row.language).installed()) {
            GTEST_SKIP() << platform::FindLocaleRow(row.language)->localeName
                         << " is not installed";
        }
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ASSERT_TRUE(loadListingLanguage(row.language));
        EXPECT_TRUE(isUsableListingLanguage(row.language));
        std::string pending;
        RemoteEntry entry;
        const bool parsed = parseListingLine(row.line, pending, entry, Now());
        ASSERT_EQ(parsed, row.name != nullptr);
        if (parsed) {
            EXPECT_EQ(entry.name, row.name);
            EXPECT_EQ(entry.time, LocalTime(row.year, row.month, row.day, row.hour, row.minute, 0));
        }
    }
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
}

TEST(ClassifyListingToken, EveryClass) {
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    struct Row {
        const char* token;
        ListingToken kind;
    };
    const Row rows[] = {
        {"0", ListingToken::Number},
        {"1234", ListingToken::Number},
        {"10:42", ListingToken::TimeOfDay},
        {"03:45PM", ListingToken::TimeOfDay},
        {"9:05:33", ListingToken::TimeOfDay},
        {"9:05", ListingToken::TimeOfDay},
        {"1:2", ListingToken::Other},
        {"123:45", ListingToken::Other},
        {"01-15-07", ListingToken::NumericDate},
        {"01-15-2007", ListingToken::NumericDate},
        {"01/15/07", ListingToken::NumericDate},  // "/" from the US English locale
        {"1-15-07", ListingToken::Other},
        {"4-JAN-1997", ListingToken::VmsDate},
        {"14-JAN-1997", ListingToken::VmsDate},
        {"14-JAN-97", ListingToken::Other},
        {"12/36", ListingToken::BlockPair},
        {"1/3", ListingToken::BlockPair},
        {"12/3", ListingToken::Other},
        {"1/3x", ListingToken::Other},
        {"jan", ListingToken::MonthName},
        {"DEC", ListingToken::MonthName},
        {"anf", ListingToken::MonthName},  // anywhere in the month string
        {"xyz", ListingToken::Other},
        {"janu", ListingToken::Other},
        {"drwxrwxrwx", ListingToken::ModeString},
        {"srwxrwxrwx", ListingToken::ModeString},
        {"brw-r--r--", ListingToken::ModeString},
        {"-rwsr-sr-T", ListingToken::ModeString},
        {"drwxr-xr-x+", ListingToken::Other},
        {"prw-r--r--", ListingToken::Other},
        {"a\x01z", ListingToken::Garbage},
        {"-\x7f", ListingToken::Garbage},
        {"\x01z", ListingToken::Garbage},
        {"\xC3\xA4rger", ListingToken::Garbage},
        {"<DIR>", ListingToken::Other},
        {"123abc", ListingToken::Other},
        {"[G,O]", ListingToken::Other},
        {"ftp", ListingToken::Other},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.token);
        EXPECT_EQ(classifyListingToken(row.token), row.kind);
    }
}

TEST(PermissionBits, EveryLetter) {
    struct Row {
        const char* mode;
        uint32_t bits;
    };
    const Row rows[] = {
        {"-rw-r--r--", 0644},  {"drwxr-xr-x", 0755},  {"drwxr-sr-x", 02755}, {"-rwsr-xr-x", 04755},
        {"-rwSr--r--", 04644}, {"drwxrwxrwt", 01777}, {"drwxrwxrwT", 01776}, {"----------", 0},
        {"-rwxrwxrwx", 0777},  {"-r-x-w---x", 0521},  {"-xwr------", 0200},  {"-rwsrwsrws", 06777},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        EXPECT_EQ(permissionBitsOf(row.mode), row.bits);
    }
}

// --- Type and icon -------------------------------------------------------------------------

class FakeTypes : public EntryTypeSource {
  public:
    bool describeExtension(std::string_view extension, EntryType& out) override {
        asked.emplace_back(extension);
        if (extension == ".zip") {
            return false;
        }
        out.text = "Type of " + std::string(extension);
        out.icon = 100 + static_cast<uint32_t>(asked.size());
        return true;
    }
    uint32_t fileIcon() override { return 50; }
    uint32_t folderIcon() override { return 51; }
    uint32_t symLinkIcon() override { return 52; }
    std::vector<std::string> asked;
};

class EntryTypesTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage)); }
    void TearDown() override {
        setExtensionLookup(false);
        setEntryTypeSource(nullptr);
    }
    RemoteEntry Parse(const std::string& line) {
        std::string pending;
        RemoteEntry entry;
        EXPECT_TRUE(parseListingLine(line, pending, entry, Now()));
        return entry;
    }
};

TEST_F(EntryTypesTest, PlainTypesWithoutASource) {
    setExtensionLookup(true);
    RemoteEntry file = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 a.txt");
    EXPECT_EQ(entryTypeOf(file), kEntryTypeFile);
    EXPECT_EQ(entryIconOf(file), kIconFile);
    RemoteEntry folder = Parse("drwxr-xr-x 1 u g 1 Jan 15 10:42 pub");
    EXPECT_EQ(entryTypeOf(folder), kEntryTypeFolder);
    EXPECT_EQ(entryIconOf(folder), kIconFolder);
    EXPECT_EQ(entryModeOf(folder), 0755u) << "the icon leaves the mode alone";
    RemoteEntry link = Parse("lrwxrwxrwx 1 u g 1 Jan 15 10:42 l -> t");
    EXPECT_EQ(entryTypeOf(link), kEntryTypeSymLink);
    EXPECT_EQ(entryIconOf(link), kIconSymLink);
    EXPECT_EQ(entryTypeAt(kEntryTypeFile).text, "File");
    EXPECT_EQ(entryTypeAt(kEntryTypeFolder).text, "Folder");
    EXPECT_EQ(entryTypeAt(kEntryTypeSymLink).text, "Symbolic Link");
    EXPECT_EQ(entryTypeCount(), kEntryTypeFirstExtension);
}

TEST_F(EntryTypesTest, ExtensionsAskedOncePerProgram) {
    FakeTypes types;
    setEntryTypeSource(&types);
    RemoteEntry before = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 a.txt");
    EXPECT_EQ(entryTypeOf(before), kEntryTypeFile) << "the view option is off";
    EXPECT_EQ(entryIconOf(before), 50u);
    EXPECT_TRUE(types.asked.empty());

    setExtensionLookup(true);
    RemoteEntry text = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 a.txt");
    EXPECT_EQ(entryTypeOf(text), kEntryTypeFirstExtension);
    EXPECT_EQ(entryIconOf(text), 101u);
    RemoteEntry upper = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 B.TXT");
    EXPECT_EQ(entryTypeOf(upper), kEntryTypeFirstExtension);
    RemoteEntry profile = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 .profile");
    EXPECT_EQ(entryTypeOf(profile), kEntryTypeFirstExtension + 1);
    RemoteEntry archive = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 c.zip");
    EXPECT_EQ(entryTypeOf(archive), kEntryTypeFile) << "the source knows nothing of .zip";
    EXPECT_EQ(entryIconOf(archive), 50u);
    Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 d.zip");
    RemoteEntry bare = Parse("-rw-r--r-- 1 u g 1 Jan 15 10:42 Makefile");
    EXPECT_EQ(entryTypeOf(bare), kEntryTypeFile);
    // A link is typed as a link even when its target has an extension.
    RemoteEntry link = Parse("lrwxrwxrwx 1 u g 1 Jan 15 10:42 l -> dir/e.txt");
    EXPECT_EQ(entryTypeOf(link), kEntryTypeSymLink);
    EXPECT_EQ(entryIconOf(link), 52u);
    EXPECT_EQ(extensionOf(link), ".txt");
    // A VMS name is judged without its version.
    RemoteEntry vms = Parse("NOTES.LIS;3  1/3  14-JAN-1997  [G,O]  (RWE,RWE,RE,RE)");
    EXPECT_EQ(entryTypeOf(vms), kEntryTypeFirstExtension + 2);

    EXPECT_EQ(types.asked, (std::vector<std::string>{".txt", ".ini", ".zip", ".lis"}));
    EXPECT_EQ(entryTypeCount(), kEntryTypeFirstExtension + 3);
    EntryType row = entryTypeAt(kEntryTypeFirstExtension + 1);
    EXPECT_EQ(row.text, "Type of .ini");
    EXPECT_EQ(row.icon, 102u);
    EXPECT_EQ(entryTypeAt(kEntryTypeFirstExtension + 3).text, "File") << "beyond the table";
    EXPECT_EQ(entryTypeAt(kEntryTypeFolder).icon, 51u);
}

}  // namespace
}  // namespace qvex
