#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

namespace qvex::test {

LogCapture::LogCapture() {
    if (!heap_.CreateHeap()) {
        ADD_FAILURE() << "no heap for the log capture";
        return;
    }
    queue_ = heap_.OpenQueue("^Log(Cmd|Ext|Raw)$");
    InstallProcessHeap(&heap_);
}

LogCapture::~LogCapture() {
    InstallProcessHeap(nullptr);
}

std::vector<LogCapture::Line> LogCapture::Take() {
    std::vector<Line> lines;
    while (heap_.PendingCount(queue_) > 0) {
        char topic[16];
        char text[4096];
        uint32_t topicLength = sizeof topic;
        uint32_t textLength = sizeof text;
        if (heap_.Receive(queue_, topic, &topicLength, text, &textLength, kWantBoth) != kWantBoth) {
            ADD_FAILURE() << "a log message could not be received";
            break;
        }
        lines.push_back({topic, textLength == 0 ? std::string() : std::string(text)});
    }
    return lines;
}

std::vector<std::string> LogCapture::TakeTexts() {
    std::vector<std::string> texts;
    for (Line& line : Take()) {
        texts.push_back(std::move(line.text));
    }
    return texts;
}

}  // namespace qvex::test
