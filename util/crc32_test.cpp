#include "util/crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace qvex {
namespace {

// Bit-at-a-time reference, independent of the table the implementation uses.
uint32_t SlowCrc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            uint32_t lowBit = crc & 1u;
            crc >>= 1;
            if (lowBit != 0) {
                crc ^= 0xEDB88320u;
            }
        }
    }
    return ~crc;
}

struct Vector {
    std::string input;
    uint32_t crc;
};

TEST(Crc32Test, KnownVectors) {
    const Vector vectors[] = {
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"abc", 0x352441C2u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(1, '\0'), 0xD202EF8Du},
        {std::string(32, '\0'), 0x190A55ADu},
        {std::string(32, '\xFF'), 0xFF6CAB0Bu},
    };
    for (const Vector& row : vectors) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(Crc32(row.input), row.crc);
    }
}

TEST(Crc32Test, MatchesBitwiseReferenceForEveryByteValue) {
    std::string all;
    for (int value = 0; value < 256; ++value) {
        std::string one(1, static_cast<char>(value));
        SCOPED_TRACE(value);
        EXPECT_EQ(Crc32(one), SlowCrc32(one));
        all.push_back(static_cast<char>(value));
    }
    EXPECT_EQ(Crc32(all), SlowCrc32(all));
    EXPECT_EQ(Crc32(all), 0x29058C73u);
}

TEST(Crc32Test, UpdateInPiecesEqualsWhole) {
    const std::string text = "51766578010400010101010201010101010100010003000000000000000141";
    for (size_t split = 0; split <= text.size(); ++split) {
        SCOPED_TRACE(split);
        uint32_t running = Crc32Update(0, text.substr(0, split));
        EXPECT_EQ(Crc32Update(running, text.substr(split)), Crc32(text));
    }
}

}  // namespace
}  // namespace qvex
