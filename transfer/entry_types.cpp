#include "transfer/entry_types.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace qvex {

namespace {

// The type row field holds 16 bits; extensions met after the table is full stay "File".
constexpr size_t kMaxTypeRows = 0x10000;

std::atomic<EntryTypeSource*> gSource{nullptr};
std::atomic<bool> gExtensionLookup{false};

// Rows from kEntryTypeFirstExtension on, and the row of every extension asked about (0 for
// those the source had nothing for, so that each is asked once per program run).
struct ExtensionTable {
    std::mutex lock;
    std::vector<EntryType> rows;
    std::unordered_map<std::string, uint32_t> rowOf;
};

ExtensionTable& Extensions() {
    static ExtensionTable table;
    return table;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

uint32_t RowOfExtension(EntryTypeSource& source, const std::string& extension, uint32_t& icon) {
    ExtensionTable& table = Extensions();
    std::lock_guard<std::mutex> hold(table.lock);
    auto found = table.rowOf.find(extension);
    if (found == table.rowOf.end()) {
        uint32_t row = kEntryTypeFile;
        EntryType type;
        if (table.rows.size() + kEntryTypeFirstExtension < kMaxTypeRows &&
            source.describeExtension(extension, type)) {
            row = static_cast<uint32_t>(table.rows.size() + kEntryTypeFirstExtension);
            table.rows.push_back(std::move(type));
        }
        found = table.rowOf.emplace(extension, row).first;
    }
    if (found->second == kEntryTypeFile) {
        return kEntryTypeFile;
    }
    icon = table.rows[found->second - kEntryTypeFirstExtension].icon;
    return found->second;
}

}  // namespace

void setEntryTypeSource(EntryTypeSource* source) {
    ExtensionTable& table = Extensions();
    std::lock_guard<std::mutex> hold(table.lock);
    // Rows are the old source's answers; another source is asked afresh.
    if (gSource.exchange(source, std::memory_order_acq_rel) != source) {
        table.rows.clear();
        table.rowOf.clear();
    }
}

void setExtensionLookup(bool on) {
    gExtensionLookup.store(on, std::memory_order_release);
}

std::string extensionOf(const RemoteEntry& entry) {
    std::string name = localNameOf(entry);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        return {};
    }
    // A name such as ".profile" is a settings file, whatever follows the dot.
    if (dot == 0) {
        return ".ini";
    }
    return name.substr(dot);
}

void assignTypeAndIcon(RemoteEntry& entry) {
    EntryTypeSource* source = gSource.load(std::memory_order_acquire);
    uint32_t type = kEntryTypeFile;
    uint32_t icon = kIconFile;
    if (isDirectory(entry)) {
        type = kEntryTypeFolder;
        icon = source != nullptr ? source->folderIcon() : kIconFolder;
    } else if (isSymLink(entry)) {
        type = kEntryTypeSymLink;
        icon = source != nullptr ? source->symLinkIcon() : kIconSymLink;
    } else if (source != nullptr) {
        icon = source->fileIcon();
        if (gExtensionLookup.load(std::memory_order_acquire)) {
            std::string extension = extensionOf(entry);
            if (!extension.empty()) {
                type = RowOfExtension(*source, LowerAscii(std::move(extension)), icon);
            }
        }
    }
    entry.flags = (entry.flags & ~kEntryTypeMask) | (type & kEntryTypeMask);
    entry.modeAndIcon = (entry.modeAndIcon & ~kEntryIconMask) | (icon & kEntryIconMask);
}

EntryType entryTypeAt(uint32_t row) {
    EntryTypeSource* source = gSource.load(std::memory_order_acquire);
    switch (row) {
        case kEntryTypeFolder:
            return {"Folder", source != nullptr ? source->folderIcon() : kIconFolder};
        case kEntryTypeSymLink:
            return {"Symbolic Link", source != nullptr ? source->symLinkIcon() : kIconSymLink};
        case kEntryTypeFile:
            break;
        default: {
            ExtensionTable& table = Extensions();
            std::lock_guard<std::mutex> hold(table.lock);
            size_t index = row - kEntryTypeFirstExtension;
            if (index < table.rows.size()) {
                return table.rows[index];
            }
            break;
        }
    }
    return {"File", source != nullptr ? source->fileIcon() : kIconFile};
}

uint32_t entryTypeCount() {
    ExtensionTable& table = Extensions();
    std::lock_guard<std::mutex> hold(table.lock);
    return static_cast<uint32_t>(table.rows.size() + kEntryTypeFirstExtension);
}

}  // namespace qvex
