#include "transfer/text_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_env.h"

namespace qvex {
namespace {

using namespace std::string_literals;

// Keeps what was written, each write on its own, and can fail from a given write on.
class RecordingSink final : public ByteSink {
  public:
    bool Write(const char* bytes, size_t n) override {
        if (writes.size() >= failFrom) {
            return false;
        }
        writes.emplace_back(bytes, n);
        return true;
    }
    std::string bytes() const {
        std::string all;
        for (const std::string& write : writes) {
            all += write;
        }
        return all;
    }
    std::vector<std::string> writes;
    size_t failFrom = SIZE_MAX;
};

EffectiveType Detect(const std::string& block) {
    return detectTextKind(block.data(), block.size());
}

// The whole input fed in blocks of `blockSize` bytes through one conversion.
std::string ConvertInBlocks(const std::string& input, EffectiveType type, size_t blockSize) {
    RecordingSink sink;
    TextConversion conversion{type};
    for (size_t at = 0; at < input.size(); at += blockSize) {
        size_t n = std::min(blockSize, input.size() - at);
        EXPECT_TRUE(writeConverted(sink, input.data() + at, n, conversion));
    }
    EXPECT_TRUE(finishConverted(sink, conversion));
    return sink.bytes();
}

TEST(DetectTextKind, ClassifiesByLineEndsAndBytes) {
    struct Row {
        const char* what;
        std::string block;
        EffectiveType expected;
    };
    const std::vector<Row> rows = {
        {"empty block", "", EffectiveType::Image},
        {"printable text without a line end", "just some words", EffectiveType::Image},
        {"CR LF lines", "one\r\ntwo\r\n", EffectiveType::DosAscii},
        {"LF lines", "one\ntwo\n", EffectiveType::LocalAscii},
        {"CR lines", "one\rtwo\r", EffectiveType::MacAscii},
        {"CR LF then LF", "one\r\ntwo\n", EffectiveType::Image},
        {"CR LF then CR", "one\r\ntwo\rthree", EffectiveType::Image},
        {"LF then CR", "one\ntwo\rthree", EffectiveType::Image},
        {"all three kinds", "a\r\nb\nc\rd", EffectiveType::Image},
        {"only CR is the last byte", "one\ntwo\r", EffectiveType::LocalAscii},
        {"ends inside a CR LF pair", "one\r\ntwo\r", EffectiveType::DosAscii},
        {"a lone final CR", "\r", EffectiveType::Image},
        {"CR CR", "\r\r", EffectiveType::MacAscii},
        {"LF at the start", "\none", EffectiveType::LocalAscii},
        {"CR LF only", "\r\n", EffectiveType::DosAscii},
        {"LF CR LF", "\n\r\n", EffectiveType::Image},
        {"NUL byte", "one\ntw\0o\n"s, EffectiveType::Image},
        {"control byte 0x01", "one\n\x01two\n", EffectiveType::Image},
        {"8-bit text", "caf\xe9\nd\xe9j\xe0\n", EffectiveType::Image},
        {"UTF-8 text", "caf\xc3\xa9\r\n", EffectiveType::Image},
        {"binary after text lines", "one\ntwo\n\x06", EffectiveType::Image},
        {"bell, backspace, tab, VT, FF, ESC, DEL", "\a\b\t\v\f\x1b\x7f\n",
         EffectiveType::LocalAscii},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Detect(row.block), row.expected);
    }
}

TEST(DetectTextKind, BytesSevenToOneTwentySevenAreText) {
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        std::string block = "x" + std::string(1, static_cast<char>(value)) + "\n";
        EffectiveType expected = EffectiveType::LocalAscii;
        if (value < 7 || value > 127) {
            expected = EffectiveType::Image;
        } else if (value == '\r') {
            expected = EffectiveType::DosAscii;
        }
        EXPECT_EQ(Detect(block), expected);
    }
}

TEST(EffectiveTypeName, GivesTheLoggedNames) {
    EXPECT_STREQ(effectiveTypeName(EffectiveType::Image), "Image");
    EXPECT_STREQ(effectiveTypeName(EffectiveType::LocalAscii), "Local-ASCII");
    EXPECT_STREQ(effectiveTypeName(EffectiveType::DosAscii), "DOS-ASCII");
    EXPECT_STREQ(effectiveTypeName(EffectiveType::MacAscii), "Mac-ASCII");
    EXPECT_STREQ(effectiveTypeName(static_cast<EffectiveType>(7)), "Image");
}

struct ConversionRow {
    const char* what;
    EffectiveType type;
    std::string input;
    std::string expected;
};

const std::vector<ConversionRow>& ConversionRows() {
    static const std::vector<ConversionRow> rows = {
        {"image keeps every byte", EffectiveType::Image, "a\r\nb\nc\rd\0\xff"s,
         "a\r\nb\nc\rd\0\xff"s},
        {"local text keeps every byte", EffectiveType::LocalAscii, "a\r\nb\nc\r", "a\r\nb\nc\r"},
        {"CR LF lines", EffectiveType::DosAscii, "one\r\ntwo\r\n", "one\ntwo\n"},
        {"CR LF only", EffectiveType::DosAscii, "\r\n\r\n\r\n", "\n\n\n"},
        {"CR LF file without a line end", EffectiveType::DosAscii, "no end", "no end"},
        {"CR LF file with a lone LF", EffectiveType::DosAscii, "a\nb\r\n", "a\nb\n"},
        {"CR LF file with a lone CR", EffectiveType::DosAscii, "a\rb\r\nc\r", "a\rb\nc\r"},
        {"CR LF file with CR CR LF", EffectiveType::DosAscii, "a\r\r\nb", "a\r\nb"},
        {"CR LF file ending in CR CR", EffectiveType::DosAscii, "a\r\r", "a\r\r"},
        {"CR LF file with 8-bit bytes", EffectiveType::DosAscii, "\xe9\r\n\0\r\n"s, "\xe9\n\0\n"s},
        {"CR lines", EffectiveType::MacAscii, "one\rtwo\r", "one\ntwo\n"},
        {"CR only", EffectiveType::MacAscii, "\r\r\r", "\n\n\n"},
        {"CR file with a CR LF pair", EffectiveType::MacAscii, "a\r\nb\rc", "a\nb\nc"},
        {"CR file with a lone LF", EffectiveType::MacAscii, "a\nb\r", "a\nb\n"},
        {"CR file with CR LF LF", EffectiveType::MacAscii, "\r\n\n", "\n\n"},
        {"CR file with LF CR", EffectiveType::MacAscii, "\n\r", "\n\n"},
        {"CR file with 8-bit bytes", EffectiveType::MacAscii, "\xe9\r\0"s, "\xe9\n\0"s},
    };
    return rows;
}

TEST(WriteConverted, SameBytesAtEveryBlockSize) {
    for (const ConversionRow& row : ConversionRows()) {
        for (size_t size = 1; size <= row.input.size(); ++size) {
            SCOPED_TRACE(std::string(row.what) + ", blocks of " + std::to_string(size));
            EXPECT_EQ(ConvertInBlocks(row.input, row.type, size), row.expected);
        }
    }
}

TEST(WriteConverted, SameBytesAtEverySplitPosition) {
    for (const ConversionRow& row : ConversionRows()) {
        for (size_t split = 0; split <= row.input.size(); ++split) {
            SCOPED_TRACE(std::string(row.what) + ", split at " + std::to_string(split));
            RecordingSink sink;
            TextConversion conversion{row.type};
            EXPECT_TRUE(writeConverted(sink, row.input.data(), split, conversion));
            EXPECT_TRUE(writeConverted(sink, row.input.data() + split, row.input.size() - split,
                                       conversion));
            EXPECT_TRUE(finishConverted(sink, conversion));
            EXPECT_EQ(sink.bytes(), row.expected);
        }
    }
}

TEST(WriteConverted, WholeFileFollowsTheFirstBlock) {
    const std::string first = "one\r\ntwo\r\n";
    TextConversion conversion{Detect(first)};
    ASSERT_EQ(conversion.type, EffectiveType::DosAscii);
    RecordingSink sink;
    EXPECT_TRUE(writeConverted(sink, first.data(), first.size(), conversion));
    const std::string later =
        "th\xe9"
        "e\rfour\nfive\r\n";
    EXPECT_TRUE(writeConverted(sink, later.data(), later.size(), conversion));
    EXPECT_TRUE(finishConverted(sink, conversion));
    EXPECT_EQ(sink.bytes(),
              "one\ntwo\nth\xe9"
              "e\rfour\nfive\n");
}

TEST(WriteConverted, LongInputIsComplete) {
    RecordingSink longSink;
    TextConversion mac{EffectiveType::MacAscii};
    std::string input;
    std::string expected;
    for (int line = 0; line < 9000; ++line) {
        input += std::to_string(line) + "\r";
        expected += std::to_string(line) + "\n";
    }
    input += std::string(70000, 'z');
    expected += std::string(70000, 'z');
    EXPECT_TRUE(writeConverted(longSink, input.data(), input.size(), mac));
    EXPECT_GT(longSink.writes.size(), 1u);
    EXPECT_EQ(longSink.bytes(), expected);
}

// Uploaded text: each LF goes as CR LF, wherever the blocks end.
TEST(WriteNetworkText, SameBytesAtEverySplitPosition) {
    struct Row {
        const char* what;
        std::string input;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"LF lines", "one\ntwo\n", "one\r\ntwo\r\n"},
        {"LF only", "\n\n\n", "\r\n\r\n\r\n"},
        {"no line end", "no end", "no end"},
        {"a CR LF pair stays one", "a\r\nb\n", "a\r\nb\r\n"},
        {"a lone CR is data", "a\rb\nc\r", "a\rb\r\nc\r"},
        {"CR CR LF", "a\r\r\nb", "a\r\r\nb"},
        {"8-bit bytes", "\xe9\n\0\n"s, "\xe9\r\n\0\r\n"s},
    };
    for (const Row& row : rows) {
        for (size_t split = 0; split <= row.input.size(); ++split) {
            SCOPED_TRACE(std::string(row.what) + ", split at " + std::to_string(split));
            RecordingSink sink;
            bool afterCr = false;
            EXPECT_TRUE(writeNetworkText(sink, row.input.data(), split, afterCr));
            EXPECT_TRUE(writeNetworkText(sink, row.input.data() + split, row.input.size() - split,
                                         afterCr));
            EXPECT_EQ(sink.bytes(), row.expected);
        }
    }
}

TEST(WriteNetworkText, AFullBlockIsOneWriteAndFailuresAreReported) {
    RecordingSink sink;
    bool afterCr = false;
    const std::string block(8192, '\n');
    EXPECT_TRUE(writeNetworkText(sink, block.data(), block.size(), afterCr));
    ASSERT_EQ(sink.writes.size(), 1u);
    EXPECT_EQ(sink.writes[0].size(), 16384u);

    RecordingSink failing;
    failing.failFrom = 1;
    const std::string longBlock(40000, '\n');
    EXPECT_FALSE(writeNetworkText(failing, longBlock.data(), longBlock.size(), afterCr));
    EXPECT_EQ(failing.writes.size(), 1u);
}

TEST(WriteConverted, EmptyBlockWritesNothing) {
    for (EffectiveType type : {EffectiveType::Image, EffectiveType::LocalAscii,
                               EffectiveType::DosAscii, EffectiveType::MacAscii}) {
        SCOPED_TRACE(effectiveTypeName(type));
        RecordingSink sink;
        TextConversion conversion{type};
        EXPECT_TRUE(writeConverted(sink, "", 0, conversion));
        EXPECT_TRUE(sink.writes.empty());
    }
}

TEST(WriteConverted, SinkFailureIsReported) {
    const std::string block = "a\nb\rc\r\n";
    for (EffectiveType type : {EffectiveType::Image, EffectiveType::LocalAscii,
                               EffectiveType::DosAscii, EffectiveType::MacAscii}) {
        SCOPED_TRACE(effectiveTypeName(type));
        RecordingSink sink;
        sink.failFrom = 0;
        TextConversion conversion{type};
        EXPECT_FALSE(writeConverted(sink, block.data(), block.size(), conversion));
    }
    // A failure after the first of several writes of one long block.
    RecordingSink sink;
    sink.failFrom = 1;
    TextConversion conversion{EffectiveType::DosAscii};
    std::string longBlock;
    for (int line = 0; line < 40000; ++line) {
        longBlock += "\r\n";
    }
    EXPECT_FALSE(writeConverted(sink, longBlock.data(), longBlock.size(), conversion));
    EXPECT_EQ(sink.writes.size(), 1u);
    // A held CR that cannot be written.
    RecordingSink held;
    TextConversion dos{EffectiveType::DosAscii};
    EXPECT_TRUE(writeConverted(held, "a\r", 2, dos));
    held.failFrom = held.writes.size();
    EXPECT_FALSE(finishConverted(held, dos));
}

TEST(FileSink, WritesConvertedBlocksToTheFile) {
    test::TempFolder folder;
    const std::string path = folder.path("notes.txt");
    platform::LocalFile file;
    ASSERT_TRUE(file.OpenForWriting(path));
    FileSink sink(file);
    TextConversion conversion{EffectiveType::MacAscii};
    EXPECT_TRUE(writeConverted(sink, "one\rtwo\r", 8, conversion));
    EXPECT_TRUE(writeConverted(sink, "\nthree\r", 7, conversion));
    file.Close();
    EXPECT_EQ(test::ReadFileBytes(path), "one\ntwo\nthree\n");

    // A file open for reading only takes no bytes.
    platform::LocalFile readOnly;
    ASSERT_TRUE(readOnly.OpenForReading(path));
    FileSink refusing(readOnly);
    TextConversion image{EffectiveType::Image};
    EXPECT_FALSE(writeConverted(refusing, "x", 1, image));
    readOnly.Close();
    EXPECT_EQ(test::ReadFileBytes(path), "one\ntwo\nthree\n");
}

}  // namespace
}  // namespace qvex
