#include "sums/hash_algorithm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sums/test_bytes.h"

namespace qvex {
namespace {

std::string Text(const char* text) {
    return text != nullptr ? text : "(none)";
}

TEST(HashAlgorithmTable, HoldsEveryColumn) {
    // Name, menu label, digest bytes, hex digits, letter, default file, tag.
    const std::vector<std::string> rows = {
        "(NO hash)|(none)|0|0|0|NO sums|NO hash",
        "MD5|MD5 checksum(s)|16|32|m|md5sums|MD5",
        "SHA1|SHA1 checksum(s)|20|40|s|sha1sums|SHA1",
        "SHA2-224|SHA2-224 checksum(s)|28|56|S|sha2sums|SHA2",
        "SHA2-256|SHA2-256 checksum(s)|32|64|2|sha2sums|SHA2",
        "SHA2-384|SHA2-384 checksum(s)|48|96|3|sha2sums|SHA2",
        "SHA2-512|SHA2-512 checksum(s)|64|128|5|sha2sums|SHA2",
        "Whirlpool|Whirlpool checksum(s)|64|128|w|(none)|(none)",
    };
    ASSERT_EQ(rows.size(), static_cast<size_t>(kHashAlgorithmCount));
    for (size_t index = 0; index < rows.size(); ++index) {
        SCOPED_TRACE(rows[index]);
        const HashAlgorithmInfo& info = InfoOf(static_cast<HashAlgorithm>(index));
        std::string letter = info.letter != 0 ? std::string(1, info.letter) : "0";
        EXPECT_EQ(std::string(info.name) + "|" + Text(info.menuLabel) + "|" +
                      std::to_string(info.digestBytes) + "|" + std::to_string(info.hexDigits) +
                      "|" + letter + "|" + Text(info.defaultFileName) + "|" + Text(info.tagName),
                  rows[index]);
        EXPECT_EQ(AlgorithmFromLetter(info.letter), static_cast<HashAlgorithm>(index));
    }
}

TEST(AlgorithmFromLetter, AnyOtherLetterMeansNone) {
    for (int letter : std::initializer_list<int>{'M', 'W', 'x', '1', -1, 'm' + 256}) {
        SCOPED_TRACE(letter);
        EXPECT_EQ(AlgorithmFromLetter(letter), HashAlgorithm::None);
    }
}

TEST(AlgorithmFromHexLength, KnowsSixLengthsAnd128IsSha512) {
    const std::vector<std::pair<size_t, HashAlgorithm>> rows = {
        {32, HashAlgorithm::Md5},    {40, HashAlgorithm::Sha1},   {56, HashAlgorithm::Sha224},
        {64, HashAlgorithm::Sha256}, {96, HashAlgorithm::Sha384}, {128, HashAlgorithm::Sha512},
        {0, HashAlgorithm::None},    {33, HashAlgorithm::None},   {48, HashAlgorithm::None},
        {127, HashAlgorithm::None},  {129, HashAlgorithm::None},
    };
    for (const auto& [length, expected] : rows) {
        SCOPED_TRACE(length);
        EXPECT_EQ(AlgorithmFromHexLength(length), expected);
    }
}

TEST(DigestText, LowerCaseHexAndCaseBlindComparison) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
    EXPECT_EQ(DigestToHex(bytes, sizeof bytes), "000fa5ff10");
    EXPECT_TRUE(SameDigestText("00ffAb", "00FFab"));
    EXPECT_FALSE(SameDigestText("00ffab", "00ffac"));
    EXPECT_FALSE(SameDigestText("00ffab", "00ffab0"));
    EXPECT_FALSE(SameDigestText(">", "0"));
}

// The published test vectors for "abc" (RFC 1321, FIPS 180-4, the Whirlpool reference).
TEST(CreateDigest, GivesTheReferenceDigestsOfAbc) {
    const std::vector<std::pair<HashAlgorithm, std::string>> rows = {
        {HashAlgorithm::Md5, "900150983cd24fb0d6963f7d28e17f72"},
        {HashAlgorithm::Sha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {HashAlgorithm::Sha224, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {HashAlgorithm::Sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {HashAlgorithm::Sha384,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baec"
         "a134c825a7"},
        {HashAlgorithm::Sha512,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c"
         "23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {HashAlgorithm::Whirlpool,
         "4e2448a4c6f486bb16b6562c73b4020bf3043e3a731bce721ae1b303d97e6d4c7181eebdb6c57e277d0e34"
         "957114cbd6c797fc9d95d8b582d225292076d4eef5"},
    };
    for (const auto& [algorithm, expected] : rows) {
        SCOPED_TRACE(InfoOf(algorithm).name);
        EXPECT_EQ(test::DigestOfBytes(algorithm, "abc"), expected);
    }
    EXPECT_EQ(CreateDigest(HashAlgorithm::None), nullptr);
}

TEST(IsSumsFileName, NamesThatLookLikeSumsFiles) {
    const std::vector<std::pair<const char*, bool>> rows = {
        {"md5sums", true},    {"MD5SUMS", true},   {"SHA256SUMS", true}, {"x.md5", true},
        {"a.sha1", true},     {"b.MD5.txt", true}, {"..md5", true},      {".md5", false},
        {"notes.txt", false}, {"Md5sums", false},  {"a.Md5", false},     {"", false},
    };
    for (const auto& [name, expected] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(IsSumsFileName(name), expected);
    }
}

}  // namespace
}  // namespace qvex
