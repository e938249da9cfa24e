#include "transfer/listing_language.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>

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

ListingLanguage BuildDefaultTables() {
    ListingLanguage tables;
    for (size_t i = 0; i < tables.months.size(); ++i) {
        tables.months[i] = kDefaultMonthString[i];
    }
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

// A month name the tables can hold: exactly three ASCII letters ("Mär", "janv." or
// "tammi" cannot be matched against three-letter listing tokens).
bool IsThreeLetterName(const std::string& name) {
    return name.size() == 3 && IsAsciiLetter(name[0]) && IsAsciiLetter(name[1]) &&
           IsAsciiLetter(name[2]);
}

struct Published {
    ListingLanguage tables;
    bool complete = false;
};

bool SameTables(const Published& a, const Published& b) {
    return a.complete == b.complete && a.tables.languageId == b.tables.languageId &&
           a.tables.months == b.tables.months &&
           a.tables.dateSeparators == b.tables.dateSeparators &&
           a.tables.timeSeparators == b.tables.timeSeparators;
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

int ListingLanguage::monthNumberOf(std::string_view letters) const {
    if (letters.size() != 3) {
        return 0;
    }
    const char a = LowerAscii(letters[0]);
    const char b = LowerAscii(letters[1]);
    const char c = LowerAscii(letters[2]);
    for (size_t i = 0; i < 12; ++i) {
        if (months[3 * i] == a && months[3 * i + 1] == b && months[3 * i + 2] == c) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

bool ListingLanguage::containsMonthLetters(char a, char b, char c) const {
    for (size_t i = 0; i + 2 < months.size(); ++i) {
        if (months[i] == a && months[i + 1] == b && months[i + 2] == c) {
            return true;
        }
    }
    return false;
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
    std::array<char, 36> months{};
    for (int month = 1; month <= 12; ++month) {
        std::string name = locale.AbbreviatedMonth(month);
        if (!IsThreeLetterName(name)) {
            Publish(next);
            return false;
        }
        for (size_t i = 0; i < 3; ++i) {
            months[static_cast<size_t>(month - 1) * 3 + i] = LowerAscii(name[i]);
        }
    }
    next.tables.months = months;

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
        if (!IsThreeLetterName(locale.AbbreviatedMonth(month))) {
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
