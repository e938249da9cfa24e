#include "platform/registry_file.h"

#include <algorithm>

namespace qvex::platform {
namespace {

constexpr std::string_view kFileHeader = "REGEDIT4";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDwordPrefix = "dword:";
constexpr std::string_view kUserRoot = "HKEY_CURRENT_USER\\";
constexpr char kHexDigits[] = "0123456789abcdef";

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldCase);
    return folded;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = FoldCase(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void AppendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

// Reads the text of one entry; each position is the place to continue after a success.
class EntryReader {
  public:
    EntryReader(std::string_view text, size_t pos) : text_(text), pos_(pos) {}

    size_t pos() const { return pos_; }

    // "..." with \\ and \" unescaped; a backslash before any other byte stands for itself.
    std::optional<std::string> Quoted() {
        if (!Take('"')) {
            return std::nullopt;
        }
        std::string result;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') {
                return result;
            }
            if (c == '\\' && pos_ < text_.size() && (text_[pos_] == '\\' || text_[pos_] == '"')) {
                c = text_[pos_++];
            }
            result.push_back(c);
        }
        return std::nullopt;
    }

    // dword:0000000a (one to eight hexadecimal digits, either case)
    std::optional<uint32_t> Dword() {
        if (Folded(text_.substr(pos_, kDwordPrefix.size())) != kDwordPrefix) {
            return std::nullopt;
        }
        pos_ += kDwordPrefix.size();
        uint32_t number = 0;
        size_t digits = 0;
        for (; pos_ < text_.size() && HexValue(text_[pos_]) >= 0; ++pos_, ++digits) {
            number = number << 4 | static_cast<uint32_t>(HexValue(text_[pos_]));
        }
        if (digits == 0 || digits > 8) {
            return std::nullopt;
        }
        return number;
    }

    bool Take(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    // Only blanks may follow an entry on its last line.
    bool EndOfLine() {
        while (pos_ < text_.size() && IsBlank(text_[pos_])) {
            ++pos_;
        }
        if (pos_ == text_.size()) {
            return true;
        }
        return Take('\n');
    }

  private:
    std::string_view text_;
    size_t pos_;
};

std::optional<RegistryNamedValue> ReadEntry(EntryReader& reader) {
    std::optional<std::string> name = reader.Quoted();
    if (!name || !reader.Take('=')) {
        return std::nullopt;
    }
    RegistryValue value;
    if (std::optional<std::string> text = reader.Quoted()) {
        value = RegistryValue::String(std::move(*text));
    } else if (std::optional<uint32_t> number = reader.Dword()) {
        value = RegistryValue::Dword(*number);
    } else {
        return std::nullopt;
    }
    if (!reader.EndOfLine()) {
        return std::nullopt;
    }
    return RegistryNamedValue{std::move(*name), std::move(value)};
}

size_t NextLine(std::string_view text, size_t pos) {
    size_t end = text.find('\n', pos);
    return end == std::string_view::npos ? text.size() : end + 1;
}

// The text between the brackets of a "[...]" line, or nullopt for any other line.
std::optional<std::string_view> KeyHeader(std::string_view line) {
    while (!line.empty() && IsBlank(line.back())) {
        line.remove_suffix(1);
    }
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
        return std::nullopt;
    }
    return line.substr(1, line.size() - 2);
}

}  // namespace

RegistryDocument RegistryDocument::Parse(std::string_view text) {
    RegistryDocument document;
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    size_t pos = NextLine(text, 0);
    std::string_view first = text.substr(0, pos);
    while (!first.empty() && (IsBlank(first.back()) || first.back() == '\n')) {
        first.remove_suffix(1);
    }
    if (first != kFileHeader) {
        return document;
    }
    std::optional<std::string> current;  // none: values here belong to no valid key
    while (pos < text.size()) {
        size_t lineStart = pos;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
            ++pos;
        }
        if (pos < text.size() && text[pos] == '[') {
            size_t next = NextLine(text, pos);
            std::string_view line = text.substr(pos, next - pos);
            if (!line.empty() && line.back() == '\n') {
                line.remove_suffix(1);
            }
            std::optional<std::string_view> key = KeyHeader(line);
            current.reset();
            if (key && IsValidKeyPath(*key)) {
                current = document.AddKey(*key).path;
            }
            pos = next;
            continue;
        }
        if (pos < text.size() && text[pos] == '"') {
            EntryReader reader(text, pos);
            if (std::optional<RegistryNamedValue> entry = ReadEntry(reader)) {
                if (current) {
                    (void)document.Set(*current, entry->name, std::move(entry->value));
                }
                pos = reader.pos();
                continue;
            }
        }
        // Blank lines, comments and anything that does not parse.
        pos = NextLine(text, lineStart);
    }
    return document;
}

std::string RegistryDocument::Serialize() const {
    std::string out(kFileHeader);
    out.push_back('\n');
    for (const Key& key : keys_) {
        out += "\n[";
        out += key.path;
        out += "]\n";
        for (const RegistryNamedValue& entry : key.values) {
            AppendQuoted(out, entry.name);
            out.push_back('=');
            if (entry.value.type == RegistryValue::Type::String) {
                AppendQuoted(out, entry.value.text);
            } else {
                out += kDwordPrefix;
                for (int shift = 28; shift >= 0; shift -= 4) {
                    out.push_back(kHexDigits[(entry.value.number >> shift) & 0xFu]);
                }
            }
            out.push_back('\n');
        }
    }
    out.push_back('\n');
    return out;
}

bool RegistryDocument::IsValidKeyPath(std::string_view key) {
    if (key.empty() || key.front() == '\\' || key.back() == '\\') {
        return false;
    }
    return key.find_first_of("\r\n") == std::string_view::npos &&
           key.find("\\\\") == std::string_view::npos;
}

RegistryDocument::Key* RegistryDocument::FindKey(std::string_view key) {
    auto found = keyIndex_.find(Folded(key));
    return found == keyIndex_.end() ? nullptr : &keys_[found->second];
}

const RegistryDocument::Key* RegistryDocument::FindKey(std::string_view key) const {
    auto found = keyIndex_.find(Folded(key));
    return found == keyIndex_.end() ? nullptr : &keys_[found->second];
}

RegistryDocument::Key& RegistryDocument::AddKey(std::string_view key) {
    if (Key* existing = FindKey(key)) {
        return *existing;
    }
    keyIndex_.emplace(Folded(key), keys_.size());
    keys_.push_back(Key{std::string(key), {}, {}});
    return keys_.back();
}

void RegistryDocument::RebuildKeyIndex() {
    keyIndex_.clear();
    for (size_t i = 0; i < keys_.size(); ++i) {
        keyIndex_.emplace(Folded(keys_[i].path), i);
    }
}

bool RegistryDocument::HasKey(std::string_view key) const {
    return FindKey(key) != nullptr;
}

std::optional<RegistryValue> RegistryDocument::Get(std::string_view key,
                                                   std::string_view name) const {
    const Key* found = FindKey(key);
    if (found == nullptr) {
        return std::nullopt;
    }
    auto entry = found->index.find(Folded(name));
    if (entry == found->index.end()) {
        return std::nullopt;
    }
    return found->values[entry->second].value;
}

std::vector<RegistryNamedValue> RegistryDocument::Values(std::string_view key) const {
    const Key* found = FindKey(key);
    return found == nullptr ? std::vector<RegistryNamedValue>{} : found->values;
}

bool RegistryDocument::Set(std::string_view key, std::string_view name, RegistryValue value) {
    if (!IsValidKeyPath(key)) {
        return false;
    }
    Key& target = AddKey(key);
    auto [entry, added] = target.index.emplace(Folded(name), target.values.size());
    if (added) {
        target.values.push_back(RegistryNamedValue{std::string(name), std::move(value)});
    } else {
        target.values[entry->second].value = std::move(value);
    }
    return true;
}

bool RegistryDocument::Delete(std::string_view key, std::string_view name) {
    Key* found = FindKey(key);
    if (found == nullptr) {
        return false;
    }
    auto entry = found->index.find(Folded(name));
    if (entry == found->index.end()) {
        return false;
    }
    found->values.erase(found->values.begin() + static_cast<std::ptrdiff_t>(entry->second));
    found->index.clear();
    for (size_t i = 0; i < found->values.size(); ++i) {
        found->index.emplace(Folded(found->values[i].name), i);
    }
    return true;
}

bool RegistryDocument::DeleteKey(std::string_view key) {
    std::string folded = Folded(key);
    std::string subkeyPrefix = folded + '\\';
    size_t before = keys_.size();
    std::erase_if(keys_, [&](const Key& candidate) {
        std::string path = Folded(candidate.path);
        return path == folded || path.starts_with(subkeyPrefix);
    });
    if (keys_.size() == before) {
        return false;
    }
    RebuildKeyIndex();
    return true;
}

std::vector<std::string> RegistryDocument::Keys() const {
    std::vector<std::string> paths;
    paths.reserve(keys_.size());
    for (const Key& key : keys_) {
        paths.push_back(key.path);
    }
    return paths;
}

RegistryChange RegistryChange::String(std::string key, std::string name, std::string text) {
    return {Kind::SetValue, std::move(key), std::move(name),
            RegistryValue::String(std::move(text))};
}

RegistryChange RegistryChange::Dword(std::string key, std::string name, uint32_t number) {
    return {Kind::SetValue, std::move(key), std::move(name), RegistryValue::Dword(number)};
}

RegistryChange RegistryChange::Remove(std::string key, std::string name) {
    return {Kind::DeleteValue, std::move(key), std::move(name), {}};
}

RegistryChange RegistryChange::RemoveKey(std::string key) {
    return {Kind::DeleteKey, std::move(key), {}, {}};
}

std::string RegistryFile::FullKey(std::string_view key) {
    std::string full(kUserRoot);
    full += key;
    return full;
}

std::optional<std::string> RegistryFile::ReadString(std::string_view key,
                                                    std::string_view name) const {
    std::lock_guard guard(mutex_);
    std::optional<RegistryValue> value = cache_.Get(FullKey(key), name);
    if (!value || value->type != RegistryValue::Type::String) {
        return std::nullopt;
    }
    return std::move(value->text);
}

std::optional<uint32_t> RegistryFile::ReadDword(std::string_view key, std::string_view name) const {
    std::lock_guard guard(mutex_);
    std::optional<RegistryValue> value = cache_.Get(FullKey(key), name);
    if (!value || value->type != RegistryValue::Type::Dword) {
        return std::nullopt;
    }
    return value->number;
}

std::vector<RegistryNamedValue> RegistryFile::EnumerateValues(std::string_view key) const {
    std::lock_guard guard(mutex_);
    return cache_.Values(FullKey(key));
}

bool RegistryFile::WriteString(std::string_view key, std::string_view name, std::string_view text) {
    return Apply({RegistryChange::String(std::string(key), std::string(name), std::string(text))});
}

bool RegistryFile::WriteDword(std::string_view key, std::string_view name, uint32_t number) {
    return Apply({RegistryChange::Dword(std::string(key), std::string(name), number)});
}

bool RegistryFile::DeleteValue(std::string_view key, std::string_view name) {
    return Apply({RegistryChange::Remove(std::string(key), std::string(name))});
}

bool RegistryFile::DeleteKey(std::string_view key) {
    return Apply({RegistryChange::RemoveKey(std::string(key))});
}

void RegistryFile::SetBeforeRenameHookForTesting(std::function<void()> hook) {
    std::lock_guard guard(mutex_);
    beforeRenameHook_ = std::move(hook);
}

}  // namespace qvex::platform
