#include "state/shared_heap.h"

#include <pcre2posix.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <semaphore>

#include "platform/virtual_memory.h"

namespace qvex {
namespace {

constexpr uint32_t FourBytes(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

constexpr uint32_t kHeapMagic = FourBytes("KzvR");
constexpr uint32_t kQueueMagic = FourBytes("KzvQ");
constexpr uint32_t kClosingFlag = 1u << 31;

// Block size of class c is 2^(k+1); classes 0, 11 and 15 are whole pages.
constexpr std::array<uint32_t, SharedHeap::kSizeClassCount> kClassShift = {
    11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1, 2, 2, 11};

constexpr uint32_t PageOf(HeapRef ref) {
    return ref >> 16;
}
constexpr uint32_t ClassOf(HeapRef ref) {
    return (ref >> 12) & 0xF;
}

}  // namespace

struct SharedHeap::Header {
    uint32_t magic;
    std::recursive_mutex lock;
    uint32_t reservedPages;
    std::atomic<uint32_t> committedPages;
    std::atomic<uint32_t> nextFreshPage;
    uint32_t firstQueue;
    uint32_t lastQueue;
    uint32_t freePageHead;
    HeapRef freeBlocks[kSizeClassCount];
};

// One whole page. The queue's lock and semaphore are too large to leave room for the 1940
// overflow entries, so the page keeps a handle to them (its own page number) instead.
struct SharedHeap::QueuePage {
    std::atomic<uint32_t> magic;
    uint32_t syncHandle;
    HeapRef pattern;
    std::atomic<uint32_t> flags;
    std::atomic<uint32_t> readIndex;
    std::atomic<uint32_t> writeIndex;
    uint32_t overflowCount;
    uint32_t previous;
    uint32_t next;
    HeapRef slots[kInlineSlots][2];
    uint16_t overflow[kOverflowPages];
};

struct SharedHeap::QueueSync {
    std::mutex lock;
    std::counting_semaphore<kQueueCapacity> wake{0};
    std::atomic<bool> open{false};
    // Set when Receive left a message pending for larger buffers: its semaphore count was
    // already taken, so the next Receive must not wait for it again.
    bool headTaken = false;
};

SharedHeap::SharedHeap() = default;

SharedHeap::~SharedHeap() {
    if (region_ == nullptr) {
        return;
    }
    Header& head = header();
    for (uint32_t page = head.firstQueue; page != 0;) {
        auto* queue = reinterpret_cast<QueuePage*>(PageAddress(page));
        if (queue->pattern != 0) {
            pcre2_regfree(static_cast<regex_t*>(Resolve(queue->pattern)));
        }
        page = queue->next;
    }
    head.lock.~recursive_mutex();
    platform::ReleaseRegion(region_, regionBytes_);
}

bool SharedHeap::CreateHeap(uint32_t pageCount) {
    static_assert(sizeof(QueuePage) <= kPageSize);
    static_assert(sizeof(Header) <= kPageSize);
    static_assert(kQueueCapacity == 993299);
    // Page numbers travel in 16 bits (references and the overflow array).
    if (region_ != nullptr || pageCount < 2 || pageCount > 0x10000) {
        return false;
    }
    size_t bytes = size_t{pageCount} * kPageSize;
    char* start = static_cast<char*>(platform::ReserveRegion(bytes));
    if (start == nullptr) {
        return false;
    }
    uint32_t commit = std::min(kCommitPages, pageCount);
    if (!platform::CommitRegion(start, size_t{commit} * kPageSize)) {
        platform::ReleaseRegion(start, bytes);
        return false;
    }
    auto* head = reinterpret_cast<Header*>(start);
    new (&head->lock) std::recursive_mutex();
    head->reservedPages = pageCount;
    new (&head->committedPages) std::atomic<uint32_t>(commit);
    new (&head->nextFreshPage) std::atomic<uint32_t>(1);
    head->firstQueue = 0;
    head->lastQueue = 0;
    head->freePageHead = 0;
    std::fill(std::begin(head->freeBlocks), std::end(head->freeBlocks), 0u);
    head->magic = kHeapMagic;
    region_ = start;
    regionBytes_ = bytes;
    sync_.resize(pageCount);
    return true;
}

SharedHeap::Header& SharedHeap::header() const {
    return *reinterpret_cast<Header*>(region_);
}

char* SharedHeap::PageAddress(uint32_t page) const {
    return region_ + size_t{page} * kPageSize;
}

uint32_t SharedHeap::committedPageCount() const {
    return region_ == nullptr ? 0 : header().committedPages.load();
}

uint32_t SharedHeap::nextFreshPage() const {
    return region_ == nullptr ? 0 : header().nextFreshPage.load();
}

uint32_t SharedHeap::TakePage() {
    if (region_ == nullptr) {
        return 0;
    }
    Header& head = header();
    std::lock_guard guard(head.lock);
    if (head.freePageHead != 0) {
        uint32_t page = head.freePageHead;
        std::memcpy(&head.freePageHead, PageAddress(page), sizeof(uint32_t));
        return page;
    }
    uint32_t fresh = head.nextFreshPage.load();
    uint32_t committed = head.committedPages.load();
    if (fresh == committed) {
        // Commit only inside the reservation: beyond it lies memory that is not ours.
        uint32_t step = std::min(kCommitPages, head.reservedPages - committed);
        if (step == 0 ||
            !platform::CommitRegion(PageAddress(committed), size_t{step} * kPageSize)) {
            return 0;
        }
        head.committedPages.store(committed + step);
    }
    head.nextFreshPage.store(fresh + 1);
    return fresh;
}

void SharedHeap::ReturnPage(uint32_t page) {
    if (region_ == nullptr || page == 0 || page >= nextFreshPage()) {
        return;
    }
    Header& head = header();
    std::lock_guard guard(head.lock);
    std::memcpy(PageAddress(page), &head.freePageHead, sizeof(uint32_t));
    head.freePageHead = page;
}

uint32_t SharedHeap::BlockSizeOf(uint32_t sizeClass) {
    return 2u << kClassShift[sizeClass & 0xF];
}

uint32_t SharedHeap::ClassForSize(uint32_t size) {
    for (uint32_t sizeClass = 1; sizeClass <= 10; ++sizeClass) {
        if (size <= (2u << sizeClass)) {
            return sizeClass;
        }
    }
    return 11;
}

uint32_t SharedHeap::LengthOf(HeapRef ref) {
    uint32_t blockSize = BlockSizeOf(ClassOf(ref));
    uint32_t length = ref & (blockSize - 1);
    return length == 0 ? blockSize : length;
}

void* SharedHeap::Resolve(HeapRef ref) const {
    if (ref == 0 || region_ == nullptr) {
        return nullptr;
    }
    uint32_t blockSize = BlockSizeOf(ClassOf(ref));
    uint32_t offset = (ref & 0xFFF) & ~(blockSize - 1);
    return PageAddress(PageOf(ref)) + offset;
}

HeapRef SharedHeap::Allocate(uint32_t sizeClass, uint32_t size) {
    if (region_ == nullptr || sizeClass >= kSizeClassCount || size > kPageSize) {
        return 0;
    }
    if (sizeClass == 0) {
        sizeClass = ClassForSize(size);
    }
    uint32_t blockSize = BlockSizeOf(sizeClass);
    if (size > blockSize) {
        return 0;
    }
    Header& head = header();
    std::lock_guard guard(head.lock);
    HeapRef& freeHead = head.freeBlocks[sizeClass];
    if (freeHead == 0) {
        uint32_t page = TakePage();
        if (page == 0) {
            return 0;
        }
        // Chain the blocks from the top down so that the list runs in ascending order.
        char* base = PageAddress(page);
        HeapRef above = 0;
        for (uint32_t offset = kPageSize; offset >= blockSize;) {
            offset -= blockSize;
            std::memcpy(base + offset, &above, sizeof above);
            above = page << 16 | sizeClass << 12 | offset;
        }
        freeHead = above;
    }
    // A freed block may still carry its old length bits; the block size masks them off.
    HeapRef block = freeHead & ~(blockSize - 1);
    std::memcpy(&freeHead, Resolve(block), sizeof(HeapRef));
    return block | (size != blockSize ? size : 0);
}

void SharedHeap::Free(HeapRef ref) {
    if (ref == 0 || region_ == nullptr) {
        return;
    }
    Header& head = header();
    std::lock_guard guard(head.lock);
    HeapRef& freeHead = head.freeBlocks[ClassOf(ref)];
    std::memcpy(Resolve(ref), &freeHead, sizeof(HeapRef));
    freeHead = ref;
}

void SharedHeap::FreePair(HeapRef ref, HeapRef ref2) {
    if (ref2 != 0) {
        Free(ref2);
    }
    Free(ref);
}

SharedHeap::QueuePage* SharedHeap::ValidQueue(QueueId id) const {
    if (region_ == nullptr || id < 1 || id >= nextFreshPage()) {
        return nullptr;
    }
    // The magic alone could be forged by a payload that begins with it; the side table
    // knows which pages really are open queues.
    const QueueSync* sync = sync_[id].get();
    if (sync == nullptr || !sync->open.load(std::memory_order_acquire)) {
        return nullptr;
    }
    auto* queue = reinterpret_cast<QueuePage*>(PageAddress(id));
    return queue->magic.load(std::memory_order_acquire) == kQueueMagic ? queue : nullptr;
}

QueueId SharedHeap::OpenQueue(const char* pattern) {
    if (pattern == nullptr || region_ == nullptr) {
        return 0;
    }
    uint32_t page = TakePage();
    if (page == 0) {
        return 0;
    }
    HeapRef patternRef = Allocate(0, sizeof(regex_t));
    if (patternRef == 0) {
        ReturnPage(page);
        return 0;
    }
    auto* regex = static_cast<regex_t*>(Resolve(patternRef));
    if (pcre2_regcomp(regex, pattern, 0) != 0) {
        Free(patternRef);
        ReturnPage(page);
        return 0;
    }
    auto* queue = new (PageAddress(page)) QueuePage;
    queue->syncHandle = page;
    queue->pattern = patternRef;
    queue->flags.store(0);
    queue->readIndex.store(0);
    queue->writeIndex.store(0);
    queue->overflowCount = 0;
    queue->next = 0;

    std::unique_ptr<QueueSync>& sync = sync_[page];
    if (!sync) {
        sync = std::make_unique<QueueSync>();
    }
    while (sync->wake.try_acquire()) {
        // a page reused as a queue starts with no pending wake-ups
    }
    sync->headTaken = false;
    queue->magic.store(kQueueMagic, std::memory_order_release);

    Header& head = header();
    std::lock_guard guard(head.lock);
    queue->previous = head.lastQueue;
    if (head.lastQueue != 0) {
        reinterpret_cast<QueuePage*>(PageAddress(head.lastQueue))->next = page;
    } else {
        head.firstQueue = page;
    }
    head.lastQueue = page;
    sync->open.store(true, std::memory_order_release);
    ++queueGeneration_;
    return page;
}

const HeapRef* SharedHeap::PendingSlot(const QueuePage& queue, uint32_t position) const {
    if (position < kInlineSlots) {
        return queue.slots[position];
    }
    // The overflow page was recorded before the message's wake-up was released, so the
    // receiver reads it without the queue lock (and without the count the poster updates).
    uint32_t offset = position - kInlineSlots;
    auto* slots = reinterpret_cast<const HeapRef*>(
        PageAddress(queue.overflow[offset / kSlotsPerOverflowPage]));
    return slots + 2 * (offset % kSlotsPerOverflowPage);
}

HeapRef* SharedHeap::SlotAt(QueuePage& queue, uint32_t position) {
    if (position < kInlineSlots) {
        return queue.slots[position];
    }
    uint32_t index = (position - kInlineSlots) / kSlotsPerOverflowPage;
    if (index >= kOverflowPages) {
        return nullptr;
    }
    if (index >= queue.overflowCount) {
        uint32_t page = TakePage();
        if (page == 0) {
            return nullptr;
        }
        queue.overflow[queue.overflowCount++] = static_cast<uint16_t>(page);
    }
    auto* slots = reinterpret_cast<HeapRef*>(PageAddress(queue.overflow[index]));
    return slots + 2 * ((position - kInlineSlots) % kSlotsPerOverflowPage);
}

int SharedHeap::Post(QueueId id, HeapRef topic, HeapRef payload) {
    auto& queue = *reinterpret_cast<QueuePage*>(PageAddress(id));
    QueueSync& sync = *sync_[id];
    std::lock_guard guard(sync.lock);
    if (queue.flags.load() != 0) {
        FreePair(topic, payload);
        return kQueueStopped;
    }
    uint32_t position = queue.writeIndex.load(std::memory_order_relaxed);
    HeapRef* slot = position < kQueueCapacity ? SlotAt(queue, position) : nullptr;
    if (slot == nullptr) {
        FreePair(topic, payload);
        return 0;
    }
    slot[0] = topic;
    slot[1] = payload;
    queue.writeIndex.store(position + 1, std::memory_order_release);
    sync.wake.release();
    return 1;
}

const std::vector<QueueId>& SharedHeap::MatchingQueues(std::string_view topic) {
    auto found = topicMatches_.find(topic);
    if (found != topicMatches_.end() && found->second.generation == queueGeneration_) {
        return found->second.queues;
    }
    if (found == topicMatches_.end()) {
        // Topic names form a small fixed set; a flood of distinct names must not grow this.
        if (topicMatches_.size() >= 256) {
            topicMatches_.clear();
        }
        found = topicMatches_.emplace(std::string(topic), TopicMatches{}).first;
    }
    TopicMatches& matches = found->second;
    matches.generation = queueGeneration_;
    matches.queues.clear();
    for (uint32_t page = header().firstQueue; page != 0;) {
        auto* queue = reinterpret_cast<QueuePage*>(PageAddress(page));
        auto* regex = static_cast<regex_t*>(Resolve(queue->pattern));
        if (pcre2_regexec(regex, found->first.c_str(), 0, nullptr, 0) == 0) {
            matches.queues.push_back(page);
        }
        page = queue->next;
    }
    return matches.queues;
}

int SharedHeap::PublishCopies(const char* topic, const void* data, uint32_t size,
                              uint32_t payloadClass) {
    if (region_ == nullptr) {
        return 0;
    }
    size_t topicBytes = std::strlen(topic) + 1;
    Header& head = header();
    std::lock_guard guard(head.lock);
    for (QueueId id : MatchingQueues(std::string_view(topic, topicBytes - 1))) {
        auto* queue = reinterpret_cast<QueuePage*>(PageAddress(id));
        if (queue->flags.load() != 0) {
            continue;
        }
        HeapRef topicCopy =
            topicBytes <= kPageSize ? Allocate(0, static_cast<uint32_t>(topicBytes)) : 0;
        if (topicCopy == 0) {
            continue;
        }
        std::memcpy(Resolve(topicCopy), topic, topicBytes);
        HeapRef payloadCopy = 0;
        if (size != 0) {
            payloadCopy = Allocate(payloadClass, size);
            if (payloadCopy == 0) {
                Free(topicCopy);
                continue;
            }
            std::memcpy(Resolve(payloadCopy), data, size);
        }
        (void)Post(id, topicCopy, payloadCopy);
    }
    return 1;
}

int SharedHeap::Publish(const char* topic, const void* data, uint32_t size) {
    if (topic == nullptr || (data != nullptr && (size < 1 || size > kMaxPayload))) {
        return 0;
    }
    return PublishCopies(topic, data, data != nullptr ? size : 0, 0);
}

int SharedHeap::PublishInt(const char* topic, int32_t value) {
    if (topic == nullptr) {
        return 0;
    }
    return PublishCopies(topic, &value, sizeof value, kIntClass);
}

int SharedHeap::PublishIntPair(const char* topic, int32_t a, int32_t b) {
    if (topic == nullptr) {
        return 0;
    }
    int32_t pair[2] = {a, b};
    return PublishCopies(topic, pair, sizeof pair, kIntPairClass);
}

int SharedHeap::PublishString(const char* topic, const char* text) {
    if (topic == nullptr) {
        return 0;
    }
    if (text == nullptr) {
        return PublishCopies(topic, nullptr, 0, 0);
    }
    size_t bytes = std::strlen(text) + 1;
    if (bytes > kMaxPayload) {
        return 0;
    }
    return PublishCopies(topic, text, static_cast<uint32_t>(bytes), 0);
}

int SharedHeap::SignalQueue(QueueId id, uint32_t bits) {
    QueuePage* queue = ValidQueue(id);
    if (queue == nullptr) {
        return 0;
    }
    queue->flags.fetch_or(bits);
    sync_[id]->wake.release();
    return 1;
}

uint32_t SharedHeap::PendingCount(QueueId id) const {
    const QueuePage* queue = ValidQueue(id);
    if (queue == nullptr) {
        return 0;
    }
    return queue->writeIndex.load() - queue->readIndex.load();
}

uint32_t SharedHeap::overflowPageCount(QueueId id) const {
    const QueuePage* queue = ValidQueue(id);
    return queue == nullptr ? 0 : queue->overflowCount;
}

int SharedHeap::Receive(QueueId id, char* topicBuffer, uint32_t* topicLength, void* payloadBuffer,
                        uint32_t* payloadLength, int want) {
    QueuePage* queue = ValidQueue(id);
    if (queue == nullptr || ((want & kWantTopic) != 0 && topicLength == nullptr) ||
        ((want & kWantPayload) != 0 && payloadLength == nullptr)) {
        return 0;
    }
    QueueSync& sync = *sync_[id];
    if (queue->flags.load() != 0) {
        return kQueueStopped;
    }
    if (!sync.headTaken) {
        sync.wake.acquire();
    }
    if (queue->flags.load() != 0 || !sync.open.load(std::memory_order_acquire)) {
        // The count taken belongs to the stop signal, or to a message that stays queued
        // for nobody; either way nothing is consumed.
        sync.headTaken = false;
        return kQueueStopped;
    }
    uint32_t position = queue->readIndex.load(std::memory_order_relaxed);
    const HeapRef* slot = PendingSlot(*queue, position);
    HeapRef topic = slot[0];
    HeapRef payload = slot[1];

    int result = want;
    if ((want & kWantTopic) != 0) {
        uint32_t length = LengthOf(topic);
        if (topicBuffer == nullptr) {
            result |= kNoTopicBuffer;
        } else if (length <= *topicLength) {
            std::memcpy(topicBuffer, Resolve(topic), length);
        } else {
            result &= ~kWantTopic;
        }
        *topicLength = length;
    }
    if ((want & kWantPayload) != 0) {
        uint32_t length = payload != 0 ? LengthOf(payload) : 0;
        if (length != 0 && payloadBuffer == nullptr) {
            result &= ~kWantPayload;
        } else if (length <= *payloadLength) {
            if (length != 0) {
                std::memcpy(payloadBuffer, Resolve(payload), length);
            }
        } else {
            result &= ~kWantPayload;
        }
        *payloadLength = length;
    }
    if (result != want) {
        sync.headTaken = true;
        return result;
    }
    sync.headTaken = false;
    FreePair(topic, payload);
    queue->readIndex.store(position + 1, std::memory_order_release);
    if (position + 1 == queue->writeIndex.load(std::memory_order_acquire)) {
        std::lock_guard guard(sync.lock);
        if (queue->readIndex.load() == queue->writeIndex.load()) {
            queue->readIndex.store(0);
            queue->writeIndex.store(0);
        }
    }
    return result;
}

int SharedHeap::ReceiveInt(QueueId id, char* topicBuffer, uint32_t* topicLength, int32_t* value) {
    uint32_t length = sizeof(int32_t);
    return Receive(id, topicBuffer, topicLength, value, &length, kWantBoth);
}

int SharedHeap::ReceiveIntPair(QueueId id, char* topicBuffer, uint32_t* topicLength,
                               int32_t* pair) {
    uint32_t length = 2 * sizeof(int32_t);
    return Receive(id, topicBuffer, topicLength, pair, &length, kWantBoth);
}

int SharedHeap::CloseQueue(QueueId id) {
    QueuePage* queue = ValidQueue(id);
    if (queue == nullptr) {
        return 0;
    }
    QueueSync& sync = *sync_[id];
    queue->flags.fetch_or(kClosingFlag);
    queue->magic.store(0);
    sync.open.store(false, std::memory_order_release);

    Header& head = header();
    std::lock_guard heapGuard(head.lock);
    if (queue->previous != 0) {
        reinterpret_cast<QueuePage*>(PageAddress(queue->previous))->next = queue->next;
    } else {
        head.firstQueue = queue->next;
    }
    if (queue->next != 0) {
        reinterpret_cast<QueuePage*>(PageAddress(queue->next))->previous = queue->previous;
    } else {
        head.lastQueue = queue->previous;
    }
    ++queueGeneration_;
    {
        std::lock_guard queueGuard(sync.lock);
        for (uint32_t position = queue->readIndex.load(); position < queue->writeIndex.load();
             ++position) {
            const HeapRef* slot = PendingSlot(*queue, position);
            FreePair(slot[0], slot[1]);
        }
        queue->flags.store(0);
        queue->readIndex.store(0);
        queue->writeIndex.store(0);
    }
    for (uint32_t index = 0; index < queue->overflowCount; ++index) {
        ReturnPage(queue->overflow[index]);
    }
    pcre2_regfree(static_cast<regex_t*>(Resolve(queue->pattern)));
    Free(queue->pattern);
    // Wake a receiver that was left waiting; it sees the queue closed and returns.
    sync.wake.release();
    ReturnPage(id);
    return 1;
}

namespace {
std::atomic<SharedHeap*> processHeap{nullptr};
}  // namespace

void InstallProcessHeap(SharedHeap* heap) {
    processHeap.store(heap);
}

SharedHeap* ProcessHeap() {
    return processHeap.load(std::memory_order_acquire);
}

}  // namespace qvex
