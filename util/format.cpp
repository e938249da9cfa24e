#include "util/format.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <locale>

namespace qvex {
namespace {

// The separators packed as 0x10000 | decimal << 8 | thousands; 0 until first read. One
// atomic word, so a reader never sees one character of one setting and one of another.
std::atomic<uint32_t> gSeparators{0};

constexpr uint32_t kSeparatorsSet = 0x10000;

uint32_t Pack(NumberSeparators separators) {
    return kSeparatorsSet |
           static_cast<uint32_t>(static_cast<unsigned char>(separators.decimal)) << 8 |
           static_cast<unsigned char>(separators.thousands);
}

NumberSeparators ReadLocaleSeparators() {
    try {
        // The wide facet, because the narrow one loses multi-byte separators (U+202F).
        std::locale user("");
        const auto& punct = std::use_facet<std::numpunct<wchar_t>>(user);
        return PickNumberSeparators(punct.decimal_point(), punct.thousands_sep(),
                                    !punct.grouping().empty());
    } catch (const std::exception&) {
        // A LANG or LC_* naming a locale the system does not have.
        return {'.', ','};
    }
}

NumberSeparators CurrentSeparators() {
    uint32_t packed = gSeparators.load(std::memory_order_acquire);
    if (packed == 0) {
        // A function-local static is initialised once even when threads race to it.
        static const uint32_t fromLocale = Pack(ReadLocaleSeparators());
        uint32_t expected = 0;
        // A test may have set the separators meanwhile; that setting wins.
        gSeparators.compare_exchange_strong(expected, fromLocale, std::memory_order_acq_rel);
        packed = gSeparators.load(std::memory_order_acquire);
    }
    return {static_cast<char>(packed >> 8 & 0xff), static_cast<char>(packed & 0xff)};
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsUsableSeparator(wchar_t c) {
    return c > L' ' && c < 0x7f && !(c >= L'0' && c <= L'9') && c != L'-';
}

// Room that RenderNumber needs for `length` input characters.
constexpr size_t RenderCapacity(size_t length) {
    return length + length / 3 + 2;
}

// Writes the localized form of a plain decimal string to `out` (RenderCapacity bytes) and
// returns its length, or returns npos when the text is not such a number.
size_t RenderNumber(std::string_view text, NumberSeparators separators, char* out) {
    size_t pos = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        pos = 1;
    }
    const size_t intBegin = pos;
    while (pos < text.size() && IsDigit(text[pos])) {
        ++pos;
    }
    const size_t intEnd = pos;
    size_t fracBegin = pos;
    bool hasPoint = false;
    if (pos < text.size() && text[pos] == '.') {
        hasPoint = true;
        fracBegin = ++pos;
        while (pos < text.size() && IsDigit(text[pos])) {
            ++pos;
        }
    }
    const size_t fracEnd = pos;
    const size_t fracDigits = hasPoint ? fracEnd - fracBegin : 0;
    if (pos != text.size() || (intEnd == intBegin && fracDigits == 0)) {
        return std::string_view::npos;
    }

    // Redundant leading zeros go; a zero integer part keeps its single "0" when the input
    // had one (so "0.5" stays "0.5" and ".5" stays ".5").
    size_t significant = intBegin;
    while (significant < intEnd && text[significant] == '0') {
        ++significant;
    }
    const size_t intDigits = intEnd - significant;
    const bool zeroInteger = intDigits == 0 && intEnd > intBegin;

    size_t separatorCount = intDigits > 0 ? (intDigits - 1) / 3 : 0;
    const size_t plainLength = (negative ? 1 : 0) + intDigits + (zeroInteger ? 1 : 0) +
                               (fracDigits > 0 ? 1 + fracDigits : 0);
    if (plainLength + separatorCount > kMaxLocalizedNumber) {
        separatorCount = 0;  // never cut digits off: drop the grouping instead
    }

    char* p = out;
    if (negative) {
        *p++ = '-';
    }
    if (zeroInteger) {
        *p++ = '0';
    }
    for (size_t i = 0; i < intDigits; ++i) {
        if (separatorCount > 0 && i > 0 && (intDigits - i) % 3 == 0) {
            *p++ = separators.thousands;
        }
        *p++ = text[significant + i];
    }
    if (fracDigits > 0) {
        *p++ = separators.decimal;
        std::memcpy(p, text.data() + fracBegin, fracDigits);
        p += fracDigits;
    }
    return static_cast<size_t>(p - out);
}

bool PassesUnchanged(std::string_view text) {
    return text.size() < 4 && text.find('.') == std::string_view::npos;
}

// LocalizeNumber into a buffer; short numbers only (RenderCapacity(length) must fit).
char* LocalizeInto(std::string_view text, NumberSeparators separators, char* out) {
    if (!PassesUnchanged(text)) {
        size_t length = RenderNumber(text, separators, out);
        if (length != std::string_view::npos) {
            return out + length;
        }
    }
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* Append(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* AppendInt(char* out, int64_t value) {
    return std::to_chars(out, out + 20, value).ptr;
}

char* AppendUnsigned(char* out, uint64_t value) {
    return std::to_chars(out, out + 20, value).ptr;
}

// "%02d"
char* AppendTwoDigits(char* out, uint64_t value) {
    if (value < 10) {
        *out++ = '0';
    }
    return AppendUnsigned(out, value);
}

// Longest FormatSize text: "-9223372036854775808 bytes", or the number (13), " KB (" and
// the count (25) and " bytes)".
constexpr size_t kSizeBuffer = 64;

char* WriteSize(int64_t bytes, int style, char* out) {
    if (bytes < 1000) {
        out = AppendInt(out, bytes);
        return style != kSizePlain ? Append(out, " bytes") : out;
    }
    // Decimal thresholds with binary divisors, so 1000 bytes read 0.98 KB.
    double divisor = 1024.0;
    char letter = 'K';
    if (bytes >= 1'000'000'000) {
        divisor = 1073741824.0;
        letter = 'G';
    } else if (bytes >= 1'000'000) {
        divisor = 1048576.0;
        letter = 'M';
    }
    const double value = static_cast<double>(bytes) / divisor;
    const int decimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    // to_chars with a precision rounds exactly like printf("%.*f").
    char number[32];
    char* numberEnd =
        std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, decimals)
            .ptr;
    const NumberSeparators separators = CurrentSeparators();
    out = LocalizeInto(std::string_view(number, static_cast<size_t>(numberEnd - number)),
                       separators, out);
    *out++ = ' ';
    *out++ = letter;
    *out++ = 'B';
    if (style == kSizeWithBytes) {
        out = Append(out, " (");
        char digits[24];
        char* digitsEnd = AppendInt(digits, bytes);
        out = LocalizeInto(std::string_view(digits, static_cast<size_t>(digitsEnd - digits)),
                           separators, out);
        out = Append(out, " bytes)");
    }
    return out;
}

}  // namespace

NumberSeparators PickNumberSeparators(wchar_t decimal, wchar_t thousands, bool grouped) {
    NumberSeparators picked{'.', ','};
    if (IsUsableSeparator(decimal)) {
        picked.decimal = static_cast<char>(decimal);
    }
    if (grouped && thousands != L'\0') {
        if (IsUsableSeparator(thousands) || thousands == L' ') {
            picked.thousands = static_cast<char>(thousands);
        } else if (thousands == L'\u2019' || thousands == L'\u02bc') {
            picked.thousands = '\'';
        } else if (thousands > 0x7f) {
            // No-break and thin spaces, and any other non-ASCII mark: a plain space is what
            // such locales show, and it stays one byte in every code page.
            picked.thousands = ' ';
        }
    }
    if (picked.thousands == picked.decimal) {
        picked.thousands = picked.decimal == ',' ? '.' : ',';
    }
    return picked;
}

void SetNumberSeparatorsForTesting(char decimal, char thousands) {
    gSeparators.store(Pack({decimal, thousands}), std::memory_order_release);
}

std::string LocalizeNumber(std::string_view text) {
    if (PassesUnchanged(text)) {
        return std::string(text);
    }
    const NumberSeparators separators = CurrentSeparators();
    char small[RenderCapacity(40)];
    if (text.size() <= 40) {
        size_t length = RenderNumber(text, separators, small);
        return length == std::string_view::npos ? std::string(text) : std::string(small, length);
    }
    std::string result(RenderCapacity(text.size()), '\0');
    size_t length = RenderNumber(text, separators, result.data());
    if (length == std::string_view::npos) {
        return std::string(text);
    }
    result.resize(length);
    return result;
}

std::string FormatCount(int64_t n) {
    char digits[24];
    char* digitsEnd = AppendInt(digits, n);
    char out[RenderCapacity(sizeof digits)];
    char* outEnd = LocalizeInto(std::string_view(digits, static_cast<size_t>(digitsEnd - digits)),
                                CurrentSeparators(), out);
    return std::string(out, outEnd);
}

std::string FormatSize(int64_t bytes, int style) {
    char out[kSizeBuffer];
    return std::string(out, WriteSize(bytes, style, out));
}

std::string FormatRate(double bytesPerMillisecond, int style) {
    if (std::isnan(bytesPerMillisecond)) {
        return "*/s";  // as for a transfer that took no time: no rate to show
    }
    // Converting a double outside the int64 range is undefined, so clamp first; both
    // bounds are exact powers of two.
    const double perSecond = bytesPerMillisecond * 1000.0 + 0.5;
    int64_t n = 0;
    if (perSecond >= 9223372036854775808.0) {
        n = INT64_MAX;
    } else if (perSecond <= -9223372036854775808.0) {
        n = INT64_MIN;
    } else {
        n = static_cast<int64_t>(perSecond);
    }
    char out[kSizeBuffer + 2];
    char* end = WriteSize(n, style, out);
    *end++ = '/';
    *end++ = 's';
    return std::string(out, end);
}

std::string FormatDuration(int64_t ms, unsigned flags) {
    const bool negative = ms < 0;
    // Unsigned, so that the magnitude of INT64_MIN exists.
    const uint64_t magnitude =
        negative ? uint64_t{0} - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
    uint64_t seconds = magnitude / 1000;
    const uint64_t rest = magnitude % 1000;
    const bool withHundredths = (flags & kDurationHundredths) != 0;
    uint64_t hundredths = 0;
    if (!withHundredths) {
        if (rest >= 500) {
            ++seconds;
        }
    } else {
        hundredths = (rest + 5) / 10;
        if (hundredths > 99) {
            hundredths = 0;
            ++seconds;
        }
    }
    const uint64_t hours = seconds / 3600;
    const uint64_t minutes = (seconds - hours * 3600) / 60;
    const uint64_t secs = seconds - (hours * 60 + minutes) * 60;

    char out[48];
    char* p = out;
    // A duration that rounds to zero shows no sign.
    if (negative && (seconds != 0 || hundredths != 0)) {
        *p++ = '-';
    }
    if ((flags & kDurationFixedHours) != 0) {
        p = AppendTwoDigits(p, hours);
        *p++ = ':';
        p = AppendTwoDigits(p, minutes);
        *p++ = ':';
        p = AppendTwoDigits(p, secs);
    } else if (hours != 0) {
        p = AppendUnsigned(p, hours);
        *p++ = ':';
        p = AppendTwoDigits(p, minutes);
        *p++ = ':';
        p = AppendTwoDigits(p, secs);
    } else if (minutes != 0) {
        p = AppendUnsigned(p, minutes);
        *p++ = ':';
        p = AppendTwoDigits(p, secs);
    } else {
        p = AppendUnsigned(p, secs);
    }
    if (withHundredths) {
        *p++ = '.';
        p = AppendTwoDigits(p, hundredths);
    }
    return std::string(out, p);
}

}  // namespace qvex
