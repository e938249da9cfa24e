#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qvex {

class Settings;

// At most this much of the typed text takes part in matching.
inline constexpr size_t kMaxTypedLength = 511;

// Auto-completion of the host field. Built once from the list's URLs in display order (and
// again when the list changes); each keystroke then matches the typed text, case-blind,
// against prefix + typed text for the prefixes "", "ftp.", "ftp://" and "ftp://ftp.", in that
// order, each in list order and without repeats.
class HostCompleter {
  public:
    HostCompleter() = default;
    explicit HostCompleter(std::vector<std::string> urls);

    void Reset(std::vector<std::string> urls);
    // Positions in urls() of the matches, in the order the completion list shows them; empty
    // when nothing matches (the list closes).
    [[nodiscard]] std::vector<size_t> Match(std::string_view typed) const;
    [[nodiscard]] std::vector<std::string> Complete(std::string_view typed) const;
    const std::vector<std::string>& urls() const { return urls_; }

  private:
    std::vector<std::string> urls_;
    std::vector<std::string> folded_;  // lower-case copies, compared against
};

// The completion list for the typed text, or nothing while "HostUrlAuto" is 0.
[[nodiscard]] std::vector<std::string> CompleteHostField(const Settings& settings,
                                                         const HostCompleter& completer,
                                                         std::string_view typed);

}  // namespace qvex
