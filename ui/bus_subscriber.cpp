#include "ui/bus_subscriber.h"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

namespace qvex {
namespace {

// The buffers every bus subscriber has.
constexpr uint32_t kTopicBuffer = 16;
constexpr uint32_t kPayloadBuffer = 512;

// Text up to its first NUL, within the delivered length.
std::string TextOf(const char* data, uint32_t length) {
    const void* nul = std::memchr(data, '\0', length);
    return std::string(
        data, nul == nullptr ? length : static_cast<size_t>(static_cast<const char*>(nul) - data));
}

}  // namespace

bool BusSubscriber::Start(const char* pattern, Deliver deliver) {
    queue_ = heap_.OpenQueue(pattern);
    if (queue_ == 0) {
        return false;
    }
    deliver_ = std::move(deliver);
    thread_ = std::thread([this] { Receive(); });
    return true;
}

void BusSubscriber::Signal() {
    if (queue_ != 0) {
        (void)heap_.SignalQueue(queue_, 1);
    }
}

void BusSubscriber::Stop() {
    if (queue_ == 0) {
        return;
    }
    Signal();
    if (thread_.joinable()) {
        thread_.join();
    }
    (void)heap_.CloseQueue(queue_);
    queue_ = 0;
}

void BusSubscriber::Receive() {
    std::vector<char> payload(kPayloadBuffer);
    for (;;) {
        std::array<char, kTopicBuffer> topic{};
        uint32_t topicLength = kTopicBuffer;
        uint32_t payloadLength = static_cast<uint32_t>(payload.size());
        int result = heap_.Receive(queue_, topic.data(), &topicLength, payload.data(),
                                   &payloadLength, kWantBoth);
        if (result == kWantTopic) {
            payload.resize(payloadLength);
            result = heap_.Receive(queue_, topic.data(), &topicLength, payload.data(),
                                   &payloadLength, kWantBoth);
        }
        if (result != kWantBoth) {
            return;
        }
        deliver_(TextOf(topic.data(), topicLength), TextOf(payload.data(), payloadLength));
    }
}

}  // namespace qvex
