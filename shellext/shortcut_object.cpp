#include "shellext/shortcut_object.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

namespace qvex::shellext {
namespace {

constexpr std::string_view kHeader = "[QvexShortcut]";
constexpr std::string_view kUrlLine = "URL=";
constexpr std::string_view kFolderLine = "XDir=";
constexpr std::string_view kTypeLine = "XMode=";
constexpr std::string_view kUpdateLine = "Update=";
constexpr std::string_view kLineBreaks = "\r\n";
constexpr std::string_view kTypeLetters = "aix";  // types 1, 2, 3

int TypeOfLetter(char letter) {
    const size_t at = kTypeLetters.find(letter);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
}

void TakeLine(std::string_view line, ShortcutFields& fields) {
    if (line.starts_with(kUrlLine)) {
        fields.url = line.substr(kUrlLine.size());
    } else if (line.starts_with(kFolderLine)) {
        fields.folder = line.substr(kFolderLine.size());
    } else if (line.starts_with(kTypeLine)) {
        fields.type = line.size() > kTypeLine.size() ? TypeOfLetter(line[kTypeLine.size()]) : 0;
    } else if (line.starts_with(kUpdateLine)) {
        fields.updateOnly = line.size() > kUpdateLine.size() && line[kUpdateLine.size()] == '1';
    }
}

void AddLine(std::string& text, std::string_view kind, std::string_view value) {
    text.push_back('\n');
    text.append(kind).append(value);
}

// A copy for a C caller, or null when memory is short.
char* CopyText(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

}  // namespace

char ShortcutTypeLetter(int type) {
    return type >= 1 && type <= 3 ? kTypeLetters[static_cast<size_t>(type - 1)] : '\0';
}

std::optional<ShortcutFields> ParseShortcut(std::string_view bytes) {
    ShortcutFields fields;
    if (bytes.empty()) {
        return fields;
    }
    if (!bytes.starts_with(kHeader)) {
        return std::nullopt;
    }
    // The header is a line like the others and matches no kind.
    size_t at = bytes.find_first_not_of(kLineBreaks);
    while (at != std::string_view::npos) {
        const size_t end = bytes.find_first_of(kLineBreaks, at);
        TakeLine(bytes.substr(at, end == std::string_view::npos ? end : end - at), fields);
        at = end == std::string_view::npos ? end : bytes.find_first_not_of(kLineBreaks, end);
    }
    return fields;
}

std::optional<ShortcutFields> ReadShortcut(const std::string& path) {
    // Only a regular file: a pipe or a device would block or never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) ||
        std::filesystem::file_size(path, error) > kMaxShortcutBytes || error) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    // One byte more than allowed tells a file that grew since it was measured.
    std::string bytes(kMaxShortcutBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > kMaxShortcutBytes) {
        return std::nullopt;
    }
    return ParseShortcut(bytes);
}

std::string FormatShortcut(const ShortcutFields& fields) {
    std::string text(kHeader);
    if (!fields.url.empty()) {
        AddLine(text, kUrlLine, fields.url);
    }
    if (!fields.folder.empty()) {
        AddLine(text, kFolderLine, fields.folder);
    }
    if (const char letter = ShortcutTypeLetter(fields.type); letter != 0) {
        AddLine(text, kTypeLine, std::string_view(&letter, 1));
    }
    if (fields.updateOnly) {
        AddLine(text, kUpdateLine, "1");
    }
    return text;
}

bool WriteShortcut(const std::string& path, const ShortcutFields& fields) {
    const std::string text = FormatShortcut(fields);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

void Shortcut::Load(std::string path) {
    path_ = std::move(path);
    fields_ = {};
    loaded_ = false;
    modified_ = false;
}

bool Shortcut::Save(const std::string& path) {
    if (!path.empty()) {
        path_ = path;
    }
    if (path_.empty() || !WriteShortcut(path_, fields_)) {
        return false;
    }
    loaded_ = true;
    modified_ = false;
    return true;
}

void Shortcut::EnsureRead() {
    // A file that could not be read is tried again, but never over fields set since.
    if (loaded_ || modified_ || path_.empty()) {
        return;
    }
    std::optional<ShortcutFields> read = ReadShortcut(path_);
    fields_ = read.value_or(ShortcutFields{});
    loaded_ = read.has_value();
}

const ShortcutFields& Shortcut::fields() {
    EnsureRead();
    return fields_;
}

bool Shortcut::SetUrl(std::string url) {
    EnsureRead();
    fields_.url = std::move(url);
    modified_ = true;
    return true;
}

bool Shortcut::SetFolder(std::string folder) {
    EnsureRead();
    fields_.folder = std::move(folder);
    modified_ = true;
    return true;
}

bool Shortcut::SetType(int type) {
    EnsureRead();
    if (type < 0 || type > 3) {
        return false;
    }
    fields_.type = type;
    modified_ = true;
    return true;
}

bool Shortcut::SetUpdateMode(int mode) {
    EnsureRead();
    if (mode != 0 && mode != 1) {
        return false;
    }
    fields_.updateOnly = mode == 1;
    modified_ = true;
    return true;
}

}  // namespace qvex::shellext

struct QvexShortcut {
    qvex::shellext::Shortcut object;
};

namespace {

int Result(bool done, int failure) {
    return done ? QVEX_SHORTCUT_OK : failure;
}

}  // namespace

QvexShortcut* QvexShortcutCreate(void) {
    return new (std::nothrow) QvexShortcut;
}

void QvexShortcutDestroy(QvexShortcut* shortcut) {
    delete shortcut;
}

int QvexShortcutLoad(QvexShortcut* shortcut, const char* path) {
    if (shortcut == nullptr || path == nullptr) {
        return QVEX_SHORTCUT_INVALID_ARGUMENT;
    }
    shortcut->object.Load(path);
    return QVEX_SHORTCUT_OK;
}

int QvexShortcutSave(QvexShortcut* shortcut, const char* path) {
    if (shortcut == nullptr) {
        return QVEX_SHORTCUT_INVALID_ARGUMENT;
    }
    return Result(shortcut->object.Save(path == nullptr ? std::string() : std::string(path)),
                  QVEX_SHORTCUT_NOT_WRITTEN);
}

int QvexShortcutSetURL(QvexShortcut* shortcut, const char* url) {
    return Result(shortcut != nullptr && url != nullptr && shortcut->object.SetUrl(url),
                  QVEX_SHORTCUT_INVALID_ARGUMENT);
}

int QvexShortcutSetTransferDir(QvexShortcut* shortcut, const char* dir) {
    return Result(shortcut != nullptr && dir != nullptr && shortcut->object.SetFolder(dir),
                  QVEX_SHORTCUT_INVALID_ARGUMENT);
}

int QvexShortcutSetTransferType(QvexShortcut* shortcut, int type) {
    return Result(shortcut != nullptr && shortcut->object.SetType(type),
                  QVEX_SHORTCUT_INVALID_ARGUMENT);
}

int QvexShortcutSetUpdateMode(QvexShortcut* shortcut, int mode) {
    return Result(shortcut != nullptr && shortcut->object.SetUpdateMode(mode),
                  QVEX_SHORTCUT_INVALID_ARGUMENT);
}

char* QvexShortcutGetURL(QvexShortcut* shortcut) {
    return shortcut == nullptr ? nullptr : qvex::shellext::CopyText(shortcut->object.fields().url);
}

char* QvexShortcutGetTransferDir(QvexShortcut* shortcut) {
    return shortcut == nullptr ? nullptr
                               : qvex::shellext::CopyText(shortcut->object.fields().folder);
}

int QvexShortcutGetTransferType(QvexShortcut* shortcut) {
    return shortcut == nullptr ? 0 : shortcut->object.fields().type;
}

int QvexShortcutGetUpdateMode(QvexShortcut* shortcut) {
    return shortcut != nullptr && shortcut->object.fields().updateOnly ? 1 : 0;
}

void QvexShortcutFreeText(char* text) {
    std::free(text);
}
