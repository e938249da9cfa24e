#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "transfer/remote_entry.h"

namespace qvex {

// The permission bits a mode editor offers: rwx for owner, group and others, set-user-ID,
// set-group-ID and sticky.
inline constexpr uint32_t kModeBits = 07777;

// What the file properties dialog shows for a selection of entries, remote or local.
struct EntryProperties {
    // One entry: its name; several: the first name followed by ", ...".
    std::string nameText;
    // One entry: its type text; several: "All of type " and the common type text, or
    // "Multiple types".
    std::string typeText;
    // The sizes added up (a folder being created, size -1, adds nothing).
    int64_t size = 0;
    // "1 File, 2 Folders, 0 Symbolic Links".
    std::string summaryText;
    // One entry with a known time: "Monday, January 05, 2004 3:07:09 PM" in this machine's
    // time zone and the program's language; otherwise empty.
    std::string modifiedText;
    // The union of the modes of the entries whose mode is known, and the bits on which those
    // entries differ.
    uint32_t mode = 0;
    uint32_t undecided = 0;
    // "%04o" of the mode, or "****" while any bit is undecided.
    std::string octalText;
};

// The type text of an entry; without one the type table's row names it (entry_types.h).
using EntryTypeText = std::function<std::string(const RemoteEntry&)>;

// Combines the entries (at least one) into the texts and mode of the properties dialog.
[[nodiscard]] EntryProperties entryProperties(std::span<const RemoteEntry> entries,
                                              const EntryTypeText& typeTextOf = {});

// "0644", or "****" when any bit of `undecided` is set.
[[nodiscard]] std::string octalModeText(uint32_t mode, uint32_t undecided);

}  // namespace qvex
