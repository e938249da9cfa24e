#include "search/wildcard.h"

#include <cstdint>

namespace qvex {

std::vector<WildcardToken> CompileWildcard(std::string_view pattern) {
    std::vector<WildcardToken> tokens;
    size_t runStart = 0;
    auto closeRun = [&](size_t end) {
        if (end > runStart) {
            tokens.push_back({WildcardTokenKind::Literal,
                              std::string(pattern.substr(runStart, end - runStart))});
        }
    };
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '*' && pattern[i] != '?') {
            continue;
        }
        closeRun(i);
        tokens.push_back(
            {pattern[i] == '*' ? WildcardTokenKind::Star : WildcardTokenKind::Question, {}});
        runStart = i + 1;
    }
    closeRun(pattern.size());
    return tokens;
}

size_t CharacterLength(std::string_view text, size_t position) {
    auto lead = static_cast<uint8_t>(text[position]);
    size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 1;
    }
    if (text.size() - position < length) {
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<uint8_t>(text[position + i]) & 0xC0) != 0x80) {
            return 1;
        }
    }
    return length;
}

bool MatchWildcard(std::span<const WildcardToken> tokens, std::string_view name) {
    size_t position = 0;
    bool anchored = true;
    for (const WildcardToken& token : tokens) {
        if (position >= name.size()) {
            return false;
        }
        switch (token.kind) {
            case WildcardTokenKind::Star:
                anchored = false;
                break;
            case WildcardTokenKind::Question:
                anchored = true;
                position += CharacterLength(name, position);
                break;
            case WildcardTokenKind::Literal: {
                // Anchored, the first occurrence must start here: the same test as
                // comparing in place, without searching the rest of the name.
                if (anchored) {
                    if (name.compare(position, token.text.size(), token.text) != 0) {
                        return false;
                    }
                } else {
                    size_t found = name.find(token.text, position);
                    if (found == std::string_view::npos) {
                        return false;
                    }
                    position = found;
                }
                position += token.text.size();
                break;
            }
        }
    }
    return true;
}

}  // namespace qvex
