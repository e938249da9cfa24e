#include "shellext/app_file.h"

#include <cctype>

#include "shellext/xdg_folders.h"

namespace qvex::shellext {
namespace {

constexpr std::string_view kSettingsKey = "HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings";
// The program's settings stay far below this; a larger file is not the program's.
constexpr size_t kReadLimit = 16 << 20;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// A quoted string at `pos`, unescaped (a backslash before any byte but '\\' and '"' stands
// for itself); `pos` moves behind its closing quote.
std::optional<std::string> Quoted(std::string_view text, size_t& pos) {
    if (pos >= text.size() || text[pos] != '"') {
        return std::nullopt;
    }
    std::string value;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            pos = i + 1;
            return value;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            c = text[++i];
        }
        value.push_back(c);
    }
    return std::nullopt;
}

// "dword:" (either case) and one to eight hexadecimal digits.
bool Dword(std::string_view text, size_t& pos) {
    constexpr std::string_view kPrefix = "dword:";
    if (!SameIgnoringCase(text.substr(pos, kPrefix.size()), kPrefix)) {
        return false;
    }
    size_t at = pos + kPrefix.size();
    const size_t digits = at;
    while (at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    if (at == digits || at - digits > 8) {
        return false;
    }
    pos = at;
    return true;
}

// Only blanks may follow an entry on its last line; `pos` moves behind the line end.
bool EndOfLine(std::string_view text, size_t& pos) {
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    if (pos == text.size()) {
        return true;
    }
    if (text[pos] != '\n') {
        return false;
    }
    ++pos;
    return true;
}

size_t NextLine(std::string_view text, size_t pos) {
    const size_t end = text.find('\n', pos);
    return end == std::string_view::npos ? text.size() : end + 1;
}

}  // namespace

std::optional<std::string> FindAppFile(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    size_t pos = NextLine(text, 0);
    std::string_view first = text.substr(0, pos);
    while (!first.empty() && (IsBlank(first.back()) || first.back() == '\n')) {
        first.remove_suffix(1);
    }
    if (first != "REGEDIT4") {
        return std::nullopt;
    }
    bool inSettings = false;
    std::optional<std::string> found;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
            ++pos;
        }
        if (pos < text.size() && text[pos] == '[') {
            const size_t next = NextLine(text, pos);
            std::string_view line = text.substr(pos, next - pos);
            while (!line.empty() && (IsBlank(line.back()) || line.back() == '\n')) {
                line.remove_suffix(1);
            }
            inSettings = line.size() >= 2 && line.back() == ']' &&
                         SameIgnoringCase(line.substr(1, line.size() - 2), kSettingsKey);
            pos = next;
            continue;
        }
        // An entry: "name"=, then "text" or dword:digits, then the end of its line. A string
        // may span lines. One that does not parse is skipped from the line it began on.
        size_t at = pos;
        std::optional<std::string> name = Quoted(text, at);
        if (name && at < text.size() && text[at] == '=') {
            ++at;
            std::optional<std::string> value = Quoted(text, at);
            if ((value || Dword(text, at)) && EndOfLine(text, at)) {
                if (inSettings && SameIgnoringCase(*name, "AppFile")) {
                    found = std::move(value);
                }
                pos = at;
                continue;
            }
        }
        pos = NextLine(text, pos);
    }
    if (!found || found->empty() || found->size() > kMaxAppFileBytes ||
        found->find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return found;
}

std::optional<std::string> ReadAppFile() {
    return FindAppFile(ReadFileStart(RegistryFilePath(), kReadLimit));
}

}  // namespace qvex::shellext
