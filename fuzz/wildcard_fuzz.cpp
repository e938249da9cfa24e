// Search patterns are typed by the user and names come from any server's listings. Input:
// one byte of mode (bit 0: also compile the pattern as an expression), the pattern up to
// the first NUL, then the name. The compiled tokens must give back the pattern, and the
// matcher must agree with a direct reading of the rules over the raw pattern text.
#include "fuzz/fuzz_check.h"
#include "search/search_pattern.h"
#include "search/wildcard.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The rules applied character by character to the pattern itself, without tokens.
bool ReferenceMatch(std::string_view pattern, std::string_view name) {
    size_t at = 0;
    size_t position = 0;
    bool anchored = true;
    while (at < pattern.size()) {
        if (position >= name.size()) {
            return false;
        }
        if (pattern[at] == '*') {
            anchored = false;
            ++at;
            continue;
        }
        if (pattern[at] == '?') {
            anchored = true;
            position += qvex::CharacterLength(name, position);
            ++at;
            continue;
        }
        size_t end = pattern.find_first_of("*?", at);
        std::string_view literal =
            pattern.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        size_t found = name.find(literal, position);
        if (found == std::string_view::npos || (anchored && found != position)) {
            return false;
        }
        position = found + literal.size();
        at += literal.size();
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool pcre = (data[0] & 1) != 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = rest.find('\0');
    std::string_view pattern = rest.substr(0, split);
    std::string_view name =
        split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);

    std::vector<qvex::WildcardToken> tokens = qvex::CompileWildcard(pattern);
    std::string rebuilt;
    bool lastWasLiteral = false;
    for (const qvex::WildcardToken& token : tokens) {
        switch (token.kind) {
            case qvex::WildcardTokenKind::Star:
                Check(token.text.empty());
                rebuilt.push_back('*');
                lastWasLiteral = false;
                break;
            case qvex::WildcardTokenKind::Question:
                Check(token.text.empty());
                rebuilt.push_back('?');
                lastWasLiteral = false;
                break;
            case qvex::WildcardTokenKind::Literal:
                Check(!token.text.empty() && !lastWasLiteral);
                Check(token.text.find_first_of("*?") == std::string::npos);
                rebuilt += token.text;
                lastWasLiteral = true;
                break;
        }
    }
    Check(rebuilt == pattern);

    const bool matches = qvex::MatchWildcard(tokens, name);
    Check(matches == ReferenceMatch(pattern, name));
    // No end anchor: what matches still matches with more characters behind it.
    if (matches) {
        std::string longer(name);
        longer += "tail";
        Check(qvex::MatchWildcard(tokens, longer));
    }
    // Without '*' and '?' a pattern is a prefix test.
    if (pattern.find_first_of("*?") == std::string_view::npos) {
        Check(matches == name.starts_with(pattern));
    }

    qvex::SearchPattern wildcard;
    const bool fits = pattern.size() <= qvex::kMaxSearchPattern;
    Check(wildcard.Compile(pattern, false) == fits);
    Check(wildcard.Matches(name) == (fits && matches));

    if (pcre) {
        qvex::SearchPattern expression;
        bool compiled = expression.Compile(pattern, true);
        Check(!compiled || fits);
        Check(compiled || !expression.Matches(name));
        (void)expression.Matches(name);
    }
    return 0;
}
