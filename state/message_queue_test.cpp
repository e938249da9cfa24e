#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "state/shared_heap.h"

namespace qvex {
namespace {

struct Message {
    int result = 0;
    std::string topic;
    std::string payload;
};

class MessageQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(heap.CreateHeap()); }

    Message ReceiveOne(QueueId queue) {
        char topic[16];
        char payload[512];
        uint32_t topicLength = sizeof topic;
        uint32_t payloadLength = sizeof payload;
        Message message;
        message.result =
            heap.Receive(queue, topic, &topicLength, payload, &payloadLength, kWantBoth);
        if (message.result == kWantBoth) {
            message.topic.assign(topic, topicLength);
            message.payload.assign(payload, payloadLength);
        }
        return message;
    }

    SharedHeap heap;
};

TEST_F(MessageQueueTest, TopicAndPayloadArriveByteForByte) {
    QueueId queue = heap.OpenQueue("^Log(Cmd|Ext|Raw)$");
    ASSERT_NE(queue, 0u);
    EXPECT_EQ(heap.PublishString("LogCmd", "<USER anonymous"), 1);
    EXPECT_EQ(heap.PendingCount(queue), 1u);
    Message message = ReceiveOne(queue);
    EXPECT_EQ(message.result, kWantBoth);
    EXPECT_EQ(message.topic, std::string("LogCmd", 7));  // with its NUL
    EXPECT_EQ(message.payload, std::string("<USER anonymous", 16));
    EXPECT_EQ(heap.PendingCount(queue), 0u);
}

TEST_F(MessageQueueTest, OnlyMatchingQueuesGetTheirOwnCopy) {
    QueueId logPage = heap.OpenQueue("^Log(Cmd|Ext|Raw)$");
    QueueId remotePane = heap.OpenQueue("^Log(Cmd|Raw)$");
    QueueId host = heap.OpenQueue("^Xfer$");
    EXPECT_EQ(heap.PublishString("LogExt", "... extended"), 1);
    EXPECT_EQ(heap.PublishString("LogRaw", "@@@ raw"), 1);
    EXPECT_EQ(heap.PublishString("Nobody", "dropped"), 1);
    EXPECT_EQ(heap.PendingCount(logPage), 2u);
    EXPECT_EQ(heap.PendingCount(remotePane), 1u);
    EXPECT_EQ(heap.PendingCount(host), 0u);
    EXPECT_EQ(ReceiveOne(logPage).payload, std::string("... extended", 13));
    EXPECT_EQ(ReceiveOne(remotePane).payload, std::string("@@@ raw", 8));
    EXPECT_EQ(ReceiveOne(logPage).payload, std::string("@@@ raw", 8));
}

TEST_F(MessageQueueTest, PatternSearchesAreUnanchoredUnlessThePatternAnchors) {
    QueueId loose = heap.OpenQueue("fer");
    QueueId anchored = heap.OpenQueue("^fer");
    (void)heap.PublishInt("Xfer", 1);
    EXPECT_EQ(heap.PendingCount(loose), 1u);
    EXPECT_EQ(heap.PendingCount(anchored), 0u);
}

TEST_F(MessageQueueTest, QueuesOpenedOrClosedLaterChangeWhoReceives) {
    QueueId first = heap.OpenQueue("^Xfer$");
    (void)heap.PublishInt("Xfer", 1);
    QueueId second = heap.OpenQueue("Xfer");
    (void)heap.PublishInt("Xfer", 2);
    EXPECT_EQ(heap.PendingCount(first), 2u);
    EXPECT_EQ(heap.PendingCount(second), 1u);
    EXPECT_EQ(heap.CloseQueue(first), 1);
    (void)heap.PublishInt("Xfer", 3);
    EXPECT_EQ(heap.PendingCount(second), 2u);
}

TEST_F(MessageQueueTest, ShortTopicBufferLeavesTheMessagePendingForARetry) {
    QueueId queue = heap.OpenQueue("Long");
    (void)heap.PublishString("AVeryLongTopicNameLong", "data");
    char topic[16];
    char payload[16];
    uint32_t topicLength = sizeof topic;
    uint32_t payloadLength = sizeof payload;
    int result = heap.Receive(queue, topic, &topicLength, payload, &payloadLength, kWantBoth);
    EXPECT_EQ(result, kWantPayload);
    EXPECT_EQ(topicLength, 23u);
    EXPECT_EQ(heap.PendingCount(queue), 1u);

    // The retry must not wait for a second wake-up: run it on a thread and bound the wait.
    char bigTopic[64];
    topicLength = sizeof bigTopic;
    payloadLength = sizeof payload;
    auto retry = std::async(std::launch::async, [&] {
        return heap.Receive(queue, bigTopic, &topicLength, payload, &payloadLength, kWantBoth);
    });
    ASSERT_EQ(retry.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(retry.get(), kWantBoth);
    EXPECT_STREQ(bigTopic, "AVeryLongTopicNameLong");
    EXPECT_STREQ(payload, "data");
    EXPECT_EQ(heap.PendingCount(queue), 0u);
}

TEST_F(MessageQueueTest, ShortPayloadBufferReportsTheTrueLength) {
    QueueId queue = heap.OpenQueue("T");
    std::string text(600, 'x');
    (void)heap.PublishString("T", text.c_str());
    char topic[16];
    char payload[512];
    uint32_t topicLength = sizeof topic;
    uint32_t payloadLength = sizeof payload;
    EXPECT_EQ(heap.Receive(queue, topic, &topicLength, payload, &payloadLength, kWantBoth),
              kWantTopic);
    EXPECT_EQ(payloadLength, 601u);
    std::vector<char> big(payloadLength);
    EXPECT_EQ(heap.Receive(queue, topic, &topicLength, big.data(), &payloadLength, kWantBoth),
              kWantBoth);
    EXPECT_EQ(std::string(big.data()), text);
}

TEST_F(MessageQueueTest, MissingBuffersAndLengths) {
    QueueId queue = heap.OpenQueue("T");
    (void)heap.PublishString("T", "x");
    char payload[16];
    uint32_t topicLength = 16;
    uint32_t payloadLength = sizeof payload;
    EXPECT_EQ(heap.Receive(queue, nullptr, nullptr, payload, &payloadLength, kWantBoth), 0);
    EXPECT_EQ(heap.Receive(queue, nullptr, &topicLength, payload, &payloadLength, kWantBoth),
              kWantBoth | kNoTopicBuffer);
    EXPECT_EQ(heap.PendingCount(queue), 1u) << "an incomplete delivery consumes nothing";
    EXPECT_EQ(heap.Receive(queue, nullptr, &topicLength, payload, &payloadLength, kWantPayload),
              kWantPayload);
    EXPECT_STREQ(payload, "x");
}

TEST_F(MessageQueueTest, IntegerPayloads) {
    QueueId queue = heap.OpenQueue("^Xfer$");
    (void)heap.PublishIntPair("Xfer", 0x12345678, -2);
    (void)heap.PublishInt("Xfer", 77);
    char topic[16];
    uint32_t topicLength = sizeof topic;
    int32_t pair[2] = {};
    EXPECT_EQ(heap.ReceiveIntPair(queue, topic, &topicLength, pair), kWantBoth);
    EXPECT_EQ(pair[0], 0x12345678);
    EXPECT_EQ(pair[1], -2);
    int32_t value = 0;
    topicLength = sizeof topic;
    EXPECT_EQ(heap.ReceiveInt(queue, topic, &topicLength, &value), kWantBoth);
    EXPECT_EQ(value, 77);
}

TEST_F(MessageQueueTest, PublishRejectsBadArguments) {
    QueueId queue = heap.OpenQueue(".");
    std::string exact(4095, 'a');  // 4096 bytes with the NUL
    std::string over(4096, 'a');
    EXPECT_EQ(heap.PublishString("T", exact.c_str()), 1);
    EXPECT_EQ(heap.PublishString("T", over.c_str()), 0);
    EXPECT_EQ(heap.PublishString(nullptr, "x"), 0);
    EXPECT_EQ(heap.PublishInt(nullptr, 1), 0);
    EXPECT_EQ(heap.PublishIntPair(nullptr, 1, 2), 0);
    EXPECT_EQ(heap.Publish("T", "x", 0), 0);
    EXPECT_EQ(heap.Publish("T", over.data(), 4097), 0);
    EXPECT_EQ(heap.Publish("T", nullptr, 0), 1);
    EXPECT_EQ(heap.PublishString("T", nullptr), 1);
    EXPECT_EQ(heap.PendingCount(queue), 3u);

    char topic[16];
    std::vector<char> payload(4096);
    uint32_t topicLength = sizeof topic;
    uint32_t payloadLength = 4096;
    EXPECT_EQ(heap.Receive(queue, topic, &topicLength, payload.data(), &payloadLength, kWantBoth),
              kWantBoth);
    EXPECT_EQ(payloadLength, 4096u);
    for (int index = 0; index < 2; ++index) {
        payloadLength = 4096;
        EXPECT_EQ(
            heap.Receive(queue, topic, &topicLength, payload.data(), &payloadLength, kWantBoth),
            kWantBoth);
        EXPECT_EQ(payloadLength, 0u) << "a message without payload";
    }
}

TEST_F(MessageQueueTest, TwentiethMessageTakesAnOverflowPageThatStaysUntilClose) {
    QueueId queue = heap.OpenQueue("^Xfer$");
    for (int32_t index = 0; index < 19; ++index) {
        (void)heap.PublishInt("Xfer", index);
    }
    EXPECT_EQ(heap.overflowPageCount(queue), 0u);
    (void)heap.PublishInt("Xfer", 19);
    EXPECT_EQ(heap.overflowPageCount(queue), 1u);
    for (int32_t index = 0; index < 20; ++index) {
        char topic[16];
        uint32_t topicLength = sizeof topic;
        int32_t value = -1;
        ASSERT_EQ(heap.ReceiveInt(queue, topic, &topicLength, &value), kWantBoth);
        EXPECT_EQ(value, index);
    }
    EXPECT_EQ(heap.PendingCount(queue), 0u);
    EXPECT_EQ(heap.overflowPageCount(queue), 1u);
    // Indices were reset: the next messages use the inline slots again, in order.
    (void)heap.PublishInt("Xfer", 100);
    char topic[16];
    uint32_t topicLength = sizeof topic;
    int32_t value = 0;
    ASSERT_EQ(heap.ReceiveInt(queue, topic, &topicLength, &value), kWantBoth);
    EXPECT_EQ(value, 100);
    EXPECT_EQ(heap.overflowPageCount(queue), 1u);
}

TEST_F(MessageQueueTest, CloseReturnsTheQueueAndOverflowPages) {
    QueueId queue = heap.OpenQueue("^Xfer$");
    for (int32_t index = 0; index < 600; ++index) {
        (void)heap.PublishInt("Xfer", index);
    }
    ASSERT_EQ(heap.overflowPageCount(queue), 2u);
    uint32_t fresh = heap.nextFreshPage();
    EXPECT_EQ(heap.CloseQueue(queue), 1);
    // Three pages are back on the free list: taking four needs only one fresh page.
    for (int index = 0; index < 4; ++index) {
        EXPECT_NE(heap.TakePage(), 0u);
    }
    EXPECT_EQ(heap.nextFreshPage(), fresh + 1);
}

TEST_F(MessageQueueTest, SignalWakesABlockedReceiver) {
    QueueId queue = heap.OpenQueue("x");
    std::promise<void> waiting;
    auto receiver = std::async(std::launch::async, [&] {
        waiting.set_value();
        return ReceiveOne(queue).result;
    });
    waiting.get_future().wait();
    EXPECT_EQ(heap.SignalQueue(queue, 1), 1);
    ASSERT_EQ(receiver.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(receiver.get(), kQueueStopped);
    EXPECT_EQ(ReceiveOne(queue).result, kQueueStopped) << "a signalled queue stays stopped";
    (void)heap.PublishString("x", "late");
    EXPECT_EQ(heap.PendingCount(queue), 0u) << "posts to a signalled queue are dropped";
    EXPECT_EQ(heap.CloseQueue(queue), 1);
}

TEST_F(MessageQueueTest, BadQueueIdsGiveZero) {
    QueueId queue = heap.OpenQueue("x");
    // A data page whose first bytes forge the queue magic is still no queue.
    QueueId dataQueue = heap.OpenQueue("^D$");
    (void)heap.PublishString("D", "KzvQ forged magic");
    HeapRef block = heap.Allocate(0, 4096);
    std::memcpy(heap.Resolve(block), "KzvQ", 4);
    uint32_t forgedPage = block >> 16;

    for (QueueId bad : {0u, heap.nextFreshPage(), 60000u, forgedPage}) {
        SCOPED_TRACE(bad);
        char topic[16];
        char payload[16];
        uint32_t topicLength = sizeof topic;
        uint32_t payloadLength = sizeof payload;
        EXPECT_EQ(heap.Receive(bad, topic, &topicLength, payload, &payloadLength, kWantBoth), 0);
        EXPECT_EQ(heap.SignalQueue(bad, 1), 0);
        EXPECT_EQ(heap.PendingCount(bad), 0u);
        EXPECT_EQ(heap.CloseQueue(bad), 0);
    }
    EXPECT_EQ(heap.OpenQueue(nullptr), 0u);
    EXPECT_EQ(heap.OpenQueue("(unclosed"), 0u);
    EXPECT_EQ(heap.CloseQueue(queue), 1);
    EXPECT_EQ(heap.CloseQueue(queue), 0) << "closing twice";
    EXPECT_EQ(heap.PendingCount(dataQueue), 1u);
}

TEST(MessageQueueCapacity, AFullQueueRefusesFurtherPostsAndLosesNothing) {
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap(0x10000));
    QueueId queue = heap.OpenQueue("^I$");
    for (int32_t index = 0; index < static_cast<int32_t>(SharedHeap::kQueueCapacity); ++index) {
        ASSERT_EQ(heap.PublishInt("I", index), 1);
    }
    EXPECT_EQ(heap.PendingCount(queue), SharedHeap::kQueueCapacity);
    EXPECT_EQ(heap.overflowPageCount(queue), SharedHeap::kOverflowPages);
    uint32_t fresh = heap.nextFreshPage();
    EXPECT_EQ(heap.PublishInt("I", -1), 1);
    EXPECT_EQ(heap.PendingCount(queue), SharedHeap::kQueueCapacity);
    (void)heap.PublishInt("I", -1);
    EXPECT_LE(heap.nextFreshPage(), fresh + 1) << "refused posts give their blocks back";

    char topic[4];
    for (int32_t index = 0; index < static_cast<int32_t>(SharedHeap::kQueueCapacity); ++index) {
        uint32_t topicLength = sizeof topic;
        int32_t value = -1;
        ASSERT_EQ(heap.ReceiveInt(queue, topic, &topicLength, &value), kWantBoth);
        ASSERT_EQ(value, index);
    }
    EXPECT_EQ(heap.PendingCount(queue), 0u);
}

TEST(MessageQueueExhaustion, PublishingIntoAFullHeapKeepsWhatWasQueued) {
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap(24));
    QueueId queue = heap.OpenQueue("^T$");
    int32_t published = 0;
    for (; published < 100000; ++published) {
        uint32_t before = heap.PendingCount(queue);
        (void)heap.PublishIntPair("T", published, ~published);
        if (heap.PendingCount(queue) == before) {
            break;
        }
    }
    ASSERT_LT(published, 100000) << "a 24-page heap must fill up";
    for (int32_t index = 0; index < published; ++index) {
        char topic[4];
        uint32_t topicLength = sizeof topic;
        int32_t pair[2];
        ASSERT_EQ(heap.ReceiveIntPair(queue, topic, &topicLength, pair), kWantBoth);
        ASSERT_EQ(pair[0], index);
        ASSERT_EQ(pair[1], ~index);
    }
    // Freed blocks serve new posts.
    EXPECT_EQ(heap.PublishIntPair("T", 1, 2), 1);
    EXPECT_EQ(heap.PendingCount(queue), 1u);
}

TEST_F(MessageQueueTest, ConcurrentPublishersKeepTheirOwnOrder) {
    QueueId queue = heap.OpenQueue("^P[0-3]$");
    constexpr int kPublishers = 4;
    constexpr int32_t kEach = 20000;
    std::vector<std::thread> publishers;
    for (int publisher = 0; publisher < kPublishers; ++publisher) {
        publishers.emplace_back([&, publisher] {
            std::string topic = "P" + std::to_string(publisher);
            for (int32_t index = 0; index < kEach; ++index) {
                (void)heap.PublishInt(topic.c_str(), index);
            }
        });
    }
    int32_t next[kPublishers] = {};
    for (int received = 0; received < kPublishers * kEach; ++received) {
        char topic[16];
        uint32_t topicLength = sizeof topic;
        int32_t value = -1;
        ASSERT_EQ(heap.ReceiveInt(queue, topic, &topicLength, &value), kWantBoth);
        int publisher = topic[1] - '0';
        ASSERT_EQ(value, next[publisher]) << "publisher " << publisher;
        ++next[publisher];
    }
    for (std::thread& publisher : publishers) {
        publisher.join();
    }
    EXPECT_EQ(heap.PendingCount(queue), 0u);
}

}  // namespace
}  // namespace qvex
