#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvex {

enum class WildcardTokenKind {
    Star,
    Question,
    Literal,
};

// One piece of a compiled wildcard pattern: '*', '?', or a run of other characters.
struct WildcardToken {
    WildcardTokenKind kind = WildcardTokenKind::Literal;
    // The run's characters; empty for '*' and '?'.
    std::string text;
    bool operator==(const WildcardToken&) const = default;
};

// Every '*' and every '?' becomes a token of its own, each run of other characters between
// them one literal token. An empty pattern gives no tokens.
[[nodiscard]] std::vector<WildcardToken> CompileWildcard(std::string_view pattern);

// Whether `name` matches, case-sensitively. The pattern is not anchored at the end ("abc"
// matches "abcdef"); it is anchored at the start and after every '?', and '*' lifts the
// anchor. A literal is taken at its first occurrence, without trying later ones; every
// token, a trailing '*' too, needs at least one character left. '?' takes one character:
// a whole UTF-8 sequence when one starts there, else one byte.
[[nodiscard]] bool MatchWildcard(std::span<const WildcardToken> tokens, std::string_view name);

// The length of the character that starts at `position` (which must lie inside `text`): the
// whole sequence for well-formed UTF-8, else 1, so that names in a single-byte code page
// still step one byte at a time.
[[nodiscard]] size_t CharacterLength(std::string_view text, size_t position);

}  // namespace qvex
