#include "state/time_zones.h"

namespace qvex {
namespace {

// Digits are read with saturation so that a hostile text cannot overflow the sum.
constexpr int kNumberLimit = 100000;

int DecimalAt(std::string_view text, size_t pos) {
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (value < kNumberLimit) {
            value = value * 10 + (text[pos] - '0');
        }
        ++pos;
    }
    return value < kNumberLimit ? value : kNumberLimit;
}

}  // namespace

int TimeZoneCodeOf(std::string_view rowText) {
    size_t found = rowText.find("UTC");
    if (found == std::string_view::npos) {
        found = rowText.find("GMT");
    }
    if (found == std::string_view::npos) {
        return 0;
    }
    size_t sign = found + 3;
    if (sign >= rowText.size() || (rowText[sign] != '+' && rowText[sign] != '-')) {
        return 64;
    }
    // "GMT+05:45": hours follow the sign, minutes start three characters after the hours.
    int hours = DecimalAt(rowText, sign + 1);
    int minutes = DecimalAt(rowText, sign + 4);
    int quarters = 4 * hours + minutes / 15;
    return rowText[sign] == '+' ? 64 + quarters : 64 - quarters;
}

int TimeZoneCodeAt(unsigned position) {
    return position < kTimeZones.size() ? kTimeZones[position].code : 0;
}

}  // namespace qvex
