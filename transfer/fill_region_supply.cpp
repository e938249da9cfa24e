#include "transfer/fill_region_supply.h"

#include <utility>

#include "platform/virtual_memory.h"

namespace qvex {

FillRegionSupply::FillRegionSupply(size_t bytes) : bytes_(bytes) {}

FillRegionSupply::~FillRegionSupply() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (preparer_.joinable()) {
        preparer_.join();
    }
    if (ready_ != nullptr) {
        platform::ReleaseRegion(ready_, bytes_);
    }
}

void* FillRegionSupply::Take() {
    void* region = nullptr;
    {
        std::lock_guard guard(lock_);
        // Started by the first taker: most runs never list a folder this large.
        if (!preparer_.joinable()) {
            preparer_ = std::thread([this] { Prepare(); });
        }
        region = std::exchange(ready_, nullptr);
        wanted_ = true;
    }
    wake_.notify_one();
    return region != nullptr ? region : platform::MapFillRegion(bytes_);
}

void FillRegionSupply::Prepare() {
    std::unique_lock guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || (wanted_ && ready_ == nullptr); });
        if (stopping_) {
            return;
        }
        wanted_ = false;
        guard.unlock();
        void* region = platform::MapFillRegion(bytes_);
        if (region != nullptr) {
            platform::PrefaultRegion(region, bytes_);
        }
        guard.lock();
        ready_ = region;
    }
}

}  // namespace qvex
