// The extension's ".qvex" reader and writer against the program's own: the same readings of
// every row, the same bytes written, and the C object's lazy reading and immediate saving.
#include "shellext/shortcut_object.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "state/startup/shortcut_file.h"
#include "tests/support/temp_env.h"

namespace {

using qvex::shellext::ShortcutFields;

std::optional<ShortcutFields> Fields(const std::optional<qvex::ShortcutData>& data) {
    if (!data) {
        return std::nullopt;
    }
    return ShortcutFields{data->url, data->folder, data->type, data->updateOnly};
}

const std::string kHeader = "[QvexShortcut]";

struct ReadRow {
    const char* what;
    std::string bytes;
    std::optional<ShortcutFields> expected;
};

TEST(ShortcutObject, ReadsEveryRowAsTheProgramDoes) {
    const ReadRow rows[] = {
        {"empty file: an empty shortcut", "", ShortcutFields{}},
        {"header only", kHeader, ShortcutFields{}},
        {"13 bytes of the header", kHeader.substr(0, 13), std::nullopt},
        {"short foreign text", "URL=ftp://a/", std::nullopt},
        {"header in lower case", "[qvexshortcut]\nURL=ftp://a/", std::nullopt},
        {"leading line end", "\n" + kHeader + "\nURL=ftp://a/", std::nullopt},
        {"binary", std::string("\0\x01\xff[QvexShortcut]", 17), std::nullopt},
        {"all five lines, LF", kHeader + "\nURL=ftp://h/d/\nXDir=/tmp/in\nXMode=x\nUpdate=1",
         ShortcutFields{"ftp://h/d/", "/tmp/in", 3, true}},
        {"CR LF and runs of both",
         kHeader + "\r\n\r\n\rURL=ftp://h/\r\r\nXMode=a\n\n\r\nUpdate=1\r\n",
         ShortcutFields{"ftp://h/", "", 1, true}},
        {"URL after XMode", kHeader + "\nXMode=i\nURL=ftp://h/",
         ShortcutFields{"ftp://h/", "", 2, false}},
        {"later lines win",
         kHeader + "\nURL=ftp://one/\nXMode=x\nUpdate=1\nURL=ftp://two/\nXMode=q\nUpdate=0",
         ShortcutFields{"ftp://two/", "", 0, false}},
        {"XMode without letter, Update without digit",
         kHeader + "\nXMode=\nUpdate=", ShortcutFields{}},
        {"upper-case letter is no type", kHeader + "\nXMode=X", ShortcutFields{}},
        {"only the seventh character counts", kHeader + "\nXMode=image\nUpdate=12",
         ShortcutFields{"", "", 2, true}},
        {"header glued to a line", kHeader + "URL=ftp://h/\nXDir=a=b",
         ShortcutFields{"", "a=b", 0, false}},
        {"empty values", kHeader + "\nURL=\nXDir=", ShortcutFields{}},
        {"keys are case-sensitive", kHeader + "\nurl=ftp://h/\nxdir=/x", ShortcutFields{}},
        {"NUL and high bytes kept", kHeader + std::string("\nURL=ftp://h/\0\xe9", 15),
         ShortcutFields{std::string("ftp://h/\0\xe9", 10), "", 0, false}},
    };
    for (const ReadRow& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(qvex::shellext::ParseShortcut(row.bytes), row.expected);
        EXPECT_EQ(Fields(qvex::ReadShortcutText(row.bytes)), row.expected);
    }
}

TEST(ShortcutObject, ReadsFilesAsTheProgramDoes) {
    qvex::test::TempFolder folder;
    const std::string path = folder.path("x.qvex");
    struct FileRow {
        const char* what;
        std::string bytes;
        bool readable;
    };
    const std::string big = kHeader + "\nURL=ftp://h/" + std::string(65536, 'a');
    const FileRow rows[] = {
        {"empty", "", true},
        {"exactly the limit", kHeader + "\nXDir=" + std::string(65536 - 20, 'd'), true},
        {"one byte past the limit", kHeader + "\nXDir=" + std::string(65536 - 19, 'd'), false},
        {"huge", big, false},
        {"random bytes", qvex::test::RandomBytes(4000, 7), false},
    };
    for (const FileRow& row : rows) {
        SCOPED_TRACE(row.what);
        qvex::test::WriteFileBytes(path, row.bytes);
        std::optional<ShortcutFields> ours = qvex::shellext::ReadShortcut(path);
        EXPECT_EQ(ours.has_value(), row.readable);
        EXPECT_EQ(ours, Fields(qvex::ReadShortcutFile(path)));
    }
    // Neither a folder, a missing file nor a pipe (which would block) is read.
    ::mkfifo(folder.path("pipe.qvex").c_str(), 0600);
    for (const char* name : {"", "missing.qvex", "pipe.qvex"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(qvex::shellext::ReadShortcut(folder.path(name)), std::nullopt);
        EXPECT_EQ(qvex::ReadShortcutFile(folder.path(name)), std::nullopt);
    }
}

TEST(ShortcutObject, WritesTheProgramsBytes) {
    qvex::test::TempFolder folder;
    struct WriteRow {
        ShortcutFields fields;
        std::string bytes;
    };
    const WriteRow rows[] = {
        {{}, kHeader},
        {{"ftp://u@h/d/", "/home/me/in", 3, true},
         kHeader + "\nURL=ftp://u@h/d/\nXDir=/home/me/in\nXMode=x\nUpdate=1"},
        {{"", "/x", 1, false}, kHeader + "\nXDir=/x\nXMode=a"},
        {{"ftp://h/", "", 2, false}, kHeader + "\nURL=ftp://h/\nXMode=i"},
        {{"", "", 0, true}, kHeader + "\nUpdate=1"},
    };
    for (const WriteRow& row : rows) {
        SCOPED_TRACE(row.bytes);
        const qvex::ShortcutData data{row.fields.url, row.fields.folder, row.fields.type,
                                      row.fields.updateOnly};
        EXPECT_EQ(qvex::shellext::FormatShortcut(row.fields), row.bytes);
        EXPECT_EQ(qvex::ShortcutText(data), row.bytes);
        // Over a longer file, which must be cut to the new bytes.
        const std::string ours = folder.path("ours.qvex");
        const std::string theirs = folder.path("theirs.qvex");
        qvex::test::WriteFileBytes(ours, std::string(300, 'z'));
        ASSERT_TRUE(qvex::shellext::WriteShortcut(ours, row.fields));
        ASSERT_TRUE(qvex::WriteShortcutFile(theirs, data));
        EXPECT_EQ(qvex::test::ReadFileBytes(ours), qvex::test::ReadFileBytes(theirs));
        EXPECT_EQ(qvex::shellext::ReadShortcut(ours), row.fields);
    }
    EXPECT_FALSE(qvex::shellext::WriteShortcut(folder.path("no/such/folder.qvex"), {}));
}

std::string Taken(char* text) {
    std::string copy = text == nullptr ? "(null)" : text;
    QvexShortcutFreeText(text);
    return copy;
}

TEST(ShortcutObject, CObjectReadsLazilyAndSavesAtOnce) {
    qvex::test::TempFolder folder;
    const std::string path = folder.path("site.qvex");
    qvex::test::WriteFileBytes(path, kHeader + "\r\nURL=ftp://h/\r\nXMode=i\r\n");
    QvexShortcut* shortcut = QvexShortcutCreate();
    ASSERT_NE(shortcut, nullptr);
    ASSERT_EQ(QvexShortcutLoad(shortcut, path.c_str()), QVEX_SHORTCUT_OK);
    // Read at the first access, not at Load.
    qvex::test::WriteFileBytes(path, kHeader + "\nURL=ftp://later/\nXDir=/d\nUpdate=1");
    EXPECT_EQ(Taken(QvexShortcutGetURL(shortcut)), "ftp://later/");
    EXPECT_EQ(Taken(QvexShortcutGetTransferDir(shortcut)), "/d");
    EXPECT_EQ(QvexShortcutGetTransferType(shortcut), 0);
    EXPECT_EQ(QvexShortcutGetUpdateMode(shortcut), 1);

    // Out-of-range values fail and change nothing; setters leave the file alone.
    EXPECT_EQ(QvexShortcutSetTransferType(shortcut, 4), QVEX_SHORTCUT_INVALID_ARGUMENT);
    EXPECT_EQ(QvexShortcutSetTransferType(shortcut, -1), QVEX_SHORTCUT_INVALID_ARGUMENT);
    EXPECT_EQ(QvexShortcutSetUpdateMode(shortcut, 2), QVEX_SHORTCUT_INVALID_ARGUMENT);
    EXPECT_EQ(QvexShortcutGetTransferType(shortcut), 0);
    EXPECT_EQ(QvexShortcutGetUpdateMode(shortcut), 1);
    EXPECT_EQ(QvexShortcutSetTransferType(shortcut, 3), QVEX_SHORTCUT_OK);
    EXPECT_EQ(QvexShortcutSetURL(shortcut, "ftp://new/"), QVEX_SHORTCUT_OK);
    EXPECT_EQ(qvex::test::ReadFileBytes(path), kHeader + "\nURL=ftp://later/\nXDir=/d\nUpdate=1");

    // Save writes at once: to a new name, and then to the current name.
    const std::string copy = folder.path("copy.qvex");
    ASSERT_EQ(QvexShortcutSave(shortcut, copy.c_str()), QVEX_SHORTCUT_OK);
    EXPECT_EQ(qvex::test::ReadFileBytes(copy),
              kHeader + "\nURL=ftp://new/\nXDir=/d\nXMode=x\nUpdate=1");
    EXPECT_EQ(QvexShortcutSetUpdateMode(shortcut, 0), QVEX_SHORTCUT_OK);
    ASSERT_EQ(QvexShortcutSave(shortcut, nullptr), QVEX_SHORTCUT_OK);
    EXPECT_EQ(qvex::ReadShortcutFile(copy), (qvex::ShortcutData{"ftp://new/", "/d", 3, false}));
    EXPECT_EQ(QvexShortcutSave(shortcut, folder.path("none/x.qvex").c_str()),
              QVEX_SHORTCUT_NOT_WRITTEN);

    // A file that cannot be read gives empty fields and is tried again at the next access,
    // but never over a value set since.
    const std::string later = folder.path("later.qvex");
    ASSERT_EQ(QvexShortcutLoad(shortcut, later.c_str()), QVEX_SHORTCUT_OK);
    EXPECT_EQ(Taken(QvexShortcutGetURL(shortcut)), "");
    qvex::test::WriteFileBytes(later, kHeader + "\nURL=ftp://appeared/");
    EXPECT_EQ(Taken(QvexShortcutGetURL(shortcut)), "ftp://appeared/");
    ASSERT_EQ(QvexShortcutLoad(shortcut, folder.path("gone.qvex").c_str()), QVEX_SHORTCUT_OK);
    EXPECT_EQ(QvexShortcutSetTransferDir(shortcut, "/kept"), QVEX_SHORTCUT_OK);
    qvex::test::WriteFileBytes(folder.path("gone.qvex"), kHeader + "\nXDir=/other");
    EXPECT_EQ(Taken(QvexShortcutGetTransferDir(shortcut)), "/kept");
    QvexShortcutDestroy(shortcut);
}

}  // namespace
