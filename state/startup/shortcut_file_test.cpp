#include "state/startup/shortcut_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/temp_env.h"

namespace qvex {

void PrintTo(const ShortcutData& data, std::ostream* out) {
    *out << "{url \"" << data.url << "\", folder \"" << data.folder << "\", type " << data.type
         << ", update " << data.updateOnly << "}";
}

namespace {

using namespace std::string_literals;

ShortcutData Shortcut(std::string url, std::string folder, int type, bool updateOnly) {
    ShortcutData data;
    data.url = std::move(url);
    data.folder = std::move(folder);
    data.type = type;
    data.updateOnly = updateOnly;
    return data;
}

TEST(ShortcutFile, FullShortcutIsFiveLinesJoinedBySingleLineFeeds) {
    test::TempFolder folder;
    const std::string path = folder.path("site.qvex");
    const ShortcutData data = Shortcut("ftp://user@ftp.example.org/pub/", "/home/me/in", 3, true);
    ASSERT_TRUE(WriteShortcutFile(path, data));
    EXPECT_EQ(test::ReadFileBytes(path),
              "[QvexShortcut]\nURL=ftp://user@ftp.example.org/pub/\nXDir=/home/me/in\nXMode=x\n"
              "Update=1");
    EXPECT_EQ(ReadShortcutFile(path), data);
}

TEST(ShortcutFile, WritesOnlyTheLinesThatSaySomething) {
    struct Row {
        const char* what;
        ShortcutData data;
        std::string text;
    };
    const std::vector<Row> rows = {
        {"nothing set", Shortcut("", "", 0, false), "[QvexShortcut]"},
        {"URL only", Shortcut("ftp://h/", "", 0, false), "[QvexShortcut]\nURL=ftp://h/"},
        {"folder and text type", Shortcut("", "/tmp", 1, false),
         "[QvexShortcut]\nXDir=/tmp\nXMode=a"},
        {"image type", Shortcut("", "", 2, false), "[QvexShortcut]\nXMode=i"},
        {"Update-ONLY alone", Shortcut("", "", 0, true), "[QvexShortcut]\nUpdate=1"},
        {"a type out of range writes no XMode", Shortcut("u", "", 4, false),
         "[QvexShortcut]\nURL=u"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ShortcutText(row.data), row.text);
    }
}

TEST(ShortcutFile, ReadsLinesOfEveryForm) {
    struct Row {
        const char* what;
        std::string bytes;
        ShortcutData data;
    };
    const std::vector<Row> rows = {
        {"LF lines", "[QvexShortcut]\nURL=ftp://h/d/\nXDir=/in\nXMode=i\nUpdate=1",
         Shortcut("ftp://h/d/", "/in", 2, true)},
        {"CR LF lines with a final line end",
         "[QvexShortcut]\r\nURL=ftp://h/d/\r\nXDir=/in\r\nXMode=i\r\nUpdate=1\r\n",
         Shortcut("ftp://h/d/", "/in", 2, true)},
        {"URL after XMode", "[QvexShortcut]\nXMode=a\nUpdate=1\nURL=ftp://h/",
         Shortcut("ftp://h/", "", 1, true)},
        {"runs of line ends and blank lines", "[QvexShortcut]\r\r\n\n\nXMode=x\n\r\nURL=u\r",
         Shortcut("u", "", 3, false)},
        {"header alone", "[QvexShortcut]", Shortcut("", "", 0, false)},
        {"empty file", "", Shortcut("", "", 0, false)},
        {"XMode with another letter", "[QvexShortcut]\nXMode=q", Shortcut("", "", 0, false)},
        {"XMode letters are lower case", "[QvexShortcut]\nXMode=I", Shortcut("", "", 0, false)},
        {"XMode with nothing", "[QvexShortcut]\nXMode=", Shortcut("", "", 0, false)},
        {"XMode takes only its first letter", "[QvexShortcut]\nXMode=image",
         Shortcut("", "", 2, false)},
        {"Update=0 is off", "[QvexShortcut]\nUpdate=0", Shortcut("", "", 0, false)},
        {"Update= is off", "[QvexShortcut]\nUpdate=", Shortcut("", "", 0, false)},
        {"Update checks only its eighth character", "[QvexShortcut]\nUpdate=10",
         Shortcut("", "", 0, true)},
        {"later line wins", "[QvexShortcut]\nURL=a\nXMode=x\nUpdate=1\nURL=b\nXMode=z\nUpdate=0",
         Shortcut("b", "", 0, false)},
        {"an empty later URL clears it", "[QvexShortcut]\nURL=a\nURL=", Shortcut("", "", 0, false)},
        {"values keep equals signs and spaces", "[QvexShortcut]\nURL=ftp://h/a=b \nXDir= /x y",
         Shortcut("ftp://h/a=b ", " /x y", 0, false)},
        {"names are case-sensitive and must begin the line",
         "[QvexShortcut]\nurl=a\n URL=b\nxdir=/c\nUPDATE=1", Shortcut("", "", 0, false)},
        {"text on the header line is not a line of its own", "[QvexShortcut]URL=a\nXDir=/d",
         Shortcut("", "/d", 0, false)},
        {"8-bit bytes pass through", "[QvexShortcut]\nXDir=/caf\xe9",
         Shortcut("", "/caf\xe9", 0, false)},
        {"a NUL is an ordinary byte", "[QvexShortcut]\nURL=a\0b"s, Shortcut("a\0b"s, "", 0, false)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ReadShortcutText(row.bytes), row.data);
    }
}

TEST(ShortcutFile, TextWithoutTheHeaderGivesNothing) {
    for (const std::string& bytes :
         {"[QvexShortcut"s, "x"s, "\n"s, "[qvexshortcut]\nURL=a"s, "\n[QvexShortcut]\nURL=a"s,
          " [QvexShortcut]\nURL=a"s, "URL=ftp://h/\n[QvexShortcut]"s, "[QvexShortcu]\nURL=a"s}) {
        SCOPED_TRACE(bytes);
        EXPECT_FALSE(ReadShortcutText(bytes).has_value());
    }
}

TEST(ShortcutFile, FilesThatCannotBeReadGiveNothing) {
    test::TempFolder folder;
    EXPECT_FALSE(ReadShortcutFile(folder.path("missing.qvex")).has_value());
    EXPECT_FALSE(ReadShortcutFile(folder.root()).has_value());
    test::WriteFileBytes(folder.path("short.qvex"), "[QvexShortcut");
    EXPECT_FALSE(ReadShortcutFile(folder.path("short.qvex")).has_value());
    test::WriteFileBytes(folder.path("empty.qvex"), "");
    EXPECT_EQ(ReadShortcutFile(folder.path("empty.qvex")), ShortcutData{});
}

TEST(ShortcutFile, LargeFileReadsToTheEnd) {
    test::TempFolder folder;
    const std::string url = "ftp://h/" + std::string(10000, 'd') + "/";
    test::WriteFileBytes(folder.path("long.qvex"),
                         "[QvexShortcut]\r\n" + std::string(5000, '\n') + "URL=" + url);
    EXPECT_EQ(ReadShortcutFile(folder.path("long.qvex")), Shortcut(url, "", 0, false));
}

// A shortcut is a small regular file: devices that never end, pipes that would block and
// large files are refused unread.
TEST(ShortcutFile, OnlySmallRegularFilesAreRead) {
    test::TempFolder folder;
    const std::string head = "[QvexShortcut]\nURL=ftp://h/\n";
    const std::string atLimit = folder.path("at-limit.qvex");
    test::WriteFileBytes(atLimit, head + std::string(kMaxShortcutFileSize - head.size(), '\n'));
    EXPECT_EQ(ReadShortcutFile(atLimit), Shortcut("ftp://h/", "", 0, false));
    const std::string overLimit = folder.path("over-limit.qvex");
    test::WriteFileBytes(overLimit,
                         head + std::string(kMaxShortcutFileSize + 1 - head.size(), '\n'));
    EXPECT_FALSE(ReadShortcutFile(overLimit).has_value());

    const std::string pipe = folder.path("pipe.qvex");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    for (const std::string& path : {std::string("/dev/zero"), std::string("/dev/null"), pipe}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(ReadShortcutFile(path).has_value());
    }
}

TEST(ShortcutFile, WritingTruncatesAndFailsWithoutAFolder) {
    test::TempFolder folder;
    const std::string path = folder.path("site.qvex");
    test::WriteFileBytes(path, "[QvexShortcut]\nURL=ftp://a.long.old.name.example/\nXDir=/old");
    ASSERT_TRUE(WriteShortcutFile(path, Shortcut("ftp://h/", "", 0, false)));
    EXPECT_EQ(test::ReadFileBytes(path), "[QvexShortcut]\nURL=ftp://h/");
    EXPECT_FALSE(WriteShortcutFile(folder.path("no/such/folder/site.qvex"), ShortcutData{}));
    EXPECT_FALSE(WriteShortcutFile(folder.root(), ShortcutData{}));
}

}  // namespace
}  // namespace qvex
