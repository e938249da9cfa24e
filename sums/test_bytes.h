#pragma once

// Test data shared by the tests of this folder.

#include <crypto++/cryptlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sums/hash_algorithm.h"

namespace qvex::test {

// Bytes that differ from seed to seed and do not repeat within a file.
inline std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// The digest of bytes in memory in one Update: an independent path to the same digest.
inline std::string DigestOfBytes(HashAlgorithm algorithm, const std::string& bytes) {
    auto digest = CreateDigest(algorithm);
    std::vector<uint8_t> out(digest->DigestSize());
    digest->Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    digest->Final(out.data());
    return DigestToHex(out.data(), out.size());
}

}  // namespace qvex::test
