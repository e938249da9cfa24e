#include "sums/sums_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "sums/test_bytes.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

using namespace std::string_literals;

const std::string kMd5(32, 'a');
const std::string kSha1(40, 'b');
const std::string kSha256(64, 'c');
const std::string kSha512(128, 'd');

std::vector<SumsLine> ReadAll(const std::string& text, HashAlgorithm requested,
                              HashAlgorithm* algorithm = nullptr) {
    SumsFileReader reader(requested);
    reader.Feed(text);
    reader.Finish();
    if (algorithm != nullptr) {
        *algorithm = reader.algorithm();
    }
    return reader.TakeLines();
}

TEST(MatchSumsLine, LinesThatParse) {
    struct Row {
        std::string what;
        std::string line;
        std::string digest;
        std::string name;
    };
    const std::vector<Row> rows = {
        {"coreutils text mode", kMd5 + "  empty.txt", kMd5, "empty.txt"},
        {"coreutils binary marker", kMd5 + " *bin.dat", kMd5, "bin.dat"},
        {"upper-case digest kept as written", "D41D8CD98F00B204E9800998ECF8427E  UP.TXT",
         "D41D8CD98F00B204E9800998ECF8427E", "UP.TXT"},
        {"one space", kSha1 + " name with spaces.txt", kSha1, "name with spaces.txt"},
        {"sub-folders", kSha256 + "  sub/dir/file", kSha256, "sub/dir/file"},
        {"trailing space is part of the name", kMd5 + "  trailing ", kMd5, "trailing "},
        {"a lone star is a name", kMd5 + " *", kMd5, "*"},
        {"tagged MD5", "MD5 (file.txt) = " + kMd5, kMd5, "file.txt"},
        {"tagged SHA1 with parentheses in the name", "SHA1 (a (1).txt) = " + kSha1, kSha1,
         "a (1).txt"},
        {"tagged SHA2", "SHA2 (x y) = " + kSha512, kSha512, "x y"},
        {"tagged lower case without spaces", "md5(x)=" + kMd5, kMd5, "x"},
        {"tagged, blank inside the parentheses", "SHA2 ( spaced ) = " + kSha256, kSha256,
         "spaced "},
        {"digest after other text", "note: " + kMd5 + "  name", kMd5, "name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::optional<SumsLine> match = MatchSumsLine(row.line);
        ASSERT_TRUE(match.has_value());
        EXPECT_EQ(match->digest, row.digest);
        EXPECT_EQ(match->name, row.name);
    }
}

TEST(MatchSumsLine, LinesThatDoNotParse) {
    struct Row {
        std::string what;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"comment", "# md5sums of the release"},
        {"31 digits", std::string(31, 'a') + "  name"},
        {"digest without a name", kMd5},
        {"digest and blanks", kMd5 + "   "},
        {"coreutils --tag of SHA-256 (not a form of these files)", "SHA256 (file) = " + kSha256},
        {"tag without digest", "MD5 (file) = xyz"},
        {"digest not followed by a blank", kMd5 + "name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(MatchSumsLine(row.line).has_value());
    }
}

TEST(SumsFileReader, FirstValidLineDecidesTheAlgorithmUnlessOneIsAsked) {
    std::string text = "garbage\n" + std::string(33, 'e') + "  odd length\n" + kSha1 +
                       "  first.bin\n" + kMd5 + "  second.bin\n" + std::string(48, 'f') + "  c\n";
    const std::vector<SumsLine> valid = {{kSha1, "first.bin"}, {kMd5, "second.bin"}};
    HashAlgorithm algorithm;
    EXPECT_EQ(ReadAll(text, HashAlgorithm::None, &algorithm), valid);
    EXPECT_EQ(algorithm, HashAlgorithm::Sha1);
    EXPECT_EQ(ReadAll(text, HashAlgorithm::Md5, &algorithm), valid);
    EXPECT_EQ(algorithm, HashAlgorithm::Md5);
    EXPECT_TRUE(ReadAll("nothing\r\n\x01\n", HashAlgorithm::None, &algorithm).empty());
    EXPECT_EQ(algorithm, HashAlgorithm::None);
}

TEST(SumsFileReader, A128DigitFileIsSha512UnlessWhirlpoolIsAsked) {
    std::string text = kSha512 + "  big.iso\n";
    HashAlgorithm algorithm;
    EXPECT_EQ(ReadAll(text, HashAlgorithm::None, &algorithm).size(), 1u);
    EXPECT_EQ(algorithm, HashAlgorithm::Sha512);
    EXPECT_EQ(ReadAll(text, HashAlgorithm::Whirlpool, &algorithm).size(), 1u);
    EXPECT_EQ(algorithm, HashAlgorithm::Whirlpool);
}

TEST(SumsFileReader, LineEnds) {
    struct Row {
        std::string what;
        std::string text;
        std::vector<SumsLine> expected;
    };
    const std::vector<Row> rows = {
        {"LF", kMd5 + "  a\n" + kMd5 + "  b\n", {{kMd5, "a"}, {kMd5, "b"}}},
        {"CR LF", kMd5 + "  a\r\n" + kMd5 + "  b\r\n", {{kMd5, "a"}, {kMd5, "b"}}},
        {"last line without a line end", kMd5 + "  a\n" + kMd5 + "  b", {{kMd5, "a"}, {kMd5, "b"}}},
        {"last line ends in CR only", kMd5 + "  a\r", {{kMd5, "a"}}},
        {"a CR inside a name stays", kMd5 + "  a\rb\n", {{kMd5, "a\rb"}}},
        {"blank lines", "\n\r\n" + kMd5 + "  a\n\n", {{kMd5, "a"}}},
        {"lone CRs do not end lines",
         kMd5 + "  a\r" + kMd5 + "  b\n",
         {{kMd5, "a\r" + kMd5 + "  b"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ReadAll(row.text, HashAlgorithm::None), row.expected);
    }
}

TEST(SumsFileReader, OverLongLinesAreCutAndTheirRestDropped) {
    // 32 digits, two blanks and a name: 395 characters exactly.
    std::string fits(395 - 34, 'n');
    // The part beyond the limit looks like a line of its own; it must not become one.
    std::string tail = kMd5 + "  smuggled";
    std::string longName = std::string(400, 'x') + tail;
    std::string text =
        kMd5 + "  " + fits + "\r\n" + kMd5 + "  " + longName + "\n" + kMd5 + "  next\n";
    std::vector<SumsLine> lines = ReadAll(text, HashAlgorithm::None);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].name, fits);
    EXPECT_EQ(lines[1].name, longName.substr(0, 395 - 34));
    EXPECT_EQ(lines[2].name, "next");
}

TEST(SumsFileReader, LinesWithNulBytesAreSkipped) {
    std::string text =
        kMd5 + "  real\0tail\n"s + kMd5 + "  \xff\xfe binary\n" + "\0\0\0\n"s + kMd5 + "  after\0"s;
    std::vector<SumsLine> lines = ReadAll(text, HashAlgorithm::None);
    EXPECT_EQ(lines, (std::vector<SumsLine>{{kMd5, "\xff\xfe binary"}}));
}

TEST(SumsFileReader, GivesTheSameLinesWhateverThePieces) {
    std::string text = "junk\r\n" + kSha1 + " *a b\r\n" + kMd5 + "  " + std::string(420, 'q') +
                       "\nMD5 (t) = " + kMd5 + "\r\n" + "x\0y\n"s + kSha1 + "  end";
    std::vector<SumsLine> whole = ReadAll(text, HashAlgorithm::None);
    ASSERT_EQ(whole.size(), 4u);
    for (size_t piece = 1; piece <= text.size(); ++piece) {
        SCOPED_TRACE(piece);
        SumsFileReader reader(HashAlgorithm::None);
        for (size_t at = 0; at < text.size(); at += piece) {
            reader.Feed(std::string_view(text).substr(at, piece));
        }
        reader.Finish();
        ASSERT_EQ(reader.lines(), whole);
        ASSERT_EQ(reader.algorithm(), HashAlgorithm::Sha1);
    }
}

TEST(ReadSumsFile, ReadsARegularFileOnly) {
    test::TempFolder folder;
    test::WriteFileBytes(folder.path("sums"), kMd5 + "  a\r\n" + kMd5 + "  b\r\n");
    std::optional<SumsFileContent> content = ReadSumsFile(folder.path("sums"), HashAlgorithm::None);
    ASSERT_TRUE(content.has_value());
    EXPECT_EQ(content->algorithm, HashAlgorithm::Md5);
    EXPECT_EQ(content->lines, (std::vector<SumsLine>{{kMd5, "a"}, {kMd5, "b"}}));

    EXPECT_FALSE(ReadSumsFile(folder.path("missing"), HashAlgorithm::None).has_value());
    EXPECT_FALSE(ReadSumsFile(folder.root(), HashAlgorithm::None).has_value());
    // A FIFO would block a reader for ever.
    ASSERT_EQ(::mkfifo(folder.path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(ReadSumsFile(folder.path("fifo"), HashAlgorithm::None).has_value());
}

}  // namespace
}  // namespace qvex
