#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace CryptoPP {
class HashTransformation;
}

namespace qvex {

// The index of a digest algorithm, as requests, sums files and results name it.
enum class HashAlgorithm {
    None,
    Md5,
    Sha1,
    Sha224,
    Sha256,
    Sha384,
    Sha512,
    Whirlpool,
};

inline constexpr int kHashAlgorithmCount = 8;
// The largest digest (SHA2-512 and Whirlpool).
inline constexpr size_t kMaxDigestBytes = 64;

struct HashAlgorithmInfo {
    const char* name;       // in titles and summaries
    const char* menuLabel;  // behind "Compute " or "Contains "; null for None
    size_t digestBytes;
    size_t hexDigits;             // 0 for None
    char letter;                  // how a request names it; 0 for None
    const char* defaultFileName;  // proposed when saving; null for Whirlpool
    const char* tagName;          // in the tagged layouts; null for Whirlpool
};

[[nodiscard]] const HashAlgorithmInfo& InfoOf(HashAlgorithm algorithm);

// The algorithm a request letter names ('m', 's', 'S', '2', '3', '5', 'w'); any other
// value, 0 included, gives None.
[[nodiscard]] HashAlgorithm AlgorithmFromLetter(int letter);

// The algorithm a digest of `hexDigits` digits in a sums file stands for: 32 MD5, 40 SHA-1,
// 56, 64, 96 and 128 the SHA-2 sizes (so 128 reads as SHA2-512, never as Whirlpool); None
// for any other length, which makes the line invalid.
[[nodiscard]] HashAlgorithm AlgorithmFromHexLength(size_t hexDigits);

// Lower-case hexadecimal, high nibble first.
[[nodiscard]] std::string DigestToHex(const uint8_t* digest, size_t size);

// Whether two digest texts are equal without regard to case.
[[nodiscard]] bool SameDigestText(std::string_view a, std::string_view b);

// A fresh Crypto++ digest object for the algorithm, used through its hash-transformation
// interface (Update, then Final). Null for None.
[[nodiscard]] std::unique_ptr<CryptoPP::HashTransformation> CreateDigest(HashAlgorithm algorithm);

// Whether a file name looks like a sums file (enables "Verify cryptographic checksum(s)"):
// it begins with "MD5", "md5", "SHA" or "sha", or holds ".MD5", ".md5", ".SHA" or ".sha"
// somewhere after its first character.
[[nodiscard]] bool IsSumsFileName(std::string_view fileName);

}  // namespace qvex
