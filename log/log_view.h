#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/mapped_file.h"
#include "util/spin_lock.h"

namespace qvex {

// Told when a shown line was appended to a view, on the appending (receiver) thread and
// outside the view's lock. A window turns this into a queued call on its own thread.
class LogViewObserver {
  public:
    virtual ~LogViewObserver() = default;
    virtual void OnShownLineAppended() = 0;
};

// One viewable log: its text (lines ended by CR LF, nothing else) in a mapping, and the
// index of the lines on display. The index holds no strings, only offsets and lengths.
class LogView {
  public:
    static constexpr uint32_t kMappingStep = 65536;
    static constexpr uint32_t kInitialIndexRoom = 32768;

    LogView();
    LogView(const LogView&) = delete;
    LogView& operator=(const LogView&) = delete;

    // Keeps the text in anonymous memory (a log that is not written to a file).
    [[nodiscard]] bool MapMemory();
    // Takes over a mapping (a log file) whose first usedLength bytes are text.
    void Attach(std::unique_ptr<platform::GrowableMapping> mapping, uint32_t usedLength);
    // Gives the mapping back (at exit, so that its file is cut before its lock goes) and
    // leaves the view empty.
    std::unique_ptr<platform::GrowableMapping> Detach();
    bool mapped() const;

    // Appends one line and its CR LF; indexes it when shown. Returns the used length after
    // the append. A line that does not fit and cannot grow the mapping is dropped. When the
    // log's file cannot grow (a full disk), the text moves to memory behind a "***" line
    // that says so, and the file keeps what it held.
    uint32_t appendLogLine(const char* text, uint32_t length, bool show);

    // Re-reads the text into the index with the given display switches. The first two lines
    // (the header) and important lines are always kept.
    void rebuildLogIndex(bool showCommands, bool showExtended);

    uint32_t displayedCount() const;
    uint32_t usedLength() const;
    // One displayed line without its CR LF ("" past the end).
    std::string DisplayedLine(uint32_t index) const;
    // The chosen displayed lines, each with its CR LF, in the given order; with no choice,
    // every displayed line. This is what goes to the clipboard.
    std::string CopyLines(std::span<const uint32_t> selected) const;
    // Forgets everything after the first two indexed lines (the header); later lines
    // overwrite the wiped text.
    void Wipe();
    // The whole text, whatever the switches hide (export).
    std::string Text() const;

    void SetObserver(LogViewObserver* observer) { observer_ = observer; }

  private:
    void IndexLine(uint32_t offset, uint32_t length);
    bool GrowFor(uint64_t needed);
    bool MoveToMemory(uint64_t needed);

    mutable SpinLock lock_;
    std::unique_ptr<platform::GrowableMapping> mapping_;
    uint32_t usedLength_ = 0;
    std::vector<uint32_t> lineOffsets_;
    std::vector<uint16_t> lineLengths_;
    LogViewObserver* observer_ = nullptr;
};

}  // namespace qvex
