#include "log/log_view.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "log/log_kind.h"
#include "log/log_line_class.h"
#include "platform/local_file.h"

namespace qvex {
namespace {

constexpr uint32_t kLongestIndexedLine = 0xFFFF;

// The mapping size that holds `needed` bytes: whole steps, and always a byte beyond.
uint64_t MappingSizeFor(uint64_t needed, uint64_t size) {
    while (needed >= size) {
        size += LogView::kMappingStep;
    }
    return size;
}

}  // namespace

LogView::LogView() {
    lineOffsets_.reserve(kInitialIndexRoom);
    lineLengths_.reserve(kInitialIndexRoom);
}

bool LogView::MapMemory() {
    auto mapping = std::make_unique<platform::GrowableMapping>();
    if (!mapping->MapMemory(kMappingStep)) {
        return false;
    }
    Attach(std::move(mapping), 0);
    return true;
}

void LogView::Attach(std::unique_ptr<platform::GrowableMapping> mapping, uint32_t usedLength) {
    std::lock_guard guard(lock_);
    mapping_ = std::move(mapping);
    usedLength_ = usedLength;
    lineOffsets_.clear();
    lineLengths_.clear();
}

std::unique_ptr<platform::GrowableMapping> LogView::Detach() {
    std::lock_guard guard(lock_);
    usedLength_ = 0;
    lineOffsets_.clear();
    lineLengths_.clear();
    return std::move(mapping_);
}

bool LogView::mapped() const {
    std::lock_guard guard(lock_);
    return mapping_ != nullptr && mapping_->mapped();
}

bool LogView::GrowFor(uint64_t needed) {
    const uint64_t size = MappingSizeFor(needed, mapping_->size());
    // Offsets are 32-bit: a log never grows past 4 GiB.
    if (size > UINT32_MAX) {
        return false;
    }
    return mapping_->Grow(static_cast<size_t>(size)) || MoveToMemory(needed);
}

bool LogView::MoveToMemory(uint64_t needed) {
    if (!mapping_->fileBacked()) {
        return false;
    }
    const std::string note = "*** Unable to extend the log file (" +
                             platform::FileErrorText(mapping_->lastError()) +
                             "): later lines are kept in memory only";
    const auto noteLength = static_cast<uint32_t>(std::min<size_t>(note.size(), kMaxLogLine));
    const uint64_t size = MappingSizeFor(needed + noteLength + 2, mapping_->size());
    if (size > UINT32_MAX || !mapping_->MoveToMemory(static_cast<size_t>(size), usedLength_)) {
        return false;
    }
    char* at = mapping_->data() + usedLength_;
    std::memcpy(at, note.data(), noteLength);
    std::memcpy(at + noteLength, "\r\n", 2);
    IndexLine(usedLength_, noteLength + 2);
    usedLength_ += noteLength + 2;
    return true;
}

void LogView::IndexLine(uint32_t offset, uint32_t length) {
    lineOffsets_.push_back(offset);
    lineLengths_.push_back(static_cast<uint16_t>(length));
}

uint32_t LogView::appendLogLine(const char* text, uint32_t length, bool show) {
    uint32_t used;
    {
        std::lock_guard guard(lock_);
        if (mapping_ == nullptr || !mapping_->mapped()) {
            return 0;
        }
        uint64_t needed = uint64_t{usedLength_} + length + 2;
        // A line always fits the index's 16-bit length once cut; the sink cuts at 511 bytes.
        if (length + 2 > kLongestIndexedLine || (needed >= mapping_->size() && !GrowFor(needed))) {
            return usedLength_;
        }
        needed = uint64_t{usedLength_} + length + 2;  // a note may stand before the line now
        char* at = mapping_->data() + usedLength_;
        std::memcpy(at, text, length);
        at[length] = '\r';
        at[length + 1] = '\n';
        if (show) {
            IndexLine(usedLength_, length + 2);
        }
        usedLength_ = static_cast<uint32_t>(needed);
        used = usedLength_;
    }
    if (show && observer_ != nullptr) {
        observer_->OnShownLineAppended();
    }
    return used;
}

void LogView::rebuildLogIndex(bool showCommands, bool showExtended) {
    std::lock_guard guard(lock_);
    lineOffsets_.clear();
    lineLengths_.clear();
    if (mapping_ == nullptr || !mapping_->mapped()) {
        return;
    }
    const char* text = mapping_->data();
    uint32_t start = 0;
    while (start < usedLength_) {
        const void* found = std::memchr(text + start, '\n', usedLength_ - start);
        if (found == nullptr) {
            break;  // an unfinished tail (zero bytes of a log that was never cut) is no line
        }
        uint32_t end = static_cast<uint32_t>(static_cast<const char*>(found) - text) + 1;
        // A line too long for the index (only in a damaged saved log) is shown in pieces.
        for (uint32_t piece = start; piece < end; piece += kLongestIndexedLine) {
            uint32_t length = std::min(end - piece, kLongestIndexedLine);
            int lineClass = LogLineClass(std::string_view(text + piece, length));
            bool keep = (showCommands && lineClass != kLogClassInfo) ||
                        (showExtended && lineClass == kLogClassInfo) || lineOffsets_.size() < 2 ||
                        lineClass == kLogClassImportant;
            if (keep) {
                IndexLine(piece, length);
            }
        }
        start = end;
    }
}

uint32_t LogView::displayedCount() const {
    std::lock_guard guard(lock_);
    return static_cast<uint32_t>(lineOffsets_.size());
}

uint32_t LogView::usedLength() const {
    std::lock_guard guard(lock_);
    return usedLength_;
}

std::string LogView::DisplayedLine(uint32_t index) const {
    std::lock_guard guard(lock_);
    if (index >= lineOffsets_.size()) {
        return {};
    }
    std::string_view line(mapping_->data() + lineOffsets_[index], lineLengths_[index]);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    return std::string(line);
}

std::string LogView::CopyLines(std::span<const uint32_t> selected) const {
    std::lock_guard guard(lock_);
    std::string copy;
    auto append = [&](size_t index) {
        if (index < lineOffsets_.size()) {
            copy.append(mapping_->data() + lineOffsets_[index], lineLengths_[index]);
        }
    };
    if (selected.empty()) {
        for (size_t index = 0; index < lineOffsets_.size(); ++index) {
            append(index);
        }
    } else {
        for (uint32_t index : selected) {
            append(index);
        }
    }
    return copy;
}

void LogView::Wipe() {
    std::lock_guard guard(lock_);
    size_t keep = std::min<size_t>(lineOffsets_.size(), 2);
    lineOffsets_.erase(lineOffsets_.begin() + static_cast<std::ptrdiff_t>(keep),
                       lineOffsets_.end());
    lineLengths_.erase(lineLengths_.begin() + static_cast<std::ptrdiff_t>(keep),
                       lineLengths_.end());
    usedLength_ = keep == 0 ? 0 : lineOffsets_[keep - 1] + lineLengths_[keep - 1];
}

std::string LogView::Text() const {
    std::lock_guard guard(lock_);
    if (mapping_ == nullptr || !mapping_->mapped()) {
        return {};
    }
    return std::string(mapping_->data(), usedLength_);
}

}  // namespace qvex
