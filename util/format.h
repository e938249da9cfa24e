#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvex {

// Sizes, rates and durations as the user sees them everywhere: the session log, the panes,
// hash-sum results and the statistics. Numbers use the decimal and thousands separators of
// the user's locale (LC_NUMERIC of the environment), read once per process, grouping by 3.

// FormatSize styles.
inline constexpr int kSizePlain = 0;      // "1.50 KB", below 1000 only the digits: "999"
inline constexpr int kSizeWithUnit = 1;   // "1.50 KB", "999 bytes"
inline constexpr int kSizeWithBytes = 2;  // "1.50 KB (1,536 bytes)", "999 bytes"

// FormatDuration flag bits.
inline constexpr unsigned kDurationHundredths = 1;  // "1:01.50" instead of "1:02"
inline constexpr unsigned kDurationFixedHours = 2;  // "00:01:02" whatever the length

// A longer localized number is shown without thousands separators rather than cut.
inline constexpr size_t kMaxLocalizedNumber = 24;

// Re-renders a plain decimal string ("-1234567.89": optional minus, digits, optional "."
// and digits) with the locale's separators, keeping the digits after the point as given.
// Text shorter than 4 characters without a "." and text that is not such a number come
// back unchanged.
[[nodiscard]] std::string LocalizeNumber(std::string_view text);

// A whole number with thousands grouping: 1234567 -> "1,234,567".
[[nodiscard]] std::string FormatCount(int64_t n);

// A byte count with a unit: decimal thresholds (1000, 1,000,000, 1,000,000,000), binary
// divisors, 2, 1 or 0 decimals below 10, below 100 and above. Below 1000, which includes
// every negative count, the plain digits.
[[nodiscard]] std::string FormatSize(int64_t bytes, int style);

// A rate per second from bytes per millisecond: FormatSize of the rounded bytes per second
// followed by "/s". Rates beyond the 64-bit range are clamped; NaN gives "*/s".
[[nodiscard]] std::string FormatRate(double bytesPerMillisecond, int style);

// An elapsed time: "5", "5.25", "1:02", "1:01.50", "1:00:00", "00:00:05" (see the flags).
// A negative duration is formatted like its magnitude with a leading minus.
[[nodiscard]] std::string FormatDuration(int64_t ms, unsigned flags);

struct NumberSeparators {
    char decimal;
    char thousands;
};

// How a locale's separators (as wide characters) become the single ASCII characters used
// here: a missing or non-ASCII decimal point becomes "."; a missing thousands separator
// becomes ","; a non-ASCII one becomes a space (the no-break spaces of French, Russian and
// others), or "'" for the typographic apostrophe (Swiss locales). When both would be the
// same character the thousands separator gives way, so a number never reads two ways.
[[nodiscard]] NumberSeparators PickNumberSeparators(wchar_t decimal, wchar_t thousands,
                                                    bool grouped);

// Replaces the process-wide separators read from the locale; for tests only.
void SetNumberSeparatorsForTesting(char decimal, char thousands);

}  // namespace qvex
