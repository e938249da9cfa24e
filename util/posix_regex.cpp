#include "util/posix_regex.h"

#include <pcre2posix.h>

#include <climits>

namespace qvex {

struct PosixRegex::Compiled {
    regex_t regex;
};

PosixRegex::PosixRegex() : compiledPattern_(std::make_unique<Compiled>()) {}

PosixRegex::PosixRegex(const char* pattern) : PosixRegex() {
    (void)Compile(pattern);
}

PosixRegex::~PosixRegex() {
    if (compiled_) {
        pcre2_regfree(&compiledPattern_->regex);
    }
}

bool PosixRegex::Compile(const char* pattern) {
    if (compiled_ || pattern == nullptr) {
        return false;
    }
    compiled_ = pcre2_regcomp(&compiledPattern_->regex, pattern, 0) == 0;
    return compiled_;
}

bool PosixRegex::Matches(std::string_view text) const {
    return !Search(text).empty();
}

std::vector<std::optional<std::string>> PosixRegex::Search(std::string_view text) const {
    std::vector<std::optional<std::string>> captures;
    if (!compiled_ || text.size() > INT_MAX) {
        return captures;
    }
    std::lock_guard guard(matchLock_);
    size_t groups = compiledPattern_->regex.re_nsub + 1;
    std::vector<regmatch_t> matches(groups);
    // REG_STARTEND: the text need not end in a NUL and may hold NUL bytes.
    matches[0].rm_so = 0;
    matches[0].rm_eo = static_cast<regoff_t>(text.size());
    if (pcre2_regexec(&compiledPattern_->regex, text.data(), groups, matches.data(),
                      REG_STARTEND) != 0) {
        return captures;
    }
    captures.reserve(groups);
    for (const regmatch_t& match : matches) {
        if (match.rm_so < 0) {
            captures.emplace_back(std::nullopt);
        } else {
            captures.emplace_back(std::string(text.substr(
                static_cast<size_t>(match.rm_so), static_cast<size_t>(match.rm_eo - match.rm_so))));
        }
    }
    return captures;
}

}  // namespace qvex
