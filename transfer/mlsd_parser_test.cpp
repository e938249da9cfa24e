// MLSD lines as servers send them, one table row per line: lines that give an entry, lines
// that are passed over in silence, and malformed lines with the reason logged for them.
#include "transfer/mlsd_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "transfer/entry_types.h"
#include "transfer/listing_parser.h"

namespace qvex {
namespace {

enum class Kind {
    File,
    Directory,
    SymLink,
};

constexpr int kNoMode = -1;

struct EntryRow {
    std::string line;
    const char* name;
    Kind kind;
    int64_t size;
    int64_t time;  // UTC seconds since 1970; 0 unknown
    int mode;      // kNoMode: no permission bits
    const char* linkTarget;
    const char* unique = "";
};

const EntryRow kEntryLines[] = {
    // pyftpdlib
    {"type=file;size=1234;modify=20070115104200;perm=radfwMT;unix.mode=0644;unix.uid=1000;"
     "unix.gid=1000;unique=803g1a2b; read me.txt",
     "read me.txt", Kind::File, 1234, 1'168'857'720, 0644, "", "803g1a2b"},
    {"type=dir;modify=20040303000000;perm=elradfmwMT;unix.mode=02755;unix.uid=0;unix.gid=0;"
     "unique=803g2; pub",
     "pub", Kind::Directory, 0, 1'078'272'000, 02755, "", "803g2"},
    // pyftpdlib asked for UNIX.mode, in Python's octal notation
    {"type=file;size=10;modify=20070115104200;unix.mode=0o4755; setuid.sh", "setuid.sh", Kind::File,
     10, 1'168'857'720, 04755, ""},
    // ProFTPD: facts in another order, a link with its target, owner names
    {"modify=20070101000000;perm=adfr;size=11;type=OS.unix=slink:/srv/release/1.2;unique=FD00U3;"
     "UNIX.group=0;UNIX.mode=0777;UNIX.owner=0; latest",
     "latest", Kind::SymLink, 11, 1'167'609'600, 0777, "/srv/release/1.2", "FD00U3"},
    {"type=OS.unix=symlink;size=3; link", "link", Kind::SymLink, 3, 0, kNoMode, ""},
    // Pure-FTPd: fact names in capitals, a fraction of a second, a mode without its 0
    {"Type=File;Size=5;Modify=19991231235959.123;UNIX.mode=644; CAPS.TXT", "CAPS.TXT", Kind::File,
     5, 946'684'799, 0644, ""},
    {"TYPE=DIR;MODIFY=20070115104200; Folder", "Folder", Kind::Directory, 0, 1'168'857'720, kNoMode,
     ""},
    // IIS: only type, size and modify; blanks in the name stay, the first one excepted
    {"type=dir;modify=20070115104200; New folder", "New folder", Kind::Directory, 0, 1'168'857'720,
     kNoMode, ""},
    {"type=file;size=3;  two  blanks ", " two  blanks ", Kind::File, 3, 0, kNoMode, ""},
    {"type=file;size=3; a=b;c d", "a=b;c d", Kind::File, 3, 0, kNoMode, ""},
    // Missing facts: no size, no time, no type (a file), no facts at all
    {"type=file; bare", "bare", Kind::File, 0, 0, kNoMode, ""},
    {"size=10; untyped", "untyped", Kind::File, 10, 0, kNoMode, ""},
    {" nothing", "nothing", Kind::File, 0, 0, kNoMode, ""},
    // Unknown facts and types are passed over; a device is a file
    {"type=OS.unix=chr-13/29;x.custom=1;size=0;media-type=text/plain; tty", "tty", Kind::File, 0, 0,
     kNoMode, ""},
    {"type=weird;size=7; odd", "odd", Kind::File, 7, 0, kNoMode, ""},
    {"type=OS.unix=slink:/x;size=1;type=dir; twice typed", "twice typed", Kind::Directory, 1, 0,
     kNoMode, ""},
    // Facts that cannot be read count as missing
    {"type=file;size=12abc;modify=20071315104200; bad month", "bad month", Kind::File, 0, 0,
     kNoMode, ""},
    {"type=file;size=;modify=20070230000000; february 30", "february 30", Kind::File, 0, 0, kNoMode,
     ""},
    {"type=file;size=99999999999999999999;modify=2007011510; short date", "short date", Kind::File,
     0, 0, kNoMode, ""},
    {"type=file;modify=20070115246000;unix.mode=0899; bad hour", "bad hour", Kind::File, 0, 0,
     kNoMode, ""},
    {"type=file;modify=18991231000000.; before 1900", "before 1900", Kind::File, 0, 0, kNoMode, ""},
    // No trailing ";" after the last fact; names in bytes as sent (Latin-1 here)
    {"type=file;size=4 caf\xe9.txt", "caf\xe9.txt", Kind::File, 4, 0, kNoMode, ""},
};

TEST(MlsdParser, LinesThatGiveAnEntry) {
    for (const EntryRow& row : kEntryLines) {
        SCOPED_TRACE(row.line);
        RemoteEntry entry;
        const char* reason = nullptr;
        std::string_view unique = "stale";
        ASSERT_EQ(parseMlsdLine(row.line, entry, unique, &reason), MlsdLine::Entry);
        EXPECT_EQ(reason, nullptr);
        EXPECT_EQ(unique, row.unique);
        EXPECT_EQ(entry.name, row.name);
        EXPECT_EQ(isDirectory(entry), row.kind == Kind::Directory);
        EXPECT_EQ(isSymLink(entry), row.kind == Kind::SymLink);
        EXPECT_EQ(entryTypeOf(entry) == kEntryTypeFolder, row.kind == Kind::Directory);
        EXPECT_EQ(entryTypeOf(entry) == kEntryTypeSymLink, row.kind == Kind::SymLink);
        EXPECT_EQ(entry.size, row.size);
        EXPECT_EQ(entry.time, row.time);
        EXPECT_EQ((entry.flags & kEntryModeValid) != 0, row.mode != kNoMode);
        EXPECT_EQ(entryModeOf(entry), row.mode == kNoMode ? 0u : static_cast<uint32_t>(row.mode));
        EXPECT_EQ(entry.linkTarget, row.linkTarget);
        // An exact UTC time is never moved by the host's time-zone setting.
        EXPECT_EQ(entry.flags & kEntryTimeValid, 0u);
        EXPECT_TRUE(entry.sizeText.empty() && entry.dateText.empty()) << "the cache's form";
    }
}

// The same file listed both ways goes into the cache alike, but for MLSD's exact time.
TEST(MlsdParser, EntriesMatchWhatTheListParserGivesTheCache) {
    struct Pair {
        const char* mlsd;
        const char* list;
    };
    const Pair pairs[] = {
        {"type=file;size=1234;unix.mode=0644; read me.txt",
         "-rw-r--r--   1 ftp  ftp   1234 Jan 15 2004 read me.txt"},
        {"type=dir;unix.mode=0755; pub", "drwxr-xr-x   2 ftp  ftp   0 Jan 15 2004 pub"},
        {"type=OS.unix=slink:release/1.2;unix.mode=0777;size=11; latest",
         "lrwxrwxrwx 1 u g 11 Jan 15 2004 latest -> release/1.2"},
    };
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.mlsd);
        RemoteEntry machine;
        const char* reason = nullptr;
        std::string_view unique;
        ASSERT_EQ(parseMlsdLine(pair.mlsd, machine, unique, &reason), MlsdLine::Entry);
        RemoteEntry listed;
        std::string pending;
        ASSERT_TRUE(parseCachedListingLine(pair.list, pending, listed, 0));
        EXPECT_EQ(machine.name, listed.name);
        EXPECT_EQ(machine.linkTarget, listed.linkTarget);
        EXPECT_EQ(machine.size, listed.size);
        EXPECT_EQ(machine.flags, listed.flags);
        EXPECT_EQ(machine.modeAndIcon, listed.modeAndIcon);
        EXPECT_EQ(machine.sizeText, listed.sizeText);
        EXPECT_EQ(machine.dateText, listed.dateText);
    }
}

TEST(MlsdParser, LinesThatGiveNoEntry) {
    struct Row {
        std::string line;
        MlsdLine result;
        const char* reason;  // for a malformed line
        const char* unique = "";
    };
    const Row rows[] = {
        // The listed folder and its parent
        {"type=cdir;modify=20070115104200;perm=el;unix.mode=0755;unique=FD00U9; /home/user",
         MlsdLine::ThisFolder, nullptr, "FD00U9"},
        {"type=pdir;modify=20070115104200; ..", MlsdLine::Ignored, nullptr},
        {"Type=CDIR; .", MlsdLine::ThisFolder, nullptr},
        // Facts without a name
        {"type=file;size=3;modify=20070115104200;", MlsdLine::Malformed, "no name"},
        {"type=file;size=3; ", MlsdLine::Malformed, "no name"},
        {"", MlsdLine::Malformed, "no name"},
        {"total 12", MlsdLine::Malformed, "a fact without \"=\""},
        {"unique=1;total; x", MlsdLine::Malformed, "a fact without \"=\""},
        {"size;type=file; x", MlsdLine::Malformed, "a fact without \"=\""},
        {"=3;type=file; x", MlsdLine::Malformed, "a fact without \"=\""},
        {std::string("type=file; a\0b", 14), MlsdLine::Malformed, "a NUL byte"},
        {"type=file; " + std::string(kMaxListingLine, 'n'), MlsdLine::Malformed,
         "longer than 511 characters"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        RemoteEntry entry;
        const char* reason = nullptr;
        std::string_view unique = "stale";
        EXPECT_EQ(parseMlsdLine(row.line, entry, unique, &reason), row.result);
        if (row.reason != nullptr) {
            EXPECT_STREQ(reason, row.reason);
        }
        EXPECT_EQ(unique, row.unique);
        EXPECT_TRUE(entry.name.empty() && entry.flags == 0 && entry.size == 0);
    }
}

}  // namespace
}  // namespace qvex
