#include "ui/search_feed.h"

#include <QMetaObject>

namespace qvex {

void SearchFeed::OnSearchMatch(int32_t folderId, int32_t index) {
    std::lock_guard guard(lock_);
    pending_.matches.emplace_back(folderId, index);
    Schedule();
}

void SearchFeed::OnSearchEnded(int32_t folders, int32_t files) {
    std::lock_guard guard(lock_);
    pending_.end = std::pair{folders, files};
    Schedule();
}

SearchBatch SearchFeed::Take() {
    std::lock_guard guard(lock_);
    scheduled_ = false;
    return std::exchange(pending_, SearchBatch{});
}

void SearchFeed::Schedule() {
    if (!scheduled_) {
        scheduled_ = true;
        // Dropped by Qt when the context is gone before the call runs.
        QMetaObject::invokeMethod(context_, ready_, Qt::QueuedConnection);
    }
}

}  // namespace qvex
