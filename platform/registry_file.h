#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qvex::platform {

// The per-user registry of the original design, kept as one text file in the format of a
// registry export so that a person can read and edit it:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\VbKs\Qvex\Settings]
//   "Options"="5176657801..."
//   "Passive"=dword:00000001
//
// Strings escape only '\' and '"' (as \\ and \"); every other byte, line ends included, is
// written as it is. Key and value names compare without regard to ASCII case and keep the
// spelling they were first written with.

struct RegistryValue {
    enum class Type {
        String,
        Dword,
    };

    Type type = Type::String;
    std::string text;     // Type::String
    uint32_t number = 0;  // Type::Dword

    static RegistryValue String(std::string text) { return {Type::String, std::move(text), 0}; }
    static RegistryValue Dword(uint32_t number) { return {Type::Dword, {}, number}; }
    friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};

struct RegistryNamedValue {
    std::string name;
    RegistryValue value;
    friend bool operator==(const RegistryNamedValue&, const RegistryNamedValue&) = default;
};

// The whole text in memory. Keys here are full paths as written between the brackets
// ("HKEY_CURRENT_USER\Software\..."). A valid key path is non-empty, has no empty component
// (no leading, trailing or doubled '\') and holds no CR or LF.
class RegistryDocument {
  public:
    // Never fails. Text that does not start with the "REGEDIT4" line (after an optional
    // UTF-8 byte order mark) is foreign and parses as empty. Within a valid text, an entry
    // that does not parse completely is skipped: parsing resumes at the line after the one
    // where it began. Values before the first key, and below a malformed "[...]" line, are
    // skipped. A repeated value name keeps its first spelling and place, and takes the last
    // value; a repeated key merges into the first.
    [[nodiscard]] static RegistryDocument Parse(std::string_view text);
    std::string Serialize() const;

    static bool IsValidKeyPath(std::string_view key);

    bool HasKey(std::string_view key) const;
    [[nodiscard]] std::optional<RegistryValue> Get(std::string_view key,
                                                   std::string_view name) const;
    // In stored order; empty for a missing key.
    std::vector<RegistryNamedValue> Values(std::string_view key) const;
    // Creates the key when missing. False (and nothing changes) for an invalid key path.
    [[nodiscard]] bool Set(std::string_view key, std::string_view name, RegistryValue value);
    // True when the value existed.
    bool Delete(std::string_view key, std::string_view name);
    // Removes the key and its subkeys; true when something was removed.
    bool DeleteKey(std::string_view key);
    // Full paths of all keys, in stored order.
    std::vector<std::string> Keys() const;

  private:
    struct Key {
        std::string path;
        std::vector<RegistryNamedValue> values;
        std::unordered_map<std::string, size_t> index;  // folded name -> position
    };

    Key* FindKey(std::string_view key);
    const Key* FindKey(std::string_view key) const;
    Key& AddKey(std::string_view key);
    void RebuildKeyIndex();

    std::vector<Key> keys_;
    std::unordered_map<std::string, size_t> keyIndex_;  // folded path -> position
};

// One change for RegistryFile::Apply. Keys are relative to HKEY_CURRENT_USER.
struct RegistryChange {
    enum class Kind {
        SetValue,
        DeleteValue,
        DeleteKey,
    };

    Kind kind = Kind::SetValue;
    std::string key;
    std::string name;
    RegistryValue value;

    static RegistryChange String(std::string key, std::string name, std::string text);
    static RegistryChange Dword(std::string key, std::string name, uint32_t number);
    static RegistryChange Remove(std::string key, std::string name);
    static RegistryChange RemoveKey(std::string key);
};

// The registry file on disk. Keys are given relative to HKEY_CURRENT_USER, for example
// "Software\\VbKs\\Qvex\\Settings". Reads use the copy in memory (taken when the object is
// made, by Reload and by every write). Every write locks "<file>.lock" exclusively, re-reads
// the file, applies the change, writes "<file>.tmp.<pid>" (mode 0600), flushes it to disk and
// renames it over the file, so that a crash never leaves half a file and two running copies
// never lose each other's values. A missing, unreadable or foreign file reads as empty.
// Thread-safe.
class RegistryFile {
  public:
    RegistryFile();  // the per-user file, platform::RegistryFilePath()
    explicit RegistryFile(std::string path);
    RegistryFile(const RegistryFile&) = delete;
    RegistryFile& operator=(const RegistryFile&) = delete;

    const std::string& path() const { return path_; }

    // Reads the file again; a missing or foreign file gives an empty registry.
    void Reload();

    // Absent when the key or the value is missing or holds the other type.
    [[nodiscard]] std::optional<std::string> ReadString(std::string_view key,
                                                        std::string_view name) const;
    [[nodiscard]] std::optional<uint32_t> ReadDword(std::string_view key,
                                                    std::string_view name) const;
    std::vector<RegistryNamedValue> EnumerateValues(std::string_view key) const;

    [[nodiscard]] bool WriteString(std::string_view key, std::string_view name,
                                   std::string_view text);
    [[nodiscard]] bool WriteDword(std::string_view key, std::string_view name, uint32_t number);
    // Deleting what is absent succeeds (and leaves the file as it is).
    [[nodiscard]] bool DeleteValue(std::string_view key, std::string_view name);
    // Deletes the key with its subkeys.
    [[nodiscard]] bool DeleteKey(std::string_view key);
    // All changes in one rewrite of the file: all of them are stored, or none (false).
    [[nodiscard]] bool Apply(const std::vector<RegistryChange>& changes);

    // Test seam: runs after the temporary file is written and flushed, before the rename.
    void SetBeforeRenameHookForTesting(std::function<void()> hook);

  private:
    static std::string FullKey(std::string_view key);
    RegistryDocument ReadDocument() const;

    std::string path_;
    mutable std::mutex mutex_;
    RegistryDocument cache_;
    std::function<void()> beforeRenameHook_;
};

}  // namespace qvex::platform
