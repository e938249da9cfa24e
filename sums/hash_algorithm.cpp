#include "sums/hash_algorithm.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <crypto++/cryptlib.h>
#include <crypto++/md5.h>
#include <crypto++/sha.h>
#include <crypto++/whrlpool.h>

#include <array>

namespace qvex {
namespace {

constexpr std::array<HashAlgorithmInfo, kHashAlgorithmCount> kAlgorithms = {{
    {"(NO hash)", nullptr, 0, 0, 0, "NO sums", "NO hash"},
    {"MD5", "MD5 checksum(s)", 16, 32, 'm', "md5sums", "MD5"},
    {"SHA1", "SHA1 checksum(s)", 20, 40, 's', "sha1sums", "SHA1"},
    {"SHA2-224", "SHA2-224 checksum(s)", 28, 56, 'S', "sha2sums", "SHA2"},
    {"SHA2-256", "SHA2-256 checksum(s)", 32, 64, '2', "sha2sums", "SHA2"},
    {"SHA2-384", "SHA2-384 checksum(s)", 48, 96, '3', "sha2sums", "SHA2"},
    {"SHA2-512", "SHA2-512 checksum(s)", 64, 128, '5', "sha2sums", "SHA2"},
    {"Whirlpool", "Whirlpool checksum(s)", 64, 128, 'w', nullptr, nullptr},
}};

}  // namespace

const HashAlgorithmInfo& InfoOf(HashAlgorithm algorithm) {
    auto index = static_cast<size_t>(algorithm);
    return kAlgorithms[index < kAlgorithms.size() ? index : 0];
}

HashAlgorithm AlgorithmFromLetter(int letter) {
    for (size_t index = 1; index < kAlgorithms.size(); ++index) {
        if (kAlgorithms[index].letter == letter) {
            return static_cast<HashAlgorithm>(index);
        }
    }
    return HashAlgorithm::None;
}

HashAlgorithm AlgorithmFromHexLength(size_t hexDigits) {
    // Whirlpool is left out: its length is SHA2-512's, which wins.
    for (size_t index = 1; index <= static_cast<size_t>(HashAlgorithm::Sha512); ++index) {
        if (kAlgorithms[index].hexDigits == hexDigits) {
            return static_cast<HashAlgorithm>(index);
        }
    }
    return HashAlgorithm::None;
}

std::string DigestToHex(const uint8_t* digest, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return text;
}

bool SameDigestText(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<CryptoPP::HashTransformation> CreateDigest(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Md5:
            return std::make_unique<CryptoPP::Weak::MD5>();
        case HashAlgorithm::Sha1:
            return std::make_unique<CryptoPP::SHA1>();
        case HashAlgorithm::Sha224:
            return std::make_unique<CryptoPP::SHA224>();
        case HashAlgorithm::Sha256:
            return std::make_unique<CryptoPP::SHA256>();
        case HashAlgorithm::Sha384:
            return std::make_unique<CryptoPP::SHA384>();
        case HashAlgorithm::Sha512:
            return std::make_unique<CryptoPP::SHA512>();
        case HashAlgorithm::Whirlpool:
            return std::make_unique<CryptoPP::Whirlpool>();
        case HashAlgorithm::None:
            break;
    }
    return nullptr;
}

bool IsSumsFileName(std::string_view fileName) {
    for (std::string_view prefix : {"MD5", "md5", "SHA", "sha"}) {
        if (fileName.substr(0, prefix.size()) == prefix) {
            return true;
        }
    }
    for (std::string_view part : {".MD5", ".md5", ".SHA", ".sha"}) {
        if (fileName.size() > 1 && fileName.find(part, 1) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace qvex
