#pragma once

#include <cstdint>
#include <string>

namespace qvex {

// Bits of the flags word shared by remote and local list items.
inline constexpr uint32_t kEntryDirectory = 0x80000000u;  // bit 31
inline constexpr uint32_t kEntrySymLink = 0x40000000u;    // bit 30
inline constexpr uint32_t kEntryModeValid = 0x00040000u;  // bit 18: modeAndIcon holds a mode
inline constexpr uint32_t kEntryTimeValid = 0x00020000u;  // bit 17: a time of day, not a year
inline constexpr uint32_t kEntryVmsForm = 0x00010000u;    // bit 16
// Bits 0-15: the row of the entry type table (entry_types.h).
inline constexpr uint32_t kEntryTypeMask = 0x0000FFFFu;

// Rows of the type table that every program has; rows from kEntryTypeFirstExtension on are
// file-name extensions, one per extension met.
inline constexpr uint32_t kEntryTypeFile = 0;
inline constexpr uint32_t kEntryTypeFolder = 1;
inline constexpr uint32_t kEntryTypeSymLink = 2;
inline constexpr uint32_t kEntryTypeFirstExtension = 3;

// modeAndIcon: Unix permission bits (0777 | 04000 | 02000 | 01000) above, icon index below.
inline constexpr int kEntryModeShift = 16;
inline constexpr uint32_t kEntryIconMask = 0x0000FFFFu;

// One row of a list view, remote or local. Entries are destroyed through this base, hence
// the one virtual member.
struct ListItem {
    ListItem() = default;
    ListItem(const ListItem&) = default;
    ListItem(ListItem&&) noexcept = default;
    ListItem& operator=(const ListItem&) = default;
    ListItem& operator=(ListItem&&) noexcept = default;
    virtual ~ListItem() = default;

    std::string name;
    // FormatSize(size, 0).
    std::string sizeText;
    // "Jan 5 10:42" for recent or future times, "Jan 5 2004" otherwise.
    std::string dateText;
    // Bytes; 0 for DOS and OS/2 folders; VMS: blocks x 512; -1 for a folder being created.
    int64_t size = 0;
    // Seconds since 1970 of the listed wall-clock time read as local time; 0 = unknown.
    int64_t time = 0;
    uint32_t flags = 0;
};

// One directory entry as parsed from a listing line.
struct RemoteEntry : ListItem {
    RemoteEntry() = default;
    RemoteEntry(const RemoteEntry&) = default;
    RemoteEntry(RemoteEntry&&) noexcept = default;
    RemoteEntry& operator=(const RemoteEntry&) = default;
    RemoteEntry& operator=(RemoteEntry&&) noexcept = default;
    ~RemoteEntry() override = default;

    // For a symbolic link: the text after " -> ".
    std::string linkTarget;
    uint32_t modeAndIcon = 0;
};

inline bool isDirectory(const ListItem& item) {
    return (item.flags & kEntryDirectory) != 0;
}
inline bool isSymLink(const ListItem& item) {
    return (item.flags & kEntrySymLink) != 0;
}
inline uint32_t entryTypeOf(const ListItem& item) {
    return item.flags & kEntryTypeMask;
}
// The permission bits; meaningful only with kEntryModeValid.
inline uint32_t entryModeOf(const RemoteEntry& entry) {
    return entry.modeAndIcon >> kEntryModeShift;
}
inline uint32_t entryIconOf(const RemoteEntry& entry) {
    return entry.modeAndIcon & kEntryIconMask;
}

// The entry the user interface shows for a folder it is about to create: a directory with a
// time of day, named "NewFolder", size -1 until the server has made it.
[[nodiscard]] RemoteEntry NewFolderEntry();

// Stores size and time and rebuilds sizeText and dateText. `now` is the current time in
// seconds since 1970 (a time in the future or under 4,383 hours old shows its time of day,
// an older one its year); the overload without it reads the listing clock (listing_date.h).
void setSizeAndTime(ListItem& item, int64_t size, int64_t time, int64_t now);
void setSizeAndTime(ListItem& item, int64_t size, int64_t time);

// The name the entry is stored under locally and judged by for its extension: a link's
// target after its last "/" (the link's own name when that is empty), a VMS name without
// its ";version", else the name.
[[nodiscard]] std::string localNameOf(const RemoteEntry& entry);
// The name the server knows the entry by in RETR and in log lines: a link's target (its
// name when no target was listed), else the name.
[[nodiscard]] const std::string& remoteNameOf(const RemoteEntry& entry);
// The CWD argument that enters a listed directory: "[.NAME]" for VMS, else remoteNameOf.
[[nodiscard]] std::string directoryArgument(const RemoteEntry& entry);
// The name, or for a link with a listed target "name -> target".
[[nodiscard]] std::string displayName(const RemoteEntry& entry);
// The same appended to `out`, which keeps its room: a listing file writes millions.
void appendDisplayName(std::string& out, const RemoteEntry& entry);

}  // namespace qvex
