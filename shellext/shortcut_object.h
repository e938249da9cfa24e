#pragma once

// The "Qvex Shortcut" object of the shell extension: one ".qvex" file, read lazily and
// written at once. The extension links nothing of the program's libraries, so it reads and
// writes the file itself; a test holds both sides to the same bytes and readings.
//
// The file is 8-bit text: "[QvexShortcut]", then, each preceded by one LF and only when
// set, "URL=" url, "XDir=" folder, "XMode=" a/i/x (types 1, 2, 3) and "Update=1"; no line
// end after the last line.

#ifdef __cplusplus
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qvex::shellext {

struct ShortcutFields {
    std::string url;
    std::string folder;
    int type = 0;  // 0 none, 1 text, 2 image, 3 smart
    bool updateOnly = false;

    bool operator==(const ShortcutFields&) const = default;
};

// The "XMode=" letter of a type ('a', 'i', 'x' for 1, 2, 3), or 0 for a type that writes none.
[[nodiscard]] char ShortcutTypeLetter(int type);

// A shortcut file is small: anything larger is refused unread.
inline constexpr size_t kMaxShortcutBytes = 64 * 1024;

// The fields in `bytes`; nullopt when they do not begin with the header. Empty bytes are
// an empty shortcut. Lines are cut at every run of CR and LF, so LF and CR LF files read
// alike; a later line of a kind wins.
[[nodiscard]] std::optional<ShortcutFields> ParseShortcut(std::string_view bytes);
// The fields of a regular file of at most kMaxShortcutBytes; nullopt otherwise.
[[nodiscard]] std::optional<ShortcutFields> ReadShortcut(const std::string& path);
[[nodiscard]] std::string FormatShortcut(const ShortcutFields& fields);
// Creates or truncates the file and writes it in one piece.
[[nodiscard]] bool WriteShortcut(const std::string& path, const ShortcutFields& fields);

// One shortcut file. Every access reads the file first while it has not been read since the
// file name was set and nothing was changed since; setters change memory only, until Save.
class Shortcut {
  public:
    // Keeps the name; the file is read at the next access.
    void Load(std::string path);
    // Writes the fields to `path` (the current name when empty), which becomes the name.
    [[nodiscard]] bool Save(const std::string& path = {});

    const ShortcutFields& fields();
    [[nodiscard]] bool SetUrl(std::string url);
    [[nodiscard]] bool SetFolder(std::string folder);
    // False, changing nothing, for a type outside 0 to 3.
    [[nodiscard]] bool SetType(int type);
    // False, changing nothing, for a mode other than 0 or 1.
    [[nodiscard]] bool SetUpdateMode(int mode);

    const std::string& path() const { return path_; }

  private:
    void EnsureRead();

    std::string path_;
    ShortcutFields fields_;
    bool loaded_ = false;
    bool modified_ = false;
};

}  // namespace qvex::shellext

extern "C" {
#endif

// The same object for other programs, exported by libQvexSX2.so. Functions returning int
// give QVEX_SHORTCUT_OK or an error below.
typedef struct QvexShortcut QvexShortcut;

#define QVEXSX2_EXPORT __attribute__((visibility("default")))

enum {
    QVEX_SHORTCUT_OK = 0,
    QVEX_SHORTCUT_INVALID_ARGUMENT = 1,
    QVEX_SHORTCUT_NOT_WRITTEN = 2,
};

QVEXSX2_EXPORT QvexShortcut* QvexShortcutCreate(void);
QVEXSX2_EXPORT void QvexShortcutDestroy(QvexShortcut* shortcut);
QVEXSX2_EXPORT int QvexShortcutLoad(QvexShortcut* shortcut, const char* path);
// A null path saves to the loaded file.
QVEXSX2_EXPORT int QvexShortcutSave(QvexShortcut* shortcut, const char* path);
QVEXSX2_EXPORT int QvexShortcutSetURL(QvexShortcut* shortcut, const char* url);
QVEXSX2_EXPORT int QvexShortcutSetTransferDir(QvexShortcut* shortcut, const char* dir);
QVEXSX2_EXPORT int QvexShortcutSetTransferType(QvexShortcut* shortcut, int type);
QVEXSX2_EXPORT int QvexShortcutSetUpdateMode(QvexShortcut* shortcut, int mode);
// New copies, released with QvexShortcutFreeText.
QVEXSX2_EXPORT char* QvexShortcutGetURL(QvexShortcut* shortcut);
QVEXSX2_EXPORT char* QvexShortcutGetTransferDir(QvexShortcut* shortcut);
QVEXSX2_EXPORT int QvexShortcutGetTransferType(QvexShortcut* shortcut);
QVEXSX2_EXPORT int QvexShortcutGetUpdateMode(QvexShortcut* shortcut);
QVEXSX2_EXPORT void QvexShortcutFreeText(char* text);

#ifdef __cplusplus
}
#endif
