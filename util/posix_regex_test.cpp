#include "util/posix_regex.h"

#include <gtest/gtest.h>

namespace qvex {
namespace {

TEST(PosixRegex, CapturesOfTheFirstMatch) {
    PosixRegex pasv(
        "([[:digit:]]+),([[:digit:]]+),([[:digit:]]+),([[:digit:]]+),([[:digit:]]+),([[:digit:]]+"
        ")");
    ASSERT_TRUE(pasv.compiled());
    auto captures = pasv.Search("227 Entering Passive Mode (192,168,1,2,19,137). 1,2,3,4,5,6");
    ASSERT_EQ(captures.size(), 7u);
    EXPECT_EQ(captures[0], "192,168,1,2,19,137");
    EXPECT_EQ(captures[1], "192");
    EXPECT_EQ(captures[6], "137");
    EXPECT_TRUE(pasv.Search("227 Entering Passive Mode (1,2,3,4,5)").empty());
}

TEST(PosixRegex, GroupsThatTookNoPartAreAbsent) {
    PosixRegex optional("a(b)?(c)");
    auto captures = optional.Search("xac");
    ASSERT_EQ(captures.size(), 3u);
    EXPECT_FALSE(captures[1].has_value());
    EXPECT_EQ(captures[2], "c");
}

TEST(PosixRegex, UnanchoredUnlessThePatternAnchors) {
    struct Row {
        const char* pattern;
        const char* text;
        bool matches;
    };
    const Row rows[] = {
        {".+\\.(?:PDF|pdf)$", "manual.pdf", true},
        {".+\\.(?:PDF|pdf)$", "manual.Pdf", false},
        {".+\\.(?:PDF|pdf)$", ".pdf", false},
        {"\"([^\"]+)\"", "257 \"/pub\" is current directory", true},
        {"^Xfer$", "Xfer", true},
        {"^Xfer$", "XferX", false},
        {"fer", "Xfer", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.pattern) + " ~ " + row.text);
        PosixRegex regex(row.pattern);
        ASSERT_TRUE(regex.compiled());
        EXPECT_EQ(regex.Matches(row.text), row.matches);
    }
}

TEST(PosixRegex, TextWithNulBytesIsSearchedWhole) {
    PosixRegex regex("b+$");
    EXPECT_EQ(regex.Search(std::string_view("a\0bb", 4)).at(0), "bb");
}

TEST(PosixRegex, BadPatternDoesNotCompileAndMatchesNothing) {
    PosixRegex regex("(unclosed");
    EXPECT_FALSE(regex.compiled());
    EXPECT_FALSE(regex.Matches("(unclosed"));
    EXPECT_FALSE(regex.Compile(nullptr));
}

}  // namespace
}  // namespace qvex
