#pragma once

#include <string>
#include <vector>

#include "state/shared_heap.h"

namespace qvex::test {

// Installs a fresh process heap with one queue for every log line, so a test can read the
// exact lines (and their kinds) that the code under test posted, in order.
class LogCapture {
  public:
    struct Line {
        std::string kind;  // "LogCmd", "LogExt" or "LogRaw"
        std::string text;
        bool operator==(const Line&) const = default;
    };

    LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture();

    // Takes every line posted so far off the queue.
    std::vector<Line> Take();
    // Only the texts, in order.
    std::vector<std::string> TakeTexts();
    SharedHeap& heap() { return heap_; }

  private:
    SharedHeap heap_;
    QueueId queue_ = 0;
};

}  // namespace qvex::test
