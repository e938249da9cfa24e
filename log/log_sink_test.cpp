#include "log/log_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log/log_kind.h"
#include "log/log_receiver.h"
#include "log/log_view.h"
#include "state/shared_heap.h"

namespace qvex {
namespace {

// The receiver runs on its own thread; tests post a final marker line and wait for it.
class LogPipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(heap.CreateHeap());
        InstallProcessHeap(&heap);
        ASSERT_TRUE(view.MapMemory());
        ASSERT_TRUE(receiver.Start());
    }
    void TearDown() override {
        receiver.Stop();
        InstallProcessHeap(nullptr);
    }

    // Posts a raw marker (always written) and waits until it reached the text.
    std::string Drain() {
        logRaw("@@@ end");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            std::string text = view.Text();
            if (text.size() >= 9 && text.compare(text.size() - 9, 9, "@@@ end\r\n") == 0) {
                return text.substr(0, text.size() - 9);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the receiver never wrote the marker";
                return text;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::vector<std::string> Displayed() {
        std::vector<std::string> lines;
        for (uint32_t index = 0; index < view.displayedCount(); ++index) {
            lines.push_back(view.DisplayedLine(index));
        }
        return lines;
    }

    SharedHeap heap;
    LogView view;
    LogReceiver receiver{heap, view};
};

TEST_F(LogPipelineTest, LinesArriveInOrderWithTheirSuffix) {
    logCmd("<USER anonymous");
    logCmd(">331 Password required");
    logExt("Listing directory to ", "/tmp/host.txt");
    EXPECT_EQ(
        Drain(),
        "<USER anonymous\r\n>331 Password required\r\nListing directory to /tmp/host.txt\r\n");
}

TEST_F(LogPipelineTest, LoggingOffDropsAllButRawLines) {
    receiver.SetLogging(false);
    logCmd("<PASS ****");
    logExt("... 1 KB received");
    logRaw("!!! Folder failed to update - use Refresh.");
    EXPECT_EQ(Drain(), "!!! Folder failed to update - use Refresh.\r\n");
}

TEST_F(LogPipelineTest, SwitchesOffStillWriteButHide) {
    receiver.SetShowCommands(false);
    receiver.SetShowExtended(false);
    logCmd("<CWD /pub");
    logExt("!!! a note posted as extended output");
    logRaw("@@@ local failure");
    EXPECT_EQ(Drain(),
              "<CWD /pub\r\n!!! a note posted as extended output\r\n@@@ local failure\r\n");
    EXPECT_EQ(Displayed(), (std::vector<std::string>{"@@@ local failure", "@@@ end"}));
    // A rebuild shows the hidden "!!!" line: important lines are always kept.
    view.rebuildLogIndex(false, false);
    EXPECT_EQ(Displayed(),
              (std::vector<std::string>{"<CWD /pub", "!!! a note posted as extended output",
                                        "@@@ local failure", "@@@ end"}));
}

TEST_F(LogPipelineTest, LongLinesAreCutAt511BytesWithoutSplittingACharacter) {
    std::string text(400, 'a');
    std::string suffix(300, 'b');
    logExt(text.c_str(), suffix.c_str());
    // 510 ASCII bytes, then a two-byte character that would straddle the limit.
    std::string utf8 = std::string(510, 'c') + "\xC3\xA9" + "tail";
    logExt(utf8.c_str());
    // An escaped control character is never cut in half either, and nothing of the suffix
    // follows a cut text.
    std::string control = std::string(508, 'd') + "\x1B";
    logExt(control.c_str(), "e");
    std::string written = Drain();
    EXPECT_EQ(written, text + std::string(111, 'b') + "\r\n" + std::string(510, 'c') + "\r\n" +
                           std::string(508, 'd') + "\r\n");
}

TEST_F(LogPipelineTest, AnOversizedForeignMessageIsCutAndLoggingGoesOn) {
    std::string huge(3000, 'z');
    ASSERT_EQ(heap.PublishString(kLogExt, huge.c_str()), 1);
    logExt("after");
    EXPECT_EQ(Drain(), std::string(511, 'z') + "\r\nafter\r\n");
}

TEST_F(LogPipelineTest, ManyThreadsLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::vector<std::thread> posters;
    for (int thread = 0; thread < kThreads; ++thread) {
        posters.emplace_back([thread] {
            for (int line = 0; line < kLines; ++line) {
                std::string text = "... " + std::to_string(thread) + " " + std::to_string(line);
                logExt(text.c_str());
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    std::string written = Drain();
    std::vector<int> next(kThreads, 0);
    size_t start = 0;
    int lines = 0;
    while (start < written.size()) {
        size_t end = written.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        int thread = 0;
        int line = 0;
        ASSERT_EQ(std::sscanf(written.c_str() + start, "... %d %d", &thread, &line), 2);
        EXPECT_EQ(line, next[static_cast<size_t>(thread)])
            << "lines of one thread keep their order";
        next[static_cast<size_t>(thread)] = line + 1;
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

TEST(LogSinkProcessHeap, LinesGoToTheInstalledHeapOnly) {
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap());
    QueueId queue = heap.OpenQueue(kLogPagePattern);
    InstallProcessHeap(nullptr);
    logCmd("<NOOP");  // before start-up: lost, and harmless
    EXPECT_EQ(heap.PendingCount(queue), 0u);
    InstallProcessHeap(&heap);
    logCmd("<NOOP");
    logExt(nullptr);  // no text: nothing is posted
    postLogLine("LogCmd", nullptr, "suffix only");
    EXPECT_EQ(heap.PendingCount(queue), 1u);
    InstallProcessHeap(nullptr);
}

}  // namespace
}  // namespace qvex
