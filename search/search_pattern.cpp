#include "search/search_pattern.h"

#include <pcre2posix.h>

#include <climits>
#include <string>

namespace qvex {

struct SearchPattern::Expression {
    Expression() = default;
    Expression(const Expression&) = delete;
    Expression& operator=(const Expression&) = delete;
    ~Expression() {
        if (compiled) {
            pcre2_regfree(&regex);
        }
    }
    regex_t regex{};
    bool compiled = false;
};

SearchPattern::SearchPattern() = default;
SearchPattern::~SearchPattern() = default;

bool SearchPattern::Compile(std::string_view text, bool pcre) {
    if (compiled_ || text.size() > kMaxSearchPattern) {
        return false;
    }
    if (!pcre) {
        tokens_ = CompileWildcard(text);
        compiled_ = true;
        return true;
    }
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    auto expression = std::make_unique<Expression>();
    const std::string terminated(text);
    if (pcre2_regcomp(&expression->regex, terminated.c_str(), 0) != 0) {
        return false;
    }
    expression->compiled = true;
    expression_ = std::move(expression);
    compiled_ = true;
    return true;
}

bool SearchPattern::Matches(std::string_view name) const {
    if (!compiled_) {
        return false;
    }
    if (!expression_) {
        return MatchWildcard(tokens_, name);
    }
    if (name.size() > INT_MAX) {
        return false;
    }
    // REG_STARTEND bounds the subject by the span, so the name needs no NUL of its own. No
    // captures are asked for: the wrapper then only reports whether there was a match.
    regmatch_t span[1];
    span[0].rm_so = 0;
    span[0].rm_eo = static_cast<regoff_t>(name.size());
    const char* subject = name.data() != nullptr ? name.data() : "";
    return pcre2_regexec(&expression_->regex, subject, 0, span, REG_STARTEND) == 0;
}

}  // namespace qvex
