#include "platform/virtual_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qvex::platform {
namespace {

// Memory for a long listing: zero-filled, writable to its last byte, and starting on a huge
// page's boundary, without which the system cannot back it with huge pages.
TEST(MapFillRegion, ZeroFilledWritableOnAHugePageBoundary) {
    constexpr size_t kHugePage = size_t{2} << 20;
    for (size_t bytes : {size_t{1}, size_t{4096}, kHugePage, 3 * kHugePage + 5}) {
        SCOPED_TRACE(bytes);
        auto* start = static_cast<char*>(MapFillRegion(bytes));
        ASSERT_NE(start, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(start) % kHugePage, 0u);
        EXPECT_TRUE(std::all_of(start, start + bytes, [](char c) { return c == 0; }));
        std::memset(start, 0x5A, bytes);
        EXPECT_EQ(start[bytes - 1], 0x5A);
        ReleaseRegion(start, bytes);
    }
}

}  // namespace
}  // namespace qvex::platform
