#include "transfer/fill_region_supply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "platform/virtual_memory.h"

namespace qvex {
namespace {

// Two listings filling at once: every region handed out is its own, all zeros, and writable
// to its last byte, whether it was prepared ahead or made on the spot.
TEST(FillRegionSupply, EachRegionIsFreshZeroedAndHandedOutOnce) {
    constexpr size_t kBytes = size_t{2} << 20;
    constexpr int kPerThread = 6;
    std::vector<char*> taken[2];
    {
        FillRegionSupply supply(kBytes);
        auto fill = [&supply](std::vector<char*>& mine) {
            for (int i = 0; i < kPerThread; ++i) {
                auto* region = static_cast<char*>(supply.Take());
                ASSERT_NE(region, nullptr);
                EXPECT_TRUE(std::all_of(region, region + kBytes, [](char c) { return c == 0; }));
                std::memset(region, 0x5A, kBytes);
                mine.push_back(region);
            }
        };
        std::thread other(fill, std::ref(taken[1]));
        fill(taken[0]);
        other.join();
    }
    std::set<char*> distinct(taken[0].begin(), taken[0].end());
    distinct.insert(taken[1].begin(), taken[1].end());
    EXPECT_EQ(distinct.size(), 2u * kPerThread);
    for (char* region : distinct) {
        EXPECT_EQ(region[kBytes - 1], 0x5A);
        platform::ReleaseRegion(region, kBytes);
    }
}

}  // namespace
}  // namespace qvex
