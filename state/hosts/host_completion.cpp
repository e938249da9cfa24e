#include "state/hosts/host_completion.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "state/settings.h"

namespace qvex {
namespace {

constexpr std::array<std::string_view, 4> kPrefixes = {"", "ftp.", "ftp://", "ftp://ftp."};

std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return folded;
}

}  // namespace

HostCompleter::HostCompleter(std::vector<std::string> urls) {
    Reset(std::move(urls));
}

void HostCompleter::Reset(std::vector<std::string> urls) {
    urls_ = std::move(urls);
    folded_.clear();
    folded_.reserve(urls_.size());
    for (const std::string& url : urls_) {
        folded_.push_back(Folded(url));
    }
}

std::vector<size_t> HostCompleter::Match(std::string_view typed) const {
    const std::string text = Folded(typed.substr(0, std::min(typed.size(), kMaxTypedLength)));
    std::vector<size_t> matches;
    std::vector<bool> taken;
    std::string needle;
    for (std::string_view prefix : kPrefixes) {
        needle.assign(prefix);
        needle += text;
        for (size_t index = 0; index < folded_.size(); ++index) {
            const std::string& url = folded_[index];
            if (url.size() < needle.size() ||
                std::memcmp(url.data(), needle.data(), needle.size()) != 0) {
                continue;
            }
            if (taken.empty()) {
                taken.resize(folded_.size());
            }
            if (!taken[index]) {
                taken[index] = true;
                matches.push_back(index);
            }
        }
    }
    return matches;
}

std::vector<std::string> HostCompleter::Complete(std::string_view typed) const {
    std::vector<std::string> matches;
    for (size_t index : Match(typed)) {
        matches.push_back(urls_[index]);
    }
    return matches;
}

std::vector<std::string> CompleteHostField(const Settings& settings, const HostCompleter& completer,
                                           std::string_view typed) {
    if (settings.GetInt("HostUrlAuto") == 0) {
        return {};
    }
    return completer.Complete(typed);
}

}  // namespace qvex
