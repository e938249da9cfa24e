#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qvex {

// A 32-bit name of one allocated block and of the length of the data in it:
// bits 31..16 page, bits 15..12 size class, bits 11..0 the block's offset in its page with
// the data length written into the bits below the block size (a full block writes 0).
using HeapRef = uint32_t;
// A message queue is named by the number of the page that holds it.
using QueueId = uint32_t;

// Receive's want bits and result bits.
inline constexpr int kWantPayload = 1;
inline constexpr int kWantTopic = 2;
inline constexpr int kWantBoth = kWantTopic | kWantPayload;
inline constexpr int kNoTopicBuffer = 4;
// Receive's result on a signalled or closing queue.
inline constexpr int kQueueStopped = -2;

// The in-process heap that carries every bus message: a page-and-block allocator over one
// reserved region, home of the topic message queues. A publisher posts under a topic name;
// each open queue whose regular-expression pattern matches the name receives its own copy.
// Topic and payload bytes live in the heap, so the messaging path never calls malloc.
//
// Any thread may publish; each queue has exactly one receiving thread. A queue's owner
// stops its receiver with SignalQueue, waits for the thread, then calls CloseQueue.
class SharedHeap {
  public:
    static constexpr uint32_t kPageSize = 4096;
    static constexpr uint32_t kDefaultPageCount = 1024;
    static constexpr uint32_t kCommitPages = 16;  // pages are committed 64 KiB at a time
    static constexpr uint32_t kSizeClassCount = 16;
    static constexpr uint32_t kIntClass = 12;      // single-integer payloads
    static constexpr uint32_t kIntPairClass = 13;  // integer-pair payloads
    static constexpr uint32_t kInlineSlots = 19;
    static constexpr uint32_t kSlotsPerOverflowPage = 512;
    static constexpr uint32_t kOverflowPages = 1940;
    static constexpr uint32_t kQueueCapacity =
        kInlineSlots + kSlotsPerOverflowPage * kOverflowPages;
    static constexpr uint32_t kMaxPayload = 4096;

    SharedHeap();
    SharedHeap(const SharedHeap&) = delete;
    SharedHeap& operator=(const SharedHeap&) = delete;
    ~SharedHeap();

    // Reserves pageCount pages and commits the first 64 KiB. On failure nothing stays reserved.
    [[nodiscard]] bool CreateHeap(uint32_t pageCount = kDefaultPageCount);

    [[nodiscard]] uint32_t TakePage();
    void ReturnPage(uint32_t page);

    // sizeClass 0 chooses the class by size. Returns 0 when no memory can be had.
    [[nodiscard]] HeapRef Allocate(uint32_t sizeClass, uint32_t size);
    void Free(HeapRef ref);
    void FreePair(HeapRef ref, HeapRef ref2);
    void* Resolve(HeapRef ref) const;
    static uint32_t LengthOf(HeapRef ref);
    static uint32_t BlockSizeOf(uint32_t sizeClass);
    static uint32_t ClassForSize(uint32_t size);

    // Queue operations: a bad id (0, a page never handed out, a page that is not an open
    // queue) gives 0.
    [[nodiscard]] QueueId OpenQueue(const char* pattern);
    int CloseQueue(QueueId id);
    int SignalQueue(QueueId id, uint32_t bits);
    uint32_t PendingCount(QueueId id) const;

    // Blocks until a message is pending or the queue is signalled. Result: want on full
    // delivery; want with bit 2 (or 1) cleared when the topic (or payload) does not fit its
    // buffer, in which case the true lengths are stored and the message stays pending;
    // kQueueStopped on a signalled or closing queue; 0 for a bad id or a missing length.
    int Receive(QueueId id, char* topicBuffer, uint32_t* topicLength, void* payloadBuffer,
                uint32_t* payloadLength, int want);
    int ReceiveInt(QueueId id, char* topicBuffer, uint32_t* topicLength, int32_t* value);
    int ReceiveIntPair(QueueId id, char* topicBuffer, uint32_t* topicLength, int32_t* pair);

    // Publishing returns 1 once the topic was walked (even when no queue matched), 0 when
    // the arguments are rejected.
    int Publish(const char* topic, const void* data, uint32_t size);
    int PublishInt(const char* topic, int32_t value);
    int PublishIntPair(const char* topic, int32_t a, int32_t b);
    int PublishString(const char* topic, const char* text);

    bool created() const { return region_ != nullptr; }
    uint32_t committedPageCount() const;
    uint32_t nextFreshPage() const;
    uint32_t overflowPageCount(QueueId id) const;

  private:
    struct Header;
    struct QueuePage;
    struct QueueSync;
    struct TopicMatches {
        uint64_t generation = 0;
        std::vector<QueueId> queues;
    };
    struct TopicHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };

    Header& header() const;
    char* PageAddress(uint32_t page) const;
    QueuePage* ValidQueue(QueueId id) const;
    const std::vector<QueueId>& MatchingQueues(std::string_view topic);
    int Post(QueueId id, HeapRef topic, HeapRef payload);
    int PublishCopies(const char* topic, const void* data, uint32_t size, uint32_t payloadClass);
    // The slot a post writes to, taking an overflow page when the position needs one.
    HeapRef* SlotAt(QueuePage& queue, uint32_t position);
    const HeapRef* PendingSlot(const QueuePage& queue, uint32_t position) const;

    char* region_ = nullptr;
    size_t regionBytes_ = 0;
    // Locks and semaphores of the queues, indexed by page. They are kept for the life of the
    // heap and reused when a page becomes a queue again, so a late receiver never touches a
    // destroyed semaphore.
    std::vector<std::unique_ptr<QueueSync>> sync_;
    // Which open queues match each topic name; recomputed when queues open or close.
    std::unordered_map<std::string, TopicMatches, TopicHash, std::equal_to<>> topicMatches_;
    uint64_t queueGeneration_ = 1;
};

// The heap that the program creates at start-up; the log sink and other publishers use it.
void InstallProcessHeap(SharedHeap* heap);
SharedHeap* ProcessHeap();

}  // namespace qvex
