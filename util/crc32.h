#pragma once

#include <cstdint>
#include <string_view>

namespace qvex {

// The standard CRC-32 (reflected polynomial 0xEDB88320, initial value all ones, final
// complement), as used by zip and PNG. "123456789" gives 0xCBF43926.
[[nodiscard]] uint32_t Crc32(std::string_view bytes);

// Continues a running CRC: Crc32Update(Crc32Update(0, a), b) == Crc32(a + b).
[[nodiscard]] uint32_t Crc32Update(uint32_t crc, std::string_view bytes);

}  // namespace qvex
