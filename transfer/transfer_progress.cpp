#include "transfer/transfer_progress.h"

#include <algorithm>
#include <cstdio>

#include "engine/session_worker.h"
#include "platform/tick.h"
#include "state/shared_heap.h"

namespace qvex {
namespace {

void PublishCount(int64_t count) {
    if (SharedHeap* heap = ProcessHeap()) {
        auto bits = static_cast<uint64_t>(count);
        (void)heap->PublishIntPair("Xfer", static_cast<int32_t>(bits & 0xFFFFFFFFu),
                                   static_cast<int32_t>(bits >> 32));
    }
}

}  // namespace

void ByteProgress::progressStart(int64_t total, uint32_t startTick, uint64_t step) {
    PublishCount(total);
    if (step != 0) {
        step_ = step;
    } else if (total > 0) {
        step_ = std::max(kMinimumStep, static_cast<uint64_t>(total) / 100);
    } else {
        step_ = kUnknownSizeStep;
    }
    published_ = 0;
    session_.meter.size.store(total, std::memory_order_relaxed);
    session_.meter.position.store(0, std::memory_order_relaxed);
    session_.meter.starts.fetch_add(1, std::memory_order_release);
    if (session_.observer != nullptr) {
        session_.observer->OnTransferStarted(startTick);
    }
}

void ByteProgress::progressReport(uint64_t count) {
    // The meters read every block's count; only the published ones wait for the step.
    session_.meter.position.store(count, std::memory_order_relaxed);
    if (count < published_ || count - published_ < step_) {
        return;
    }
    PublishCount(static_cast<int64_t>(count));
    published_ = count;
    if (session_.observer != nullptr) {
        session_.observer->OnTransferProgress(platform::TickCount());
    }
}

int64_t progressValue(uint64_t count, int64_t expected) {
    if (expected < 0) {
        return static_cast<int64_t>(count / 1024);
    }
    if (expected == 0) {
        return count == 0 ? 0 : 100;
    }
    // count * 100 would overflow only past 184 petabytes; the division first keeps it exact
    // enough there.
    uint64_t size = static_cast<uint64_t>(expected);
    uint64_t percent = count <= UINT64_MAX / 100 ? count * 100 / size : count / size * 100;
    return static_cast<int64_t>(std::min<uint64_t>(percent, 100));
}

std::string progressTemplate(std::string_view before, std::string_view name,
                             std::string_view after) {
    std::string text(before);
    for (char c : name) {
        text += c;
        if (c == '%') {
            text += '%';
        }
    }
    text += after;
    return text;
}

std::string progressRecord(int64_t value, const char* displayTemplate) {
    int64_t shown = value <= 100 ? value : value % 100;
    char head[64];
    std::snprintf(head, sizeof head, "<AP><ap pc=\"%lld\"", static_cast<long long>(shown));
    std::string record = head;
    if (displayTemplate != nullptr) {
        record.append(" fmt=\"");
        for (const char* c = displayTemplate; *c != '\0'; ++c) {
            switch (*c) {
                case '"':
                    record += "&quot;";
                    break;
                case '&':
                    record += "&amp;";
                    break;
                case '<':
                    record += "&lt;";
                    break;
                case '>':
                    record += "&gt;";
                    break;
                default:
                    record += *c;
            }
        }
        record += '"';
    }
    record.append(" /></AP>");
    return record;
}

void publishProgress(int64_t value, const char* displayTemplate) {
    if (SharedHeap* heap = ProcessHeap()) {
        (void)heap->PublishString("AppProgress", progressRecord(value, displayTemplate).c_str());
    }
}

void publishTitle(std::string_view text) {
    if (SharedHeap* heap = ProcessHeap()) {
        (void)heap->PublishString("AppTitle", std::string(text).c_str());
    }
}

void reportOutcome(const SessionWorker& session, uint32_t bits) {
    if (session.observer != nullptr) {
        session.observer->OnOutcome(bits);
    }
}

}  // namespace qvex
