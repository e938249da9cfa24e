#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvex {

// US English: the language of a host that names none, and what id 0 stands for.
inline constexpr uint16_t kDefaultListingLanguage = 1033;
inline constexpr std::string_view kDefaultMonthString = "janfebmaraprmayjunjulaugsepoctnovdec";
// The text the language list shows for kDefaultListingLanguage.
inline constexpr std::string_view kDefaultListingLanguageName = "Default (US English)";
// At most this many installed languages are collected for the list.
inline constexpr size_t kMaxListingLanguages = 256;

// A month name has at most three characters, each of at most four bytes in UTF-8.
inline constexpr size_t kMaxMonthCharacters = 3;
inline constexpr size_t kMaxMonthNameBytes = 12;
// Each month as the locale writes it, in lower and upper case, in UTF-8 and in two 8-bit
// character sets.
inline constexpr size_t kMaxMonthSpellings = 12 * 9;

// One way a listing may write a month name, ASCII letters in lower case.
struct MonthSpelling {
    std::array<char, kMaxMonthNameBytes> bytes{};
    uint8_t length = 0;
    uint8_t month = 0;  // 1-12

    std::string_view text() const { return {bytes.data(), length}; }
    bool operator==(const MonthSpelling&) const = default;
};

// The conventions listings are read with: one set for the whole program, replaced as a
// whole when another language is loaded. A published set never changes, so the listing
// thread may keep reading one while the options page loads the next.
struct ListingLanguage {
    // 0 until the first load.
    uint16_t languageId = 0;
    // The 12 abbreviated month names concatenated in UTF-8, A-Z in lower case:
    // "janfebmaraprmayjunjulaugsepoctnovdec", "janfebmäraprmaijunjulaugsepoktnovdez".
    std::array<char, 12 * kMaxMonthNameBytes> months{};
    uint8_t monthsLength = 0;
    // Every run of three letters a-z in `months`, one bit per run, so that telling a
    // three-letter token costs one look-up (a listing line has several).
    std::array<uint64_t, (26 * 26 * 26 + 63) / 64> monthLetterRuns{};
    std::array<MonthSpelling, kMaxMonthSpellings> spellings{};
    uint8_t spellingCount = 0;
    // Some spelling is not three ASCII letters, so tokens of other shapes can name a month.
    bool wideMonths = false;
    // Flags by byte value; "-" is always a date separator and ":" always a time separator.
    std::array<bool, 256> dateSeparators{};
    std::array<bool, 256> timeSeparators{};

    bool isDateSeparator(char c) const { return dateSeparators[static_cast<unsigned char>(c)]; }
    bool isTimeSeparator(char c) const { return timeSeparators[static_cast<unsigned char>(c)]; }
    std::string_view monthString() const { return {months.data(), monthsLength}; }
    // 1-12 for a spelling of a month (ASCII letters in any case), 0 otherwise.
    int monthNumberOf(std::string_view text) const;
    // Whether three lower-case letters occur anywhere in the month string ("anf" does).
    bool containsMonthLetters(char a, char b, char c) const;
    // Replaces the months by twelve names of at most kMaxMonthNameBytes bytes each, every
    // name its own only spelling. False, changing nothing, for a longer or empty name.
    bool setMonthNames(const std::array<std::string, 12>& names);
    // One more spelling of a month (1-12): another case, another character set. Spellings
    // met before, ones too long and ones beyond kMaxMonthSpellings are left out.
    void addMonthSpelling(int month, std::string_view text);

    bool operator==(const ListingLanguage&) const = default;
};

// The tables before any load: English months, "-" and ":".
[[nodiscard]] ListingLanguage defaultListingLanguage();

// The tables now in force: the defaults (English months, "-" and ":") until a load.
[[nodiscard]] const ListingLanguage& currentListingLanguage();

// Loads the tables for a Windows language identifier (0 means 1033); nothing happens when
// that language is already loaded. False when one of the locale's values could not be
// fetched; the tables then hold what was fetched before that, the rest being defaults, and
// the id is recorded anyway.
[[nodiscard]] bool loadListingLanguage(uint16_t languageId);

// Whether a language can read listings: its locale is installed, does not write the year
// first in long dates, and has twelve abbreviated month names that can be told in a listing:
// one to three characters of UTF-8 ("Mär", "úno", "мар"), no blank or control character,
// not starting with a digit (" 1月" and "1月" would read as numbers).
[[nodiscard]] bool isUsableListingLanguage(uint16_t languageId);

struct ListingLanguageChoice {
    uint16_t languageId;
    std::string name;
};

// The server-language choices: "Default (US English)" first, then every other installed,
// usable language under its language name.
[[nodiscard]] std::vector<ListingLanguageChoice> listingLanguageChoices();

}  // namespace qvex
