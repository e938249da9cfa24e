#pragma once

#include <string_view>

namespace qvex {

// Protocol keywords (FEAT features, MLSD facts) are matched without regard to ASCII case; the
// locale plays no part.
constexpr bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view other) {
    if (text.size() != other.size()) {
        return false;
    }
    for (size_t at = 0; at < text.size(); ++at) {
        char a = text[at];
        char b = other[at];
        a = a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a;
        b = b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b;
        if (a != b) {
            return false;
        }
    }
    return true;
}

}  // namespace qvex
