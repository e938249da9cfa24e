#include "transfer/listing_parser.h"

#include <array>
#include <optional>
#include <string_view>

#include "transfer/entry_types.h"
#include "transfer/listing_date.h"
#include "transfer/listing_language.h"

namespace qvex {

namespace {

// Character tests of the C locale: bytes above 127 are in no class.
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsPrintable(char c) {
    return c >= 32 && c <= 126;
}
bool IsPunctuation(char c) {
    return IsPrintable(c) && c != ' ' && !IsDigit(c) && !IsLetter(c);
}
char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsModeString(std::string_view token) {
    if (token.size() != 10 || std::string_view("bcdls-").find(token[0]) == std::string_view::npos) {
        return false;
    }
    for (size_t i = 1; i < 10; ++i) {
        switch (token[i]) {
            case 'r':
            case 'w':
            case 'x':
            case '-':
            case 's':
            case 't':
            case 'S':
            case 'T':
                break;
            default:
                return false;
        }
    }
    return true;
}

ListingToken ClassifyDigitToken(std::string_view token, const ListingLanguage& language) {
    const size_t length = token.size();
    size_t digits = 0;
    while (digits < length && IsDigit(token[digits])) {
        ++digits;
    }
    if (digits == length) {
        return ListingToken::Number;
    }
    // "10:42", "03:45PM", "9:05:33"
    if (digits <= 2 && language.isTimeSeparator(token[digits]) && length >= digits + 3 &&
        IsDigit(token[digits + 1]) && IsDigit(token[digits + 2])) {
        return ListingToken::TimeOfDay;
    }
    // "01-15-07", "01-15-2007"
    if (digits == 2 && length >= 8 && language.isDateSeparator(token[2]) && IsDigit(token[3]) &&
        IsDigit(token[4]) && language.isDateSeparator(token[5]) && IsDigit(token[6]) &&
        IsDigit(token[7])) {
        return ListingToken::NumericDate;
    }
    // "4-JAN-1997", "14-JAN-1997", and with a month of the language "14-MÄR-1997"
    if (digits <= 2 && length >= digits + 7 && language.isDateSeparator(token[digits]) &&
        language.isDateSeparator(token[length - 5]) && IsDigit(token[length - 4]) &&
        IsDigit(token[length - 3]) && IsDigit(token[length - 2]) && IsDigit(token[length - 1])) {
        std::string_view month = token.substr(digits + 1, length - digits - 6);
        bool threeLetters =
            month.size() == 3 && IsLetter(month[0]) && IsLetter(month[1]) && IsLetter(month[2]);
        if (threeLetters || (language.wideMonths && language.monthNumberOf(month) != 0)) {
            return ListingToken::VmsDate;
        }
    }
    // "12/36", "1/3": blocks used / allocated
    if (token[digits] == '/' && length > 2 * digits) {
        for (size_t i = digits + 1; i < length; ++i) {
            if (!IsDigit(token[i])) {
                return ListingToken::Other;
            }
        }
        return ListingToken::BlockPair;
    }
    return ListingToken::Other;
}

ListingToken Classify(std::string_view token, const ListingLanguage& language) {
    const char first = token[0];
    if (IsDigit(first)) {
        return ClassifyDigitToken(token, language);
    }
    // "Mär", "úno", "мар", or "M\xE4r" from a server that writes Latin-1.
    if (language.wideMonths && token.size() <= kMaxMonthNameBytes &&
        language.monthNumberOf(token) != 0) {
        return ListingToken::MonthName;
    }
    if (!IsLetter(first) && !IsPunctuation(first)) {
        return ListingToken::Garbage;
    }
    bool lettersOnly = true;
    for (char c : token) {
        if (!IsPrintable(c)) {
            return ListingToken::Garbage;
        }
        lettersOnly = lettersOnly && IsLetter(c);
    }
    if (lettersOnly && token.size() == 3 &&
        language.containsMonthLetters(LowerAscii(token[0]), LowerAscii(token[1]),
                                      LowerAscii(token[2]))) {
        return ListingToken::MonthName;
    }
    return IsModeString(token) ? ListingToken::ModeString : ListingToken::Other;
}

// A size: decimal digits up to the first other character, saturating instead of wrapping.
int64_t LeadingNumber(std::string_view text) {
    int64_t value = 0;
    for (char c : text) {
        if (!IsDigit(c)) {
            break;
        }
        const int digit = c - '0';
        // The constant test first: a division per digit would cost more than the rest of
        // the line.
        if (value > (INT64_MAX - 9) / 10 && value > (INT64_MAX - digit) / 10) {
            return INT64_MAX;
        }
        value = value * 10 + digit;
    }
    return value;
}

struct Token {
    uint16_t start;
    uint16_t length;
    ListingToken kind;
};

// The tokens of one line, with the positions in the line so that a name keeps its blanks.
class TokenizedLine {
  public:
    TokenizedLine(std::string_view line, const ListingLanguage& language) : line_(line) {
        size_t pos = 0;
        while (pos < line.size()) {
            while (pos < line.size() && IsBlank(line[pos])) {
                ++pos;
            }
            if (pos >= line.size()) {
                break;
            }
            if (count_ == kMaxListingTokens) {
                more_ = true;
                break;
            }
            size_t start = pos;
            while (pos < line.size() && !IsBlank(line[pos])) {
                ++pos;
            }
            Token& token = tokens_[static_cast<size_t>(count_++)];
            token.start = static_cast<uint16_t>(start);
            token.length = static_cast<uint16_t>(pos - start);
            token.kind = Classify(line.substr(start, pos - start), language);
        }
    }

    // Tokens examined (at most 16).
    int count() const { return count_; }
    // Tokens on the line, 17 standing for "more than 16".
    int total() const { return more_ ? kMaxListingTokens + 1 : count_; }
    bool has(int i) const { return i >= 0 && i < count_; }
    ListingToken kind(int i) const { return has(i) ? at(i).kind : ListingToken::Other; }
    bool is(int i, ListingToken kind) const { return has(i) && at(i).kind == kind; }
    std::string_view text(int i) const { return line_.substr(at(i).start, at(i).length); }
    // The line from token i to its end, blanks included.
    std::string_view rest(int i) const { return line_.substr(at(i).start); }
    // The line from token `from` up to token `to` (the end when there is no such token).
    std::string_view span(int from, int to) const {
        size_t end = has(to) ? at(to).start : line_.size();
        return line_.substr(at(from).start, end - at(from).start);
    }

  private:
    const Token& at(int i) const { return tokens_[static_cast<size_t>(i)]; }

    std::string_view line_;
    std::array<Token, kMaxListingTokens> tokens_{};
    int count_ = 0;
    bool more_ = false;
};

// What a recognised line gives before the common completion.
struct Parsed {
    std::string_view name;
    std::string_view linkTarget;
    std::string_view dateText;
    int64_t size = 0;
    uint32_t flags = 0;
    uint32_t mode = 0;
};

// "01-15-07  03:45PM       <DIR>          My Folder"
// "01-15-07  03:45PM              1024 a b.txt"
bool ParseDos(const TokenizedLine& tokens, Parsed& out) {
    if (tokens.total() < 4 || !tokens.is(0, ListingToken::NumericDate) ||
        !tokens.is(1, ListingToken::TimeOfDay)) {
        return false;
    }
    if (tokens.is(2, ListingToken::Number)) {
        out.size = LeadingNumber(tokens.text(2));
    } else if (tokens.text(2) == "<DIR>") {
        out.flags |= kEntryDirectory;
    }
    out.flags |= kEntryTimeValid;
    out.dateText = tokens.span(0, 2);
    out.name = tokens.rest(3);
    return true;
}

// "       0           DIR   02-18-97  11:48  ADDRESS"
// "  345 A  02-18-97 11:48 FILE.TXT"
bool ParseOs2(const TokenizedLine& tokens, int d, Parsed& out) {
    if (tokens.total() < 4 || !tokens.is(d, ListingToken::NumericDate) ||
        !tokens.is(d + 1, ListingToken::TimeOfDay) || !tokens.is(0, ListingToken::Number) ||
        !tokens.has(d + 2)) {
        return false;
    }
    if (tokens.text(d - 1) == "DIR") {
        out.flags |= kEntryDirectory;
    } else {
        out.size = LeadingNumber(tokens.text(0));
    }
    out.flags |= kEntryTimeValid;
    out.dateText = tokens.span(d, d + 2);
    out.name = tokens.rest(d + 2);
    return true;
}

// "PUB.DIR;1  1/3  14-JAN-1997 10:20:30  [GROUP,OWNER]  (RWE,RWE,RE,RE)"
// or the name alone on one line (then in pendingName) and
// "  12/36  14-JAN-1997 10:20:30 [G,O] (RWED,RWED,RE,)" on the next.
bool ParseVms(const TokenizedLine& tokens, int d, const std::string& pendingName, Parsed& out) {
    const int total = tokens.total();
    bool oneLine = d == 2 && (total == 5 || total == 6);
    bool secondLine = d == 1 && (total == 4 || total == 5) && !pendingName.empty();
    if (!(oneLine || secondLine) || !tokens.is(d, ListingToken::VmsDate) ||
        !(tokens.is(d - 1, ListingToken::Number) || tokens.is(d - 1, ListingToken::BlockPair))) {
        return false;
    }
    std::string_view name = d == 2 ? tokens.text(0) : std::string_view(pendingName);
    if (size_t dir = name.find(".DIR"); dir != std::string_view::npos) {
        name = name.substr(0, dir);
        out.flags |= kEntryDirectory;
    }
    out.name = name;
    out.flags |= kEntryVmsForm;
    bool timeValid = tokens.is(d + 1, ListingToken::TimeOfDay);
    if (timeValid) {
        out.flags |= kEntryTimeValid;
    }
    out.dateText = tokens.span(d, timeValid ? d + 2 : d + 1);
    int64_t blocks = LeadingNumber(tokens.text(d - 1));
    out.size = blocks > INT64_MAX / 512 ? INT64_MAX : blocks * 512;
    return true;
}

// "-rw-r--r--   1 ftp  ftp   1234 Jan 15 10:42 read me.txt"
// "lrwxrwxrwx 1 u g 11 Jan 1 00:00 latest -> release/1.2"
// The name part of a Unix line: a link's "name -> target" split, a directory marked.
void SetUnixName(char first, std::string_view rest, Parsed& out) {
    if (first == 'l') {
        out.flags |= kEntrySymLink;
        if (size_t arrow = rest.find(" -> "); arrow != std::string_view::npos) {
            out.name = rest.substr(0, arrow);
            out.linkTarget = rest.substr(arrow + 4);
        } else {
            out.name = rest;
        }
        return;
    }
    if (first == 'd') {
        out.flags |= kEntryDirectory;
    }
    out.name = rest;
}

bool ParseUnix(std::string_view line, const TokenizedLine& tokens, Parsed& out) {
    const bool modeToken = tokens.is(0, ListingToken::ModeString);
    const char first = line[0];
    if (!modeToken && first != '-' && first != 'd' && first != 'l') {
        return false;
    }
    // A user or group named like a piece of the month string ("jun", "dec") comes before the
    // real month: take the first month-like token that has a size before it, a day after it
    // and a name in its place.
    int m = -1;
    for (int i = 1; i + 3 < tokens.count(); ++i) {
        if (tokens.is(i, ListingToken::MonthName) && tokens.is(i - 1, ListingToken::Number) &&
            tokens.is(i + 1, ListingToken::Number)) {
            m = i;
            break;
        }
    }
    if (m < 0) {
        return false;
    }
    SetUnixName(first, tokens.rest(m + 3), out);
    if (tokens.is(m + 2, ListingToken::TimeOfDay)) {
        out.flags |= kEntryTimeValid;
    }
    out.dateText = tokens.span(m, m + 3);
    out.size = LeadingNumber(tokens.text(m - 1));
    if (modeToken) {
        out.flags |= kEntryModeValid;
        out.mode = permissionBitsOf(tokens.text(0));
    }
    return true;
}

// --- The usual Unix line in one pass ---

// The run of digits at `pos` (none when it is empty or not followed by a blank or the end).
std::optional<std::string_view> DigitToken(std::string_view line, size_t& pos) {
    const size_t start = pos;
    while (pos < line.size() && IsDigit(line[pos])) {
        ++pos;
    }
    if (pos == start || (pos < line.size() && !IsBlank(line[pos]))) {
        return std::nullopt;
    }
    return line.substr(start, pos - start);
}

std::string_view AnyToken(std::string_view line, size_t& pos) {
    const size_t start = pos;
    while (pos < line.size() && !IsBlank(line[pos])) {
        ++pos;
    }
    return line.substr(start, pos - start);
}

// False when no token follows.
bool SkipBlanks(std::string_view line, size_t& pos) {
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
    return pos < line.size();
}

// What Classify calls a month name when every month is three ASCII letters.
bool IsMonthLetters(std::string_view token, const ListingLanguage& language) {
    return token.size() == 3 && IsLetter(token[0]) && IsLetter(token[1]) && IsLetter(token[2]) &&
           language.containsMonthLetters(LowerAscii(token[0]), LowerAscii(token[1]),
                                         LowerAscii(token[2]));
}

// The month of a token that IsMonthLetters took, as monthNumberOf gives it, in one look-up
// instead of a comparison with every spelling. Published languages never change or go away,
// so a language is known by its address.
int MonthOfLetters(std::string_view token, const ListingLanguage& language) {
    constexpr size_t kRuns = 26 * 26 * 26;
    auto run = [](char a, char b, char c) {
        return static_cast<size_t>(((LowerAscii(a) - 'a') * 26 + (LowerAscii(b) - 'a')) * 26 +
                                   (LowerAscii(c) - 'a'));
    };
    thread_local const ListingLanguage* tableLanguage = nullptr;
    thread_local std::array<uint8_t, kRuns> months{};
    if (tableLanguage != &language) {
        months.fill(0);
        // Backwards, so that the first spelling of three letters wins, as in monthNumberOf.
        for (size_t i = language.spellingCount; i-- > 0;) {
            const std::string_view spelling = language.spellings[i].text();
            if (spelling.size() == 3 && IsLetter(spelling[0]) && IsLetter(spelling[1]) &&
                IsLetter(spelling[2])) {
                months[run(spelling[0], spelling[1], spelling[2])] = language.spellings[i].month;
            }
        }
        tableLanguage = &language;
    }
    return months[run(token[0], token[1], token[2])];
}

// A value of one or two digits.
int SmallNumber(std::string_view digits) {
    return digits.size() == 1 ? digits[0] - '0' : (digits[0] - '0') * 10 + (digits[1] - '0');
}

// "-rw-r--r--   1 owner  group     1234 Jan 15 10:42 name" (or a year for the time), the line
// nearly every listing is made of, read without classifying every token: a mode string at the
// start, a link count, owner and group, a size, a month of the language, a day and a time of
// day or year that make a valid date, and the name. It reads only lines for which ParseUnix,
// the form the general reading then reaches, gives the same entry with a date the date parser
// reads the same way; any other line is left to the general reading (false).
bool ParseCommonUnix(std::string_view line, const ListingLanguage& language, int64_t now,
                     Parsed& out, int64_t& time) {
    // With months of other shapes any token may be a month name.
    if (language.wideMonths || line.size() <= 10 || !IsModeString(line.substr(0, 10)) ||
        !IsBlank(line[10])) {
        return false;
    }
    size_t pos = 10;
    if (!SkipBlanks(line, pos) || !DigitToken(line, pos) || !SkipBlanks(line, pos)) {
        return false;
    }
    // An owner or group that reads as a month could be where the general reading finds
    // the date.
    if (IsMonthLetters(AnyToken(line, pos), language) || !SkipBlanks(line, pos) ||
        IsMonthLetters(AnyToken(line, pos), language) || !SkipBlanks(line, pos)) {
        return false;
    }
    const std::optional<std::string_view> size = DigitToken(line, pos);
    if (!size || !SkipBlanks(line, pos)) {
        return false;
    }
    const size_t dateStart = pos;
    const std::string_view month = AnyToken(line, pos);
    ListingDate date;
    if (!IsMonthLetters(month, language) || (date.month = MonthOfLetters(month, language)) == 0 ||
        !SkipBlanks(line, pos)) {
        return false;
    }
    const std::optional<std::string_view> day = DigitToken(line, pos);
    if (!day || day->size() > 2 || !SkipBlanks(line, pos)) {
        return false;
    }
    date.day = SmallNumber(*day);
    const std::string_view last = AnyToken(line, pos);
    const bool timeOfDay = last.size() >= 4 && last.size() <= 5 && last[last.size() - 3] == ':';
    if (timeOfDay) {
        // "9:05", "10:42"
        const std::string_view hour = last.substr(0, last.size() - 3);
        const std::string_view minute = last.substr(last.size() - 2);
        if (!IsDigit(hour[0]) || !IsDigit(hour.back()) || !IsDigit(minute[0]) ||
            !IsDigit(minute[1])) {
            return false;
        }
        date.hour = SmallNumber(hour);
        date.minute = SmallNumber(minute);
        if (date.hour > 23 || date.minute > 59) {
            return false;
        }
    } else {
        // "2004"
        if (last.size() != 4 || !IsDigit(last[0]) || !IsDigit(last[1]) || !IsDigit(last[2]) ||
            !IsDigit(last[3])) {
            return false;
        }
        date.hasYear = true;
        date.year = (last[0] - '0') * 1000 + (last[1] - '0') * 100 + SmallNumber(last.substr(2));
    }
    // The date text the general reading hands over is cut at kMaxDateText characters.
    if (!listedDayExists(date) || !SkipBlanks(line, pos) || pos - dateStart > kMaxDateText) {
        return false;
    }
    SetUnixName(line[0], line.substr(pos), out);
    if (timeOfDay) {
        out.flags |= kEntryTimeValid;
    }
    out.size = LeadingNumber(*size);
    out.flags |= kEntryModeValid;
    out.mode = permissionBitsOf(line.substr(0, 10));
    time = listingDateToTime(date, now);
    return true;
}

}  // namespace

ListingToken classifyListingToken(std::string_view token) {
    if (token.empty()) {
        return ListingToken::Other;
    }
    return Classify(token, currentListingLanguage());
}

uint32_t permissionBitsOf(std::string_view modeString) {
    if (modeString.size() < 10) {
        return 0;
    }
    uint32_t bits = 0;
    uint32_t special = 0;
    for (size_t triplet = 0; triplet < 3; ++triplet) {
        const size_t at = 1 + 3 * triplet;
        const uint32_t setId = triplet == 0 ? 04000 : 02000;
        bits <<= 3;
        if (modeString[at] == 'r') {
            bits |= 4;
        }
        if (modeString[at + 1] == 'w') {
            bits |= 2;
        }
        switch (modeString[at + 2]) {
            case 'x':
                bits |= 1;
                break;
            case 's':
                bits |= 1;
                special |= setId;
                break;
            case 'S':
                special |= setId;
                break;
            case 't':
                bits |= 1;
                special |= 01000;
                break;
            case 'T':
                special |= 01000;
                break;
            default:
                break;
        }
    }
    return bits | special;
}

namespace {

// Any form, token by token, the time into `time`. False when no form fits; pendingName is
// then cleared, or holds a VMS name that stood alone.
bool ParseAnyForm(std::string_view line, std::string& pendingName, const ListingLanguage& language,
                  int64_t now, Parsed& parsed, int64_t& time) {
    const TokenizedLine tokens(line, language);
    if (tokens.count() == 0) {
        pendingName.clear();
        return false;
    }
    // A VMS name too long for its line stands alone; its details follow on the next line.
    if (tokens.total() == 1 && tokens.kind(0) != ListingToken::Garbage) {
        pendingName.assign(tokens.text(0));
        return false;
    }

    // The date token: the last VMS date, else the first numeric date.
    int d = -1;
    for (int i = 0; i < tokens.count(); ++i) {
        if (tokens.is(i, ListingToken::VmsDate)) {
            d = i;
        }
    }
    if (d < 0) {
        for (int i = 0; i < tokens.count() && d < 0; ++i) {
            if (tokens.is(i, ListingToken::NumericDate)) {
                d = i;
            }
        }
    }

    bool recognised = false;
    if (d == 0) {
        recognised = ParseDos(tokens, parsed);
    } else if (d >= 1) {
        recognised = ParseOs2(tokens, d, parsed);
        if (!recognised) {
            parsed = Parsed{};
            recognised = ParseVms(tokens, d, pendingName, parsed);
        }
    }
    if (!recognised) {
        parsed = Parsed{};
        recognised = ParseUnix(line, tokens, parsed);
    }
    if (!recognised) {
        pendingName.clear();
        return false;
    }
    time = listingDateToTime(parsed.dateText, language, now);
    return true;
}

bool ParseLine(std::string_view line, std::string& pendingName, RemoteEntry& entry, int64_t now,
               bool withTexts, bool shortcut) {
    // The listing loop never hands over more; a cut line would name a file that does not
    // exist, and a NUL cannot be part of any name.
    if (line.size() > kMaxListingLine || line.find('\0') != std::string_view::npos) {
        pendingName.clear();
        return false;
    }
    const ListingLanguage& language = currentListingLanguage();
    Parsed parsed;
    int64_t time = 0;
    if (!(shortcut && ParseCommonUnix(line, language, now, parsed, time))) {
        if (!ParseAnyForm(line, pendingName, language, now, parsed, time)) {
            return false;
        }
    }
    if (withTexts) {
        setSizeAndTime(entry, parsed.size, time, now);
    } else {
        entry.size = parsed.size;
        entry.time = time;
    }
    entry.name.assign(parsed.name);
    entry.linkTarget.assign(parsed.linkTarget);
    entry.flags |= parsed.flags;
    entry.modeAndIcon = parsed.mode << kEntryModeShift;
    assignTypeAndIcon(entry);
    pendingName.clear();
    return true;
}

}  // namespace

bool parseListingLine(std::string_view line, std::string& pendingName, RemoteEntry& entry,
                      int64_t now) {
    return ParseLine(line, pendingName, entry, now, true, true);
}

bool parseListingLine(std::string_view line, std::string& pendingName, RemoteEntry& entry) {
    return parseListingLine(line, pendingName, entry, listingNow());
}

bool parseCachedListingLine(std::string_view line, std::string& pendingName, RemoteEntry& entry,
                            int64_t now) {
    return ParseLine(line, pendingName, entry, now, false, true);
}

bool parseListingLineWithoutShortcut(std::string_view line, std::string& pendingName,
                                     RemoteEntry& entry, int64_t now) {
    return ParseLine(line, pendingName, entry, now, true, false);
}

}  // namespace qvex
