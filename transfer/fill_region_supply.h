#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace qvex {

// Regions of one size from platform::MapFillRegion, each made ready one ahead of demand on a
// thread of its own: the system clears a fresh page when it is first written, and for a
// listing of millions of entries that clearing costs as much as parsing a fifth of it. With
// the next region's pages faulted in on the other core, the thread that fills regions only
// fills them.
class FillRegionSupply {
  public:
    explicit FillRegionSupply(size_t bytes);
    ~FillRegionSupply();
    FillRegionSupply(const FillRegionSupply&) = delete;
    FillRegionSupply& operator=(const FillRegionSupply&) = delete;

    // A zero-filled region of the supply's size, released with platform::ReleaseRegion; the
    // ready one when there is one, else a fresh one. nullptr when memory ran out.
    void* Take();

  private:
    void Prepare();

    const size_t bytes_;
    std::mutex lock_;
    std::condition_variable wake_;
    void* ready_ = nullptr;
    bool wanted_ = false;
    bool stopping_ = false;
    std::thread preparer_;
};

}  // namespace qvex
