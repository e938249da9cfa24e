#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvex {

// A regular expression through the PCRE POSIX-style wrapper, compiled without options and
// matched as an unanchored search unless the pattern anchors itself.
class PosixRegex {
  public:
    PosixRegex();
    explicit PosixRegex(const char* pattern);
    PosixRegex(const PosixRegex&) = delete;
    PosixRegex& operator=(const PosixRegex&) = delete;
    ~PosixRegex();

    [[nodiscard]] bool Compile(const char* pattern);
    bool compiled() const { return compiled_; }

    // Whether the pattern matches somewhere in `text`.
    bool Matches(std::string_view text) const;
    // The captures of the first match: index 0 is the whole match, then each group
    // (nullopt for a group that took no part). Empty when nothing matched.
    std::vector<std::optional<std::string>> Search(std::string_view text) const;

  private:
    struct Compiled;
    std::unique_ptr<Compiled> compiledPattern_;
    bool compiled_ = false;
    // The wrapper keeps one match block inside the compiled pattern: one match at a time.
    mutable std::mutex matchLock_;
};

}  // namespace qvex
