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

// The conventions listings are read with: one set for the whole program, replaced as a
// whole when another language is loaded. A published set never changes, so the listing
// thread may keep reading one while the options page loads the next.
struct ListingLanguage {
    // 0 until the first load.
    uint16_t languageId = 0;
    // The 12 abbreviated month names, 3 lower-case ASCII letters each.
    std::array<char, 36> months{};
    // Flags by byte value; "-" is always a date separator and ":" always a time separator.
    std::array<bool, 256> dateSeparators{};
    std::array<bool, 256> timeSeparators{};

    bool isDateSeparator(char c) const { return dateSeparators[static_cast<unsigned char>(c)]; }
    bool isTimeSeparator(char c) const { return timeSeparators[static_cast<unsigned char>(c)]; }
    std::string_view monthString() const { return {months.data(), months.size()}; }
    // 1-12 for three letters naming a month (any case), 0 otherwise.
    int monthNumberOf(std::string_view letters) const;
    // Whether three lower-case letters occur anywhere in the month string ("anf" does).
    bool containsMonthLetters(char a, char b, char c) const;
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
// first in long dates, and has twelve abbreviated month names of three ASCII letters.
[[nodiscard]] bool isUsableListingLanguage(uint16_t languageId);

struct ListingLanguageChoice {
    uint16_t languageId;
    std::string name;
};

// The server-language choices: "Default (US English)" first, then every other installed,
// usable language under its language name.
[[nodiscard]] std::vector<ListingLanguageChoice> listingLanguageChoices();

}  // namespace qvex
