#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qvex {

struct SessionWorker;

// Byte counts of a running transfer or listing for the host page: published under "Xfer"
// as (low, high) and announced to the session's observer, but only when they have moved by
// the display step, so that a fast transfer does not flood the user interface.
class ByteProgress {
  public:
    // The display step of a listing, whose size is never known beforehand.
    static constexpr uint64_t kListingStep = 64 * 1024;
    // A transfer's step: a hundredth of its size, at least this much.
    static constexpr uint64_t kMinimumStep = 64 * 1024;
    // A transfer of unknown size reports every this many bytes.
    static constexpr uint64_t kUnknownSizeStep = 1024 * 1024;

    explicit ByteProgress(SessionWorker& session) : session_(session) {}

    // Publishes `total` (0 for a listing, -1 when unknown), tells the observer that a
    // transfer started at `startTick` and starts counting from 0, the session's meter too.
    // The display step follows from the total unless `step` is given.
    void progressStart(int64_t total, uint32_t startTick, uint64_t step = 0);
    // Puts `count` on the session's meter; publishes it when it is at least one display
    // step past the last one published.
    void progressReport(uint64_t count);

    uint64_t displayStep() const { return step_; }

  private:
    SessionWorker& session_;
    uint64_t published_ = 0;
    uint64_t step_ = kMinimumStep;
};

// The display value of a transfer: the percentage of `expected` (never above 100), or with
// an unknown size (negative) the kilobytes received. A listed size of 0 with data arriving
// counts as done.
[[nodiscard]] int64_t progressValue(uint64_t count, int64_t expected);

// The display template of a transfer: `before`, the file name, `after` ("GET ", name,
// " (%d%%)"). A "%" of the name is doubled, so whatever formats the template shows it as it
// is instead of taking it for a conversion.
[[nodiscard]] std::string progressTemplate(std::string_view before, std::string_view name,
                                           std::string_view after);

// The record "<AP><ap pc="N" fmt="TEMPLATE" /></AP>" shown by the main window: N is the
// value itself up to 100, else the value modulo 100; fmt only when a template is given.
// The template is written as attribute text ("&quot;", "&amp;", "&lt;", "&gt;"), so a name
// holding a quote or a bracket cannot end the attribute or the record.
[[nodiscard]] std::string progressRecord(int64_t value, const char* displayTemplate);
// Publishes the record under "AppProgress"; (0, nullptr) resets the display.
void publishProgress(int64_t value, const char* displayTemplate);

// The main window's title during a transfer (an empty text restores it).
void publishTitle(std::string_view text);

// Adds bits to the application's outcome word through the session's observer.
void reportOutcome(const SessionWorker& session, uint32_t bits);

// A reply code that counts as success: hundreds digit 2, whatever its sign.
[[nodiscard]] inline bool succeeded(int code) {
    return (code < 0 ? -code : code) / 100 == 2;
}

}  // namespace qvex
