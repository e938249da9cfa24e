#include "log/log_line_class.h"

#include <gtest/gtest.h>

namespace qvex {
namespace {

TEST(LogLineClass, ClassComesFromThePrefixAlone) {
    struct Row {
        const char* line;
        int expected;
    };
    const Row rows[] = {
        {"<USER anonymous", 6},
        {"<PASS ****", 6},
        {"<", 6},
        {">150 Opening BINARY mode data connection", 1},
        {">226 Transfer complete", 2},
        {">331 Password required", 3},
        {">421 Timeout", 4},
        {">550 No such file", 5},
        {">", 2},
        {"> continuation of a multi-line reply", 2},
        {">x", 2},
        {">6 not a reply digit", 2},
        {">0 not a reply digit", 2},
        {"!!! Folder failed to update - use Refresh.", 7},
        {"@@@ Unable to create local file", 7},
        {"!", 7},
        {"*** Connect failed", 0},
        {"... 1.50 KB received", 0},
        {"DELETEing /pub/old.txt", 0},
        {"", 0},
        {" <leading space is not a command", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(LogLineClass(row.line), row.expected);
    }
}

TEST(LogLineClass, KeyListsEightSwatchesInDisplayOrderWithTheirColours) {
    const int order[] = {6, 1, 2, 3, 4, 5, 0, 7};
    for (size_t index = 0; index < kLogColorKey.size(); ++index) {
        EXPECT_EQ(kLogColorKey[index].logClass, order[index]);
    }
    EXPECT_STREQ(kLogColorKey[7].tooltip, "Important NON-FTP errors and failures (from Qvex)");
    const LogClassColor command = kLogClassColors[kLogClassCommand];
    EXPECT_EQ(command.red, 196);
    EXPECT_EQ(command.green, 196);
    EXPECT_EQ(command.blue, 248);
    const LogClassColor important = kLogClassColors[kLogClassImportant];
    EXPECT_EQ(important.red, 255);
    EXPECT_EQ(important.green, 230);
    EXPECT_EQ(important.blue, 205);
    EXPECT_EQ(kLogClassColors[kLogClassHeader].red, 247);
}

}  // namespace
}  // namespace qvex
