#include "log/log_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/support/temp_env.h"

namespace qvex {
namespace {

class LogViewTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(view.MapMemory()); }

    void Append(const std::string& line, bool show = true) {
        (void)view.appendLogLine(line.data(), static_cast<uint32_t>(line.size()), show);
    }

    void AppendHeaderAndMix() {
        Append("[Qvex 3.5 log started]");
        Append("[Linux 6.1]");
        Append("<USER anonymous");
        Append(">331 Password required");
        Append("... 2 KB received");
        Append("!!! Folder failed to update - use Refresh.");
        Append("*** Connect failed");
        Append("@@@ Unable to open file");
    }

    std::vector<std::string> Displayed() {
        std::vector<std::string> lines;
        for (uint32_t index = 0; index < view.displayedCount(); ++index) {
            lines.push_back(view.DisplayedLine(index));
        }
        return lines;
    }

    LogView view;
};

TEST_F(LogViewTest, LinesAreStoredWithCrLfAndNothingElse) {
    Append("first");
    uint32_t used = view.appendLogLine("second", 6, false);
    EXPECT_EQ(used, 15u);
    EXPECT_EQ(view.Text(), "first\r\nsecond\r\n");
    EXPECT_EQ(view.displayedCount(), 1u) << "a hidden line is written but not indexed";
}

TEST_F(LogViewTest, RebuildFollowsTheSwitchesAndAlwaysKeepsHeaderAndImportantLines) {
    AppendHeaderAndMix();
    struct Row {
        bool commands;
        bool extended;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows = {
        {false,
         false,
         {"[Qvex 3.5 log started]", "[Linux 6.1]", "!!! Folder failed to update - use Refresh.",
          "@@@ Unable to open file"}},
        {true,
         false,
         {"[Qvex 3.5 log started]", "[Linux 6.1]", "<USER anonymous", ">331 Password required",
          "!!! Folder failed to update - use Refresh.", "@@@ Unable to open file"}},
        {false,
         true,
         {"[Qvex 3.5 log started]", "[Linux 6.1]", "... 2 KB received",
          "!!! Folder failed to update - use Refresh.", "*** Connect failed",
          "@@@ Unable to open file"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.commands) + std::to_string(row.extended));
        view.rebuildLogIndex(row.commands, row.extended);
        EXPECT_EQ(Displayed(), row.expected);
    }
    view.rebuildLogIndex(true, true);
    EXPECT_EQ(view.displayedCount(), 8u);
}

TEST_F(LogViewTest, CopyTakesTheSelectionOrEveryDisplayedLine) {
    EXPECT_EQ(view.CopyLines({}), "") << "an empty log copies an empty text";
    Append("a");
    Append("b", false);
    Append("c");
    EXPECT_EQ(view.CopyLines({}), "a\r\nc\r\n");
    const uint32_t selection[] = {1, 7};
    EXPECT_EQ(view.CopyLines(selection), "c\r\n") << "indices past the end are ignored";
}

TEST_F(LogViewTest, MappingGrowsAndKeepsEarlierText) {
    std::string line(500, 'x');
    for (int index = 0; index < 400; ++index) {
        line[0] = static_cast<char>('A' + index % 26);
        Append(line);
    }
    EXPECT_EQ(view.usedLength(), 400u * 502u);
    EXPECT_EQ(view.displayedCount(), 400u);
    EXPECT_EQ(view.DisplayedLine(0)[0], 'A');
    EXPECT_EQ(view.DisplayedLine(399)[0], static_cast<char>('A' + 399 % 26));
    EXPECT_EQ(view.DisplayedLine(399).size(), 500u);
}

TEST_F(LogViewTest, IndexGrowsPastItsFirstRoom) {
    for (uint32_t index = 0; index < LogView::kInitialIndexRoom + 100; ++index) {
        std::string line = "... " + std::to_string(index);
        Append(line);
    }
    EXPECT_EQ(view.displayedCount(), LogView::kInitialIndexRoom + 100);
    EXPECT_EQ(view.DisplayedLine(LogView::kInitialIndexRoom + 99),
              "... " + std::to_string(LogView::kInitialIndexRoom + 99));
    view.rebuildLogIndex(true, true);
    EXPECT_EQ(view.displayedCount(), LogView::kInitialIndexRoom + 100);
}

TEST(LogViewFile, AnUncutTailFormsNoLineAndOverlongLinesArePieced) {
    test::TempEnv env;
    std::string text = "[header 1]\r\n[header 2]\r\n";
    text += std::string(70000, '!') + "\r\n";
    text += "... partial line never finished";
    text += std::string(100, '\0');
    auto mapping = std::make_unique<platform::GrowableMapping>();
    ASSERT_EQ(mapping->CreateFile(env.path("saved.txt"), 1 << 20),
              platform::GrowableMapping::CreateResult::Created);
    std::copy(text.begin(), text.end(), mapping->data());
    LogView view;
    view.Attach(std::move(mapping), static_cast<uint32_t>(text.size()));
    view.rebuildLogIndex(true, true);
    ASSERT_EQ(view.displayedCount(), 4u);
    EXPECT_EQ(view.DisplayedLine(1), "[header 2]");
    EXPECT_EQ(view.DisplayedLine(2).size() + view.DisplayedLine(3).size(), 70000u);
}

class CountingObserver : public LogViewObserver {
  public:
    void OnShownLineAppended() override { ++count; }
    std::atomic<int> count{0};
};

TEST_F(LogViewTest, ObserverHearsOfShownLinesOnly) {
    CountingObserver observer;
    view.SetObserver(&observer);
    Append("shown");
    Append("hidden", false);
    Append("shown too");
    EXPECT_EQ(observer.count.load(), 2);
}

TEST(LogViewUnmapped, AppendingWithoutTextIsHarmless) {
    LogView view;
    EXPECT_FALSE(view.mapped());
    EXPECT_EQ(view.appendLogLine("x", 1, true), 0u);
    view.rebuildLogIndex(true, true);
    EXPECT_EQ(view.displayedCount(), 0u);
    EXPECT_EQ(view.Text(), "");
}

}  // namespace
}  // namespace qvex
