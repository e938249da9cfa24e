#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "search/site_search.h"

namespace qvex {

// What a search told its window since the window last looked.
struct SearchBatch {
    // (folder cache id, entry index) of each match, in the order of the walk.
    std::vector<std::pair<int32_t, int32_t>> matches;
    // (folders, files) once the walk has ended.
    std::optional<std::pair<int32_t, int32_t>> end;
};

// Gathers a search's calls on the session worker until the window thread takes them. Only
// the first call after a Take schedules a queued call of `ready` on `context`'s thread, so a
// burst of matches costs one event, not one per match.
class SearchFeed final : public SearchObserver {
  public:
    SearchFeed(QObject* context, std::function<void()> ready)
        : context_(context), ready_(std::move(ready)) {}

    void OnSearchMatch(int32_t folderId, int32_t index) override;
    void OnSearchEnded(int32_t folders, int32_t files) override;

    // Window thread: everything gathered so far.
    [[nodiscard]] SearchBatch Take();

  private:
    // With lock_ held.
    void Schedule();

    QObject* context_;
    std::function<void()> ready_;
    std::mutex lock_;
    SearchBatch pending_;
    bool scheduled_ = false;
};

}  // namespace qvex
