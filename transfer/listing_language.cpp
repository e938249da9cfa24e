#include "transfer/listing_language.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/locale.h"

namespace qvex {

namespace {

// A separator text of a locale counts with at most this many characters.
constexpr size_t kMaxSeparatorText = 7;

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The bit of three lower-case letters a-z in ListingLanguage::monthLetterRuns.
std::optional<size_t> LetterRunIndex(char a, char b, char c) {
    auto letter = [](char x) { return x >= 'a' && x <= 'z'; };
    if (!letter(a) || !letter(b) || !letter(c)) {
        return std::nullopt;
    }
    return static_cast<size_t>(((a - 'a') * 26 + (b - 'a')) * 26 + (c - 'a'));
}

ListingLanguage BuildDefaultTables() {
    ListingLanguage tables;
    std::array<std::string, 12> names;
    for (size_t i = 0; i < names.size(); ++i) {
        names[i] = kDefaultMonthString.substr(3 * i, 3);
    }
    (void)tables.setMonthNames(names);
    tables.dateSeparators['-'] = true;
    tables.timeSeparators[':'] = true;
    return tables;
}

// Only ASCII punctuation can stand between the digits of a listed date or time; the bytes
// of a multi-byte character or a blank never separate anything inside one token.
void MarkSeparators(std::string_view text, std::array<bool, 256>& set) {
    text = text.substr(0, std::min(text.size(), kMaxSeparatorText));
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool punctuation = byte > 32 && byte < 127 && !IsAsciiLetter(c) && !(c >= '0' && c <= '9');
        if (punctuation) {
            set[byte] = true;
        }
    }
}

// Whether the bytes are a spelling the listing parser can hold and tell from other tokens:
// one to three UTF-8 characters ("Mär", "úno", "мар"), no blank or control character, and
// no leading digit, which would make it a number.
bool IsUsableMonthName(const platform::SystemLocale& locale, const std::string& name) {
    if (name.empty() || name.size() > kMaxMonthNameBytes || (name[0] >= '0' && name[0] <= '9') ||
        locale.LowerCase(name).empty()) {
        return false;
    }
    size_t characters = 0;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 32 || byte == 127) {
            return false;
        }
        // Every byte but a continuation byte (10xxxxxx) starts a character.
        characters += (byte & 0xC0) != 0x80 ? 1 : 0;
    }
    return characters <= kMaxMonthCharacters;
}

bool EqualsIgnoringAsciiCase(std::string_view lowered, std::string_view text) {
    if (lowered.size() != text.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (lowered[i] != LowerAscii(text[i])) {
            return false;
        }
    }
    return true;
}

struct Published {
    ListingLanguage tables;
    bool complete = false;
};

bool SameTables(const Published& a, const Published& b) {
    return a.complete == b.complete && a.tables == b.tables;
}

// Every table set ever published stays alive: a listing being parsed on the session thread
// may still read the previous one while the options page loads another. Identical sets are
// shared, so the store holds at most one set per language and outcome.
std::mutex gStoreLock;
std::deque<Published>& Store() {
    static std::deque<Published> store;
    return store;
}

const Published& Defaults() {
    static const Published defaults{BuildDefaultTables(), false};
    return defaults;
}

std::atomic<const Published*> gCurrent{nullptr};

const Published& Current() {
    const Published* current = gCurrent.load(std::memory_order_acquire);
    return current != nullptr ? *current : Defaults();
}

void Publish(const Published& candidate) {
    std::lock_guard<std::mutex> hold(gStoreLock);
    for (const Published& kept : Store()) {
        if (SameTables(kept, candidate)) {
            gCurrent.store(&kept, std::memory_order_release);
            return;
        }
    }
    Store().push_back(candidate);
    gCurrent.store(&Store().back(), std::memory_order_release);
}

}  // namespace

int ListingLanguage::monthNumberOf(std::string_view text) const {
    for (size_t i = 0; i < spellingCount; ++i) {
        if (EqualsIgnoringAsciiCase(spellings[i].text(), text)) {
            return spellings[i].month;
        }
    }
    return 0;
}

bool ListingLanguage::containsMonthLetters(char a, char b, char c) const {
    if (auto run = LetterRunIndex(a, b, c)) {
        return (monthLetterRuns[*run / 64] >> (*run % 64) & 1) != 0;
    }
    for (size_t i = 0; i + 2 < monthsLength; ++i) {
        if (months[i] == a && months[i + 1] == b && months[i + 2] == c) {
            return true;
        }
    }
    return false;
}

bool ListingLanguage::setMonthNames(const std::array<std::string, 12>& names) {
    for (const std::string& name : names) {
        if (name.empty() || name.size() > kMaxMonthNameBytes) {
            return false;
        }
    }
    monthsLength = 0;
    spellingCount = 0;
    wideMonths = false;
    for (size_t i = 0; i < names.size(); ++i) {
        for (char c : names[i]) {
            months[monthsLength++] = LowerAscii(c);
        }
        addMonthSpelling(static_cast<int>(i) + 1, names[i]);
    }
    monthLetterRuns.fill(0);
    for (size_t i = 0; i + 2 < monthsLength; ++i) {
        if (auto run = LetterRunIndex(months[i], months[i + 1], months[i + 2])) {
            monthLetterRuns[*run / 64] |= uint64_t{1} << (*run % 64);
        }
    }
    return true;
}

void ListingLanguage::addMonthSpelling(int month, std::string_view text) {
    if (text.empty() || text.size() > kMaxMonthNameBytes || spellingCount == spellings.size() ||
        monthNumberOf(text) != 0) {
        return;
    }
    MonthSpelling& spelling = spellings[spellingCount++];
    spelling.length = static_cast<uint8_t>(text.size());
    spelling.month = static_cast<uint8_t>(month);
    for (size_t i = 0; i < text.size(); ++i) {
        spelling.bytes[i] = LowerAscii(text[i]);
    }
    const bool threeLetters = text.size() == 3 && IsAsciiLetter(text[0]) &&
                              IsAsciiLetter(text[1]) && IsAsciiLetter(text[2]);
    wideMonths = wideMonths || !threeLetters;
}

ListingLanguage defaultListingLanguage() {
    return BuildDefaultTables();
}

const ListingLanguage& currentListingLanguage() {
    return Current().tables;
}

bool loadListingLanguage(uint16_t languageId) {
    if (languageId == 0) {
        languageId = kDefaultListingLanguage;
    }
    const Published& current = Current();
    if (current.complete && current.tables.languageId == languageId) {
        return true;
    }
    Published next{BuildDefaultTables(), false};
    next.tables.languageId = languageId;

    platform::SystemLocale locale(languageId);
    if (!locale.installed()) {
        Publish(next);
        return false;
    }
    std::array<std::string, 12> names;
    for (int month = 1; month <= 12; ++month) {
        std::string& name = names[static_cast<size_t>(month - 1)];
        name = locale.AbbreviatedMonth(month);
        if (!IsUsableMonthName(locale, name)) {
            Publish(next);
            return false;
        }
    }
    (void)next.tables.setMonthNames(names);
    // Servers write the names as the locale does, but also in another case or in the
    // language's 8-bit character set.
    for (int month = 1; month <= 12; ++month) {
        const std::string& name = names[static_cast<size_t>(month - 1)];
        for (const std::string& cased : {name, locale.LowerCase(name), locale.UpperCase(name)}) {
            next.tables.addMonthSpelling(month, cased);
            for (const std::string& form : locale.EightBitForms(cased)) {
                next.tables.addMonthSpelling(month, form);
            }
        }
    }

    std::string dateSeparator = locale.DateSeparator();
    if (dateSeparator.empty()) {
        Publish(next);
        return false;
    }
    MarkSeparators(dateSeparator, next.tables.dateSeparators);
    std::string timeSeparator = locale.TimeSeparator();
    if (timeSeparator.empty()) {
        Publish(next);
        return false;
    }
    MarkSeparators(timeSeparator, next.tables.timeSeparators);
    next.complete = true;
    Publish(next);
    return true;
}

bool isUsableListingLanguage(uint16_t languageId) {
    if (languageId == 0) {
        languageId = kDefaultListingLanguage;
    }
    platform::SystemLocale locale(languageId);
    if (!locale.installed() || locale.LongDateOrder() == platform::DateOrder::YearMonthDay) {
        return false;
    }
    for (int month = 1; month <= 12; ++month) {
        if (!IsUsableMonthName(locale, locale.AbbreviatedMonth(month))) {
            return false;
        }
    }
    return true;
}

std::vector<ListingLanguageChoice> listingLanguageChoices() {
    std::vector<ListingLanguageChoice> choices;
    choices.push_back({kDefaultListingLanguage, std::string(kDefaultListingLanguageName)});
    size_t installed = 0;
    for (const platform::LocaleRow& row : platform::LocaleTable()) {
        if (installed >= kMaxListingLanguages) {
            break;
        }
        if (!platform::SystemLocale(row.languageId).installed()) {
            continue;
        }
        ++installed;
        if (row.languageId != kDefaultListingLanguage && isUsableListingLanguage(row.languageId)) {
            choices.push_back({row.languageId, row.languageName});
        }
    }
    return choices;
}

}  // namespace qvex
