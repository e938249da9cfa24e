#include "state/shared_heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace qvex {
namespace {

class SharedHeapTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(heap.CreateHeap()); }
    SharedHeap heap;
};

TEST_F(SharedHeapTest, SizeChoosesTheSmallestClassAndLengthReadsBack) {
    struct Row {
        uint32_t size;
        uint32_t sizeClass;
        uint32_t length;
    };
    const Row rows[] = {
        {0, 1, 4},       {1, 1, 1},        {4, 1, 4},        {5, 2, 5},        {8, 2, 8},
        {9, 3, 9},       {16, 3, 16},      {17, 4, 17},      {512, 8, 512},    {513, 9, 513},
        {1024, 9, 1024}, {1025, 10, 1025}, {2048, 10, 2048}, {2049, 11, 2049}, {4096, 11, 4096},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        HeapRef ref = heap.Allocate(0, row.size);
        ASSERT_NE(ref, 0u);
        EXPECT_EQ((ref >> 12) & 0xF, row.sizeClass);
        EXPECT_EQ(SharedHeap::LengthOf(ref), row.length);
        heap.Free(ref);
    }
}

TEST_F(SharedHeapTest, OversizedAndBadClassRequestsFail) {
    EXPECT_EQ(heap.Allocate(0, 4097), 0u);
    EXPECT_EQ(heap.Allocate(1, 5), 0u);  // larger than the class's 4-byte block
    EXPECT_EQ(heap.Allocate(16, 4), 0u);
}

TEST_F(SharedHeapTest, CarvedBlocksComeOutInAscendingOrderFromOffsetZero) {
    HeapRef first = heap.Allocate(5, 64);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(first & 0xFFF, 0u);
    auto* previous = static_cast<char*>(heap.Resolve(first));
    for (int index = 1; index < 64; ++index) {
        HeapRef ref = heap.Allocate(5, 10);
        ASSERT_NE(ref, 0u);
        auto* address = static_cast<char*>(heap.Resolve(ref));
        EXPECT_EQ(address - previous, 64) << index;
        EXPECT_EQ(ref >> 16, first >> 16) << "one page holds 64 blocks of 64 bytes";
        previous = address;
    }
    HeapRef nextPage = heap.Allocate(5, 64);
    EXPECT_NE(nextPage >> 16, first >> 16);
}

TEST_F(SharedHeapTest, FreedBlockIsReusedWithItsNewLength) {
    HeapRef ref = heap.Allocate(0, 100);
    void* address = heap.Resolve(ref);
    heap.Free(ref);
    HeapRef again = heap.Allocate(0, 70);
    EXPECT_EQ(heap.Resolve(again), address);
    EXPECT_EQ(SharedHeap::LengthOf(again), 70u);
}

TEST_F(SharedHeapTest, IntegerClassesHaveTheirOwnPools) {
    HeapRef single = heap.Allocate(SharedHeap::kIntClass, 4);
    HeapRef pair = heap.Allocate(SharedHeap::kIntPairClass, 8);
    HeapRef general = heap.Allocate(0, 4);
    EXPECT_EQ(SharedHeap::LengthOf(single), 4u);
    EXPECT_EQ(SharedHeap::LengthOf(pair), 8u);
    EXPECT_NE(single >> 16, general >> 16);
    EXPECT_NE(pair >> 16, single >> 16);
}

TEST_F(SharedHeapTest, PagesAreCommittedSixteenAtATime) {
    EXPECT_EQ(heap.committedPageCount(), 16u);
    EXPECT_EQ(heap.nextFreshPage(), 1u);
    for (uint32_t expected = 1; expected < 16; ++expected) {
        EXPECT_EQ(heap.TakePage(), expected);
    }
    EXPECT_EQ(heap.committedPageCount(), 16u);
    EXPECT_EQ(heap.TakePage(), 16u);
    EXPECT_EQ(heap.committedPageCount(), 32u);
    // The fresh page is usable memory.
    std::memset(heap.Resolve(16u << 16 | 11u << 12), 0xAB, SharedHeap::kPageSize);
}

TEST_F(SharedHeapTest, ReturnedPageIsTakenFirst) {
    uint32_t a = heap.TakePage();
    uint32_t b = heap.TakePage();
    heap.ReturnPage(a);
    heap.ReturnPage(b);
    EXPECT_EQ(heap.TakePage(), b);
    EXPECT_EQ(heap.TakePage(), a);
    EXPECT_EQ(heap.TakePage(), 3u);
}

TEST(SharedHeapReservation, UsedUpReservationFailsCleanlyAndKeepsTheHeapUsable) {
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap(20));
    std::vector<HeapRef> blocks;
    for (;;) {
        HeapRef ref = heap.Allocate(0, 4096);
        if (ref == 0) {
            break;
        }
        std::memset(heap.Resolve(ref), 0x5A, 4096);  // every page handed out is writable
        blocks.push_back(ref);
    }
    EXPECT_EQ(blocks.size(), 19u) << "pages 1 to 19 of a 20-page reservation";
    EXPECT_EQ(heap.committedPageCount(), 20u) << "never committed past the reservation";
    EXPECT_EQ(heap.TakePage(), 0u);
    heap.Free(blocks.back());
    EXPECT_NE(heap.Allocate(0, 3000), 0u) << "a freed block serves its own class again";
    EXPECT_EQ(heap.Allocate(0, 100), 0u) << "carved pages are never split for another class";
}

TEST(SharedHeapCreate, RejectsAReservationTooLargeForSixteenBitPages) {
    SharedHeap heap;
    EXPECT_FALSE(heap.CreateHeap(0x10001));
    EXPECT_FALSE(heap.created());
    EXPECT_EQ(heap.Allocate(0, 4), 0u);
    EXPECT_EQ(heap.OpenQueue("x"), 0u);
}

}  // namespace
}  // namespace qvex
