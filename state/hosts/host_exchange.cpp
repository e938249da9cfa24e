#include "state/hosts/host_exchange.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>

#include "state/secret_codec.h"
#include "util/hex.h"

namespace qvex {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr size_t kMaxWordDigits = 8;

std::string WithCount(std::string_view format, int count) {
    std::string text(format);
    text.replace(text.find("%d"), 2, std::to_string(count));
    return text;
}

bool HasCredentials(const HostEntry& entry) {
    return !entry.user.empty() || !entry.password.empty();
}

// A line ends at its first CR or LF, whichever comes first, or at the end of the text.
size_t LineEnd(std::string_view text, size_t from) {
    return std::min(text.find_first_of("\r\n", from), text.size());
}

// One to eight hexadecimal digits, then the end of the line or a character that is not above
// a space.
std::optional<uint32_t> ParseWord(std::string_view line) {
    uint32_t word = 0;
    size_t digits = 0;
    while (digits < line.size() && HexDigitValue(line[digits]) >= 0) {
        if (digits == kMaxWordDigits) {
            return std::nullopt;
        }
        word = word << 4 | static_cast<uint32_t>(HexDigitValue(line[digits]));
        ++digits;
    }
    if (digits == 0 || (digits < line.size() && static_cast<unsigned char>(line[digits]) > ' ')) {
        return std::nullopt;
    }
    return word;
}

std::vector<HostEntry> Selected(const HostList& hosts, const std::vector<std::string>& selection) {
    std::vector<HostEntry> entries;
    if (selection.empty()) {
        return hosts.Entries();
    }
    for (const std::string& url : selection) {
        if (std::optional<HostEntry> entry = hosts.Find(url)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

// Exchange text ends at its first NUL, wherever it comes from. The clipboard's text does, and
// a binary file, which has NUL bytes early, is thus no exchange text rather than a source of
// made-up entries.
std::string_view UpToNul(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

enum class ReadResult {
    Read,
    CannotOpen,
    Empty,
    CannotRead,
};

ReadResult ReadWholeFile(const std::string& path, std::string& text) {
    // A folder opens for reading on some systems; it is no file to import all the same.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return ReadResult::CannotOpen;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        return ReadResult::CannotOpen;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return ReadResult::CannotRead;
    }
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff length = in.tellg();
    if (length < 0) {
        return ReadResult::CannotRead;
    }
    if (text.empty()) {
        return length == 0 ? ReadResult::Empty : ReadResult::CannotRead;
    }
    return ReadResult::Read;
}

}  // namespace

std::string BuildExchangeText(const std::vector<HostEntry>& entries) {
    std::string text(kExchangeHeader);
    text += kLineEnd;
    for (const HostEntry& entry : entries) {
        const bool credentials = HasCredentials(entry);
        const size_t kind = (credentials ? 1u : 0u) + (entry.perHostWord != 0 ? 2u : 0u);
        text += 'X';
        text += kExchangeKinds[kind];
        text += HostNameForText(entry.url);
        text += kLineEnd;
        if (credentials) {
            text += EncodeHostEntryData(entry.user, entry.password);
            text += kLineEnd;
        }
        if (entry.perHostWord != 0) {
            char word[9];
            std::snprintf(word, sizeof word, "%08X", static_cast<unsigned>(entry.perHostWord));
            text += word;
            text += kLineEnd;
        }
    }
    return text;
}

ParsedExchange ParseExchangeText(std::string_view text) {
    ParsedExchange parsed;
    size_t at = text.find('[');
    if (at == std::string_view::npos) {
        return parsed;
    }
    parsed.valid = true;
    while (at + 1 < text.size()) {
        if (text[at] != 'X') {
            ++at;
            continue;
        }
        const char letter = text[at + 1];
        unsigned kind = letter == 'B' ? 3u : letter == 'P' ? 2u : letter == 'U' ? 1u : 0u;
        const size_t nameBegin = at + 2;
        at = LineEnd(text, nameBegin);
        HostEntry entry;
        entry.url = HostNameFromText(text.substr(nameBegin, at - nameBegin));
        while (kind != 0) {
            while (at < text.size() && static_cast<unsigned char>(text[at]) < 0x20) {
                ++at;
            }
            if (at == text.size()) {
                return parsed;  // cut in the middle of a group
            }
            const size_t lineBegin = at;
            at = LineEnd(text, lineBegin);
            const std::string_view line = text.substr(lineBegin, at - lineBegin);
            if ((kind & 1u) != 0) {
                auto credentials = DecodeHostEntryData(line);
                if (!credentials) {
                    return parsed;
                }
                entry.user = std::move(credentials->first);
                entry.password = std::move(credentials->second);
                kind &= ~1u;
            } else {
                const std::optional<uint32_t> word = ParseWord(line);
                if (!word) {
                    return parsed;
                }
                entry.perHostWord = *word;
                kind &= ~2u;
            }
        }
        // An entry line without a name ("X" and a letter at a line's end) names nothing.
        if (!entry.url.empty()) {
            parsed.entries.push_back(std::move(entry));
        }
    }
    return parsed;
}

ExchangeOutcome ExportHosts(const HostList& hosts, const std::vector<std::string>& selection,
                            const std::string& path) {
    ExchangeOutcome outcome;
    const std::vector<HostEntry> entries = Selected(hosts, selection);
    if (entries.empty()) {
        return outcome;
    }
    outcome.acted = true;
    const std::string text = BuildExchangeText(entries);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        outcome.status = kUnableToOpenFile;
        return outcome;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
        outcome.status = kUnableToWriteFile;
        return outcome;
    }
    outcome.count = static_cast<int>(entries.size());
    outcome.status = WithCount(kExportedToFile, outcome.count);
    return outcome;
}

ExchangeOutcome ExportHosts(const HostList& hosts, const std::vector<std::string>& selection,
                            ClipboardText& clipboard) {
    ExchangeOutcome outcome;
    const std::vector<HostEntry> entries = Selected(hosts, selection);
    if (entries.empty()) {
        return outcome;
    }
    outcome.acted = true;
    clipboard.text = BuildExchangeText(entries);
    outcome.count = static_cast<int>(entries.size());
    outcome.status = WithCount(kExportedToClipboard, outcome.count);
    return outcome;
}

ExchangeOutcome ImportHostsFromText(HostList& hosts, std::string_view text) {
    ExchangeOutcome outcome;
    outcome.acted = true;
    ParsedExchange parsed = ParseExchangeText(text);
    if (!parsed.valid) {
        outcome.status = kNoImportData;
        return outcome;
    }
    outcome.count = static_cast<int>(hosts.SaveHostEntries(parsed.entries));
    for (HostEntry& entry : parsed.entries) {
        outcome.urls.push_back(std::move(entry.url));
    }
    outcome.status = WithCount(kImported, outcome.count);
    return outcome;
}

ExchangeOutcome ImportHosts(HostList& hosts, const std::string& path) {
    std::string text;
    switch (ReadWholeFile(path, text)) {
        case ReadResult::Read:
            return ImportHostsFromText(hosts, UpToNul(text));
        case ReadResult::CannotOpen:
            return {true, std::string(kUnableToOpenFile), 0, {}};
        case ReadResult::Empty:
            return {true, std::string(kFileIsEmpty), 0, {}};
        case ReadResult::CannotRead:
            break;
    }
    return {true, std::string(kUnableToReadFile), 0, {}};
}

ExchangeOutcome ImportHosts(HostList& hosts, const ClipboardText& clipboard) {
    const std::string_view text = clipboard.text ? UpToNul(*clipboard.text) : std::string_view();
    if (text.empty()) {
        return {true, std::string(kNoClipboardText), 0, {}};
    }
    return ImportHostsFromText(hosts, text);
}

HostExchangeTool::HostExchangeTool(HostList& hosts) : hosts_(hosts), rows_(hosts.Urls()) {}

std::vector<std::string> HostExchangeTool::Selection(
    const std::vector<size_t>& selectedRows) const {
    std::vector<std::string> urls;
    std::set<size_t> seen;
    for (size_t row : selectedRows) {
        if (row < rows_.size() && seen.insert(row).second) {
            urls.push_back(rows_[row]);
        }
    }
    if (urls.empty()) {
        urls = rows_;  // no selection: every row
    }
    return urls;
}

void HostExchangeTool::Take(const ExchangeOutcome& outcome) {
    if (!outcome.acted) {
        return;
    }
    status_ = outcome.status;
    for (const std::string& url : outcome.urls) {
        if (std::find(rows_.begin(), rows_.end(), url) == rows_.end()) {
            rows_.push_back(url);
        }
    }
}

void HostExchangeTool::Export(const std::vector<size_t>& selectedRows, const std::string& path) {
    const std::vector<std::string> urls = Selection(selectedRows);
    if (!urls.empty()) {
        Take(ExportHosts(hosts_, urls, path));
    }
}

void HostExchangeTool::Copy(const std::vector<size_t>& selectedRows, ClipboardText& clipboard) {
    const std::vector<std::string> urls = Selection(selectedRows);
    if (!urls.empty()) {
        Take(ExportHosts(hosts_, urls, clipboard));
    }
}

void HostExchangeTool::Import(const std::string& path) {
    Take(ImportHosts(hosts_, path));
}

void HostExchangeTool::Paste(const ClipboardText& clipboard) {
    Take(ImportHosts(hosts_, clipboard));
}

}  // namespace qvex
