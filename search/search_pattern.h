#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "search/wildcard.h"

namespace qvex {

// The longest pattern a search takes, in bytes.
inline constexpr size_t kMaxSearchPattern = 511;

// A search pattern ready for matching: wildcard tokens, or a Perl-compatible expression
// compiled through the POSIX wrapper without options (case-sensitive; a match anywhere in
// the name counts unless the expression anchors itself).
class SearchPattern {
  public:
    SearchPattern();
    SearchPattern(const SearchPattern&) = delete;
    SearchPattern& operator=(const SearchPattern&) = delete;
    ~SearchPattern();

    // False, leaving nothing compiled, for a pattern longer than kMaxSearchPattern, and for
    // an expression that does not compile or holds a NUL (the wrapper would see only the
    // part before it). A wildcard pattern of any other text compiles; an empty one matches
    // every name. Compiles once per object.
    [[nodiscard]] bool Compile(std::string_view text, bool pcre);
    bool compiled() const { return compiled_; }

    // Whether `name` matches; false before a successful Compile. An expression shares one
    // match block: one thread at a time.
    [[nodiscard]] bool Matches(std::string_view name) const;

  private:
    struct Expression;

    std::vector<WildcardToken> tokens_;
    std::unique_ptr<Expression> expression_;
    bool compiled_ = false;
};

}  // namespace qvex
