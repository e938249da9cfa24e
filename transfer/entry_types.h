#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transfer/remote_entry.h"

namespace qvex {

// Icons the views use when nobody supplies better ones.
inline constexpr uint32_t kIconFile = 0;
inline constexpr uint32_t kIconFolder = 1;
inline constexpr uint32_t kIconSymLink = 2;

// One row of the type table.
struct EntryType {
    std::string text;
    uint32_t icon = kIconFile;
};

// What the user interface knows about file types; the engine never sees its toolkit.
class EntryTypeSource {
  public:
    virtual ~EntryTypeSource() = default;
    // The type text and icon for an extension such as ".txt" (lower-case ASCII letters);
    // false when the extension has none of its own.
    [[nodiscard]] virtual bool describeExtension(std::string_view extension, EntryType& out) = 0;
    // The icons of the three fixed rows.
    [[nodiscard]] virtual uint32_t fileIcon() = 0;
    [[nodiscard]] virtual uint32_t folderIcon() = 0;
    [[nodiscard]] virtual uint32_t symLinkIcon() = 0;
};

// Installs the source (nullptr: plain types only), once before listings are read: another
// source empties the extension rows. The source must outlive its use; it is asked on the
// thread that parses listings.
void setEntryTypeSource(EntryTypeSource* source);
// The view option that looks up a type per file-name extension; off by default, and without
// a source it changes nothing.
void setExtensionLookup(bool on);

// Sets the type row (flags bits 0-15) and icon (modeAndIcon bits 0-15) of an entry whose
// name and flags are final.
void assignTypeAndIcon(RemoteEntry& entry);

// The extension an entry's type is judged by: localNameOf(entry) from its last ".", ".ini"
// when that "." is the first character, empty without a ".".
[[nodiscard]] std::string extensionOf(const RemoteEntry& entry);

// A copy of one row: "File", "Folder", "Symbolic Link", then one per extension met. A row
// beyond the table reads as "File".
[[nodiscard]] EntryType entryTypeAt(uint32_t row);
[[nodiscard]] uint32_t entryTypeCount();

}  // namespace qvex
