#include "log/log_files.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/utsname.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log_receiver.h"
#include "log/log_sink.h"
#include "platform/locale.h"
#include "platform/system_name.h"
#include "state/shared_heap.h"
#include "tests/support/peer_program.h"
#include "tests/support/process_run.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

namespace fs = std::filesystem;

// Seconds since 1970 of a local wall-clock time of this machine.
int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    int64_t time = 0;
    EXPECT_TRUE(platform::LocalCalendarToTime({year, month, day, hour, minute, second}, time));
    return time;
}

std::set<std::string> FilesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class LogFilesTest : public ::testing::Test {
  protected:
    // The folder as the settings give it: ending with the separator.
    std::string Folder() const { return folder_.root() + "/"; }

    LogFilesOptions Options(int logKeep, int64_t now) const {
        LogFilesOptions options;
        options.dataFolder = Folder();
        options.logKeep = logKeep;
        options.now = [now] { return now; };
        return options;
    }

    // An older log on disk with a header and one line.
    void WriteSavedLog(const std::string& name, const std::string& line = "<USER anonymous") {
        test::WriteFileBytes(folder_.path(name), "[old header]\r\n[Linux]\r\n" + line + "\r\n");
    }

    static void Append(SessionLogFiles& files, const std::string& line) {
        (void)files.currentView().appendLogLine(line.data(), static_cast<uint32_t>(line.size()),
                                                true);
    }

    test::TempFolder folder_;
    const int64_t now_ = LocalTime(2026, 1, 7, 8, 13, 21);
};

// ---- Names, creation and the header ----

TEST_F(LogFilesTest, StartsInTheSameSecondGetNumberedNames) {
    SessionLogFiles first(Options(kLogKeepAll, now_));
    SessionLogFiles second(Options(kLogKeepAll, now_));
    SessionLogFiles third(Options(kLogKeepAll, now_));
    ASSERT_TRUE(first.Open());
    ASSERT_TRUE(second.Open());
    ASSERT_TRUE(third.Open());
    EXPECT_EQ(first.names().front(), "20260107081321.txt");
    EXPECT_EQ(second.names().front(), "20260107081321_2.txt");
    EXPECT_EQ(third.names().front(), "20260107081321_3.txt");
    EXPECT_EQ(third.currentPath(), Folder() + "20260107081321_3.txt");
    EXPECT_EQ(FilesIn(folder_.root()),
              (std::set<std::string>{"20260107081321.txt", "20260107081321_2.txt",
                                     "20260107081321_3.txt"}));
    // While the program runs, a log file is as long as its mapping.
    EXPECT_EQ(fs::file_size(first.currentPath()), 65536u);
}

TEST_F(LogFilesTest, AFolderWithoutTrailingSeparatorIsAccepted) {
    LogFilesOptions options = Options(kLogKeepAll, now_);
    options.dataFolder = folder_.root();
    SessionLogFiles files(options);
    ASSERT_TRUE(files.Open());
    EXPECT_EQ(files.currentPath(), folder_.path("20260107081321.txt"));
}

TEST_F(LogFilesTest, HeaderLinesAreExactAndShown) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    const std::string lineOne =
        "[Qvex 3.5 (3.5 build 90260107) log started on Wed Jan  7 08:13:21 2026]";
    const std::string lineTwo = files.currentView().DisplayedLine(1);
    EXPECT_EQ(files.currentView().displayedCount(), 2u);
    EXPECT_EQ(files.currentView().DisplayedLine(0), lineOne);

    struct utsname names {};
    ASSERT_EQ(::uname(&names), 0);
    const std::string system =
        std::string("[") + names.sysname + " " + names.release + " " + names.machine;
    EXPECT_EQ(lineTwo.substr(0, system.size()), system);
    EXPECT_EQ(lineTwo.back(), ']');
    EXPECT_EQ(lineTwo.find_first_of("\r\n"), std::string::npos);

    const std::string header = lineOne + "\r\n" + lineTwo + "\r\n";
    EXPECT_EQ(files.headerEnd(), header.size());
    EXPECT_EQ(test::ReadFileBytes(files.currentPath()).substr(0, header.size() + 1),
              header + std::string(1, '\0'));
}

TEST(LogHeader, OptionalBuildPart) {
    const char* date = "Mon Dec  7 08:13:21 2026 and more";
    struct Row {
        const char* special;
        const char* privateBuild;
        const char* expected;
    };
    const Row rows[] = {
        {"", "", "[Qvex 3.5 (3.5 build 90260107) log started on Mon Dec  7 08:13:21 2026]"},
        {"Beta", "",
         "[Qvex 3.5 (3.5 build 90260107) \"Beta\" log started on Mon Dec  7 08:13:21 2026]"},
        {"", "Lab",
         "[Qvex 3.5 (3.5 build 90260107) \"Lab\" log started on Mon Dec  7 08:13:21 2026]"},
        {"Beta", "Lab",
         "[Qvex 3.5 (3.5 build 90260107) \"Beta Lab\" log started on Mon Dec  7 08:13:21 2026]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.special) + "|" + row.privateBuild);
        EXPECT_EQ(LogHeaderLineOne(date, row.special, row.privateBuild), row.expected);
    }
}

TEST(LogHeader, PrettyNameOfOsRelease) {
    struct Row {
        const char* text;
        const char* expected;
    };
    const Row rows[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME='Fedora Linux 39 (Workstation Edition)'",
         "Fedora Linux 39 (Workstation Edition)"},
        {"PRETTY_NAME=Alpine", "Alpine"},
        {"PRETTY_NAME=\"say \\\"hi\\\" \\$HOME\"\r\n", "say \"hi\" $HOME"},
        {"# PRETTY_NAME=\"commented\"\nNAME=Arch\n", ""},
        {"XPRETTY_NAME=\"other key\"\n", ""},
        {"PRETTY_NAME=\"\"\n", ""},
        {"PRETTY_NAME=\"first\"\nPRETTY_NAME=\"second\"\n", "second"},
        {"PRETTY_NAME=\"tab\there\"", "tab here"},
        {"PRETTY_NAME=\"", "\""},
        {"", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(platform::PrettyNameFromOsRelease(row.text), row.expected);
    }
}

TEST_F(LogFilesTest, LogKeepZeroKeepsTheLogInMemoryAndWritesNoFile) {
    SessionLogFiles files(Options(kLogKeepNone, now_));
    ASSERT_TRUE(files.Open());
    EXPECT_FALSE(files.currentHasFile());
    EXPECT_EQ(files.currentPath(), "");
    EXPECT_EQ(files.names(), (std::vector<std::string>{"20260107081321.txt"}));
    EXPECT_FALSE(files.selectorEnabled());
    EXPECT_TRUE(files.exportEnabled());
    Append(files, "<USER anonymous");
    EXPECT_EQ(files.currentView().displayedCount(), 3u);
    EXPECT_TRUE(FilesIn(folder_.root()).empty());
    files.Close();
    EXPECT_TRUE(FilesIn(folder_.root()).empty());
}

TEST_F(LogFilesTest, AnUncreatableFileLeavesTheLogInMemoryWithoutComplaint) {
    LogFilesOptions options = Options(kLogKeepAll, now_);
    options.dataFolder = folder_.path("missing/");
    SessionLogFiles files(options);
    ASSERT_TRUE(files.Open());
    EXPECT_FALSE(files.currentHasFile());
    EXPECT_TRUE(files.selectorEnabled());
    EXPECT_EQ(files.currentView().displayedCount(), 2u);
    Append(files, "... logged in memory");
    files.Close();
    EXPECT_FALSE(fs::exists(folder_.path("missing")));
}

// ---- Closing: the cut ----

TEST_F(LogFilesTest, ALogWithOnlyItsHeaderIsDeletedAtClose) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    const std::string path = files.currentPath();
    ASSERT_TRUE(test::FileExists(path));
    files.Close();
    EXPECT_FALSE(test::FileExists(path));
    EXPECT_TRUE(files.names().empty());
}

TEST_F(LogFilesTest, AWipedIdleLogIsDeletedAtClose) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    Append(files, "<USER anonymous");
    files.Wipe();
    EXPECT_EQ(files.currentView().usedLength(), files.headerEnd());
    const std::string path = files.currentPath();
    files.Close();
    EXPECT_FALSE(test::FileExists(path));
}

TEST_F(LogFilesTest, ALogWithLinesIsCutToItsUsedLength) {
    std::string path;
    std::string expected;
    {
        SessionLogFiles files(Options(kLogKeepAll, now_));
        ASSERT_TRUE(files.Open());
        Append(files, "<USER anonymous");
        Append(files, ">331 Password required");
        // Hidden lines are written all the same.
        (void)files.currentView().appendLogLine("... hidden", 10, false);
        path = files.currentPath();
        expected = files.currentView().Text();
        // The destructor closes like Close().
    }
    const std::string bytes = test::ReadFileBytes(path);
    EXPECT_EQ(bytes, expected);
    const std::string tail = "<USER anonymous\r\n>331 Password required\r\n... hidden\r\n";
    ASSERT_GT(bytes.size(), tail.size());
    EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
    EXPECT_EQ(bytes.find('\0'), std::string::npos);
}

TEST_F(LogFilesTest, WipedTextIsOverwrittenAndCutAway) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    Append(files, "... a long line that is wiped before the session ends");
    files.Wipe();
    Append(files, "<QUIT");
    const std::string header = files.currentView().Text().substr(0, files.headerEnd());
    const std::string path = files.currentPath();
    files.Close();
    EXPECT_EQ(test::ReadFileBytes(path), header + "<QUIT\r\n");
}

TEST_F(LogFilesTest, GrowingPastTheFirstMappingKeepsEveryLine) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    std::string lines;
    for (int index = 0; index < 400; ++index) {
        std::string line = "... line " + std::to_string(index) + " " + std::string(400, 'x');
        Append(files, line);
        lines += line + "\r\n";
    }
    const std::string path = files.currentPath();
    // Grown in whole 65,536-byte steps while open.
    EXPECT_EQ(fs::file_size(path), 3u * 65536u);
    EXPECT_EQ(files.currentView().displayedCount(), 402u);
    files.Close();
    const std::string bytes = test::ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 65536u * 2);
    EXPECT_EQ(bytes.substr(files.headerEnd()), lines);
}

TEST_F(LogFilesTest, WhenTheFileCannotGrowTheLogGoesOnInMemoryBehindANote) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    // Files may not grow past the first mapping: extending the log fails.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 65536;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    // Fill the mapping up to 100 bytes before its end.
    const std::string filler(65536 - 100 - files.headerEnd() - 2, 'a');
    const uint32_t full = files.currentView().appendLogLine(
        filler.data(), static_cast<uint32_t>(filler.size()), true);
    const std::string tooLong(200, 'b');
    const uint32_t afterLong = files.currentView().appendLogLine(tooLong.data(), 200, true);
    const uint32_t afterShort = files.currentView().appendLogLine("<QUIT", 5, true);

    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, previousHandler);

    const std::string note =
        "*** Unable to extend the log file (File too large): later lines are kept in memory only";
    EXPECT_EQ(full, 65536u - 100u);
    EXPECT_EQ(afterLong, full + note.size() + 2 + 202);
    EXPECT_EQ(afterShort, afterLong + 7);
    ASSERT_EQ(files.currentView().displayedCount(), 6u);
    EXPECT_EQ(files.currentView().DisplayedLine(3), note);
    EXPECT_EQ(files.currentView().DisplayedLine(5), "<QUIT");
    const std::string path = files.currentPath();
    const std::string text = files.currentView().Text();
    EXPECT_EQ(text.substr(full), note + "\r\n" + tooLong + "\r\n<QUIT\r\n");
    // The file keeps the text it held when it could grow no more.
    files.Close();
    EXPECT_EQ(test::ReadFileBytes(path), text.substr(0, full));
}

// ---- Saved logs: listing, dates, choosing, deleting ----

TEST(LogNames, SavedLogNameRule) {
    struct Row {
        const char* name;
        bool listed;
    };
    const Row rows[] = {
        {"20260107081321.txt", true},
        {"20260107081321_2.txt", true},
        {"20260107081321_12.txt", true},
        {"20260107081321_.txt", true},  // '_' as the fifteenth character is enough
        {"2026010708132.txt", false},   // 13 digits: too short, fifteenth is 't'
        {"2026010708132x.txt", false},  // a letter among the 14 digits
        {"20260107081321x.txt", false},
        {"20260107081321-2.txt", false},
        {"19990107081321.txt", false},  // does not match "20*.txt"
        {"20260107081321.TXT", false},
        {"20260107081321.txt.bak", false},
        {"20260107081321.log", false},
        {"20.txt", false},
        {"", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IsSavedLogName(row.name), row.listed);
    }
}

TEST(LogNames, FileNameOfALocalTime) {
    EXPECT_EQ(LogFileName(2026, 1, 7, 8, 3, 9, 1), "20260107080309.txt");
    EXPECT_EQ(LogFileName(2026, 12, 31, 23, 59, 59, 2), "20261231235959_2.txt");
    EXPECT_EQ(LogFileName(2026, 12, 31, 23, 59, 59, 11), "20261231235959_11.txt");
}

TEST(LogNames, DateTextOfAName) {
    struct Row {
        const char* name;
        const char* text;
    };
    const Row rows[] = {
        {"20261207081321.txt", "Mon Dec  7 08:13:21 2026"},
        {"20261207081321_3.txt", "Mon Dec  7 08:13:21 2026"},
        {"20240229235959.txt", "Thu Feb 29 23:59:59 2024"},
        {"20000101000000.txt", "Sat Jan  1 00:00:00 2000"},
        {"20261031120000.txt", "Sat Oct 31 12:00:00 2026"},
        // No such time: the digits as they are.
        {"20261307081321.txt", "2026/13/07 08:13:21"},
        {"20230229000000.txt", "2023/02/29 00:00:00"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(LogNameDateText(row.name), row.text);
    }
}

TEST_F(LogFilesTest, ListingKeepsLogNamesOnlyNewestFirst) {
    for (const char* name :
         {"20250101000000.txt", "20251231235959_2.txt", "20251231235959.txt", "2025123123595.txt",
          "20251231x35959.txt", "notes.txt", "QvexMRU.txt", "20251231235959-3.txt"}) {
        WriteSavedLog(name);
    }
    fs::create_directory(folder_.path("20251111111111.txt"));  // a folder is no log
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    EXPECT_EQ(files.ListSavedLogs(), 4u);
    EXPECT_EQ(files.names(),
              (std::vector<std::string>{"20260107081321.txt", "20251231235959_2.txt",
                                        "20251231235959.txt", "20250101000000.txt"}));
    EXPECT_EQ(files.DateTexts(),
              (std::vector<std::string>{"Wed Jan  7 08:13:21 2026", "Wed Dec 31 23:59:59 2025",
                                        "Wed Dec 31 23:59:59 2025", "Wed Jan  1 00:00:00 2025"}));
    // The folder is read once per run.
    WriteSavedLog("20240101000000.txt");
    EXPECT_EQ(files.ListSavedLogs(), 4u);
}

TEST_F(LogFilesTest, TheCurrentLogStaysEntryZeroWhateverItsTimeStamp) {
    // A log from "later" (the clock was put back) sorts before the current one by name.
    WriteSavedLog("20270101000000.txt");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    EXPECT_EQ(files.names(),
              (std::vector<std::string>{"20260107081321.txt", "20270101000000.txt"}));
}

TEST_F(LogFilesTest, ChoosingASavedLogShowsItAndEntryZeroShowsTheCurrentOne) {
    WriteSavedLog("20250101000000.txt", "<USER saved");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    EXPECT_TRUE(files.showingCurrent());
    EXPECT_EQ(files.Choose(1), 1u);
    EXPECT_FALSE(files.showingCurrent());
    EXPECT_EQ(files.displayedName(), "20250101000000.txt");
    EXPECT_EQ(files.displayedView().displayedCount(), 3u);
    EXPECT_EQ(files.displayedView().DisplayedLine(2), "<USER saved");
    EXPECT_EQ(files.Choose(0), 0u);
    EXPECT_EQ(&files.displayedView(), &files.currentView());
}

TEST_F(LogFilesTest, ChoosingFollowsTheDisplaySwitches) {
    test::WriteFileBytes(folder_.path("20250101000000.txt"),
                         "[h1]\r\n[h2]\r\n<USER x\r\n... progress\r\n@@@ local failure\r\n");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    files.SetDisplaySwitches(false, false);
    ASSERT_EQ(files.Choose(1), 1u);
    EXPECT_EQ(files.displayedView().displayedCount(), 3u);
    EXPECT_EQ(files.displayedView().DisplayedLine(2), "@@@ local failure");
}

TEST_F(LogFilesTest, AnUncutLogShowsOnlyItsCompleteLines) {
    // What a crash leaves: the mapping's zero tail, and a line cut short by it.
    std::string bytes = "[h1]\r\n[h2]\r\n<USER x\r\n>230 Logged in\r\n... half a li";
    bytes.resize(65536, '\0');
    test::WriteFileBytes(folder_.path("20250101000000.txt"), bytes);
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    ASSERT_EQ(files.Choose(1), 1u);
    const LogView& view = files.displayedView();
    ASSERT_EQ(view.displayedCount(), 4u);
    EXPECT_EQ(view.DisplayedLine(3), ">230 Logged in");
    // Viewing never changes a saved log.
    EXPECT_EQ(test::ReadFileBytes(folder_.path("20250101000000.txt")), bytes);
}

TEST_F(LogFilesTest, ASavedLogThatCannotBeOpenedLeavesTheCurrentLogOnView) {
    WriteSavedLog("20250101000000.txt");
    WriteSavedLog("20250202000000.txt");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    ASSERT_EQ(files.Choose(2), 2u);
    fs::remove(folder_.path("20250202000000.txt"));
    EXPECT_EQ(files.Choose(1), 0u);
    EXPECT_TRUE(files.showingCurrent());
    EXPECT_EQ(files.displayedView().displayedCount(), 2u);
}

TEST_F(LogFilesTest, DeletingTheOnlySavedLogReturnsToTheCurrentLog) {
    WriteSavedLog("20250101000000.txt");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    ASSERT_EQ(files.Choose(1), 1u);
    EXPECT_EQ(files.Delete(1), 0u);
    EXPECT_TRUE(files.showingCurrent());
    EXPECT_EQ(files.names(), (std::vector<std::string>{"20260107081321.txt"}));
    EXPECT_FALSE(test::FileExists(folder_.path("20250101000000.txt")));
    EXPECT_TRUE(test::FileExists(files.currentPath()));
}

TEST_F(LogFilesTest, DeletingMovesTheSelectionToTheNextEntryOrTheOneBefore) {
    for (const char* name : {"20250101000000.txt", "20250202000000.txt", "20250303000000.txt"}) {
        WriteSavedLog(name, std::string("<USER ") + name);
    }
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    // names: current, 0303, 0202, 0101
    ASSERT_EQ(files.Choose(2), 2u);
    EXPECT_EQ(files.Delete(2), 2u);
    EXPECT_EQ(files.displayedName(), "20250101000000.txt");
    EXPECT_EQ(files.displayedView().DisplayedLine(2), "<USER 20250101000000.txt");
    // The last entry: the one before it takes the selection.
    EXPECT_EQ(files.Delete(2), 1u);
    EXPECT_EQ(files.displayedName(), "20250303000000.txt");
    EXPECT_EQ(FilesIn(folder_.root()),
              (std::set<std::string>{"20250303000000.txt", "20260107081321.txt"}));
}

TEST_F(LogFilesTest, DeletingAFileThatIsGoneOnlyDropsTheEntry) {
    WriteSavedLog("20250101000000.txt");
    WriteSavedLog("20250202000000.txt");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    fs::remove(folder_.path("20250101000000.txt"));
    EXPECT_EQ(files.Delete(2), 1u);
    EXPECT_EQ(files.names().size(), 2u);
    EXPECT_TRUE(test::FileExists(folder_.path("20250202000000.txt")));
    // Entry 0 is the current log, which Delete never removes.
    EXPECT_EQ(files.Delete(0), 1u);
    EXPECT_EQ(files.names().size(), 2u);
}

// ---- Retention ----

TEST_F(LogFilesTest, KeepFiveKeepsExactlyTheFiveNewestOfSeven) {
    const std::vector<std::string> older = {"20250101000000.txt", "20250201000000.txt",
                                            "20250301000000.txt", "20250401000000.txt",
                                            "20250501000000.txt", "20250601000000.txt"};
    for (const std::string& name : older) {
        WriteSavedLog(name);
    }
    SessionLogFiles files(Options(kLogKeepFive, now_));
    ASSERT_TRUE(files.Open());
    EXPECT_EQ(files.ListSavedLogs(), 7u);
    Append(files, "<USER anonymous");
    files.Close();
    EXPECT_EQ(
        FilesIn(folder_.root()),
        (std::set<std::string>{"20260107081321.txt", "20250601000000.txt", "20250501000000.txt",
                               "20250401000000.txt", "20250301000000.txt"}));
    EXPECT_EQ(files.names().size(), 5u);
}

TEST_F(LogFilesTest, RetentionCountsPerSetting) {
    struct Row {
        int logKeep;
        bool logSomething;
        size_t logsLeft;
    };
    const Row rows[] = {
        {kLogKeepNone, true, 0},  {kLogKeepFive, true, 5},  {kLogKeepThirty, true, 30},
        {kLogKeepAll, true, 36},  {kLogKeepFive, false, 5}, {kLogKeepThirty, false, 30},
        {kLogKeepAll, false, 35},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.logKeep) + (row.logSomething ? " with lines" : " idle"));
        test::TempFolder folder;
        for (int day = 1; day <= 35; ++day) {
            test::WriteFileBytes(folder.path(LogFileName(2025, 1, 1, 0, 0, day, 1)),
                                 "[h1]\r\n[h2]\r\nline\r\n");
        }
        test::WriteFileBytes(folder.path("QvexMRU.txt"), "not a log");
        LogFilesOptions options = Options(row.logKeep, now_);
        options.dataFolder = folder.root() + "/";
        SessionLogFiles files(options);
        ASSERT_TRUE(files.Open());
        files.ListSavedLogs();
        if (row.logSomething) {
            Append(files, "<USER anonymous");
        }
        files.Close();
        std::set<std::string> left = FilesIn(folder.root());
        EXPECT_EQ(left.erase("QvexMRU.txt"), 1u) << "other files are never touched";
        EXPECT_EQ(left.size(), row.logsLeft);
        // Whatever stays is the newest.
        if (row.logsLeft > 0 && row.logKeep != kLogKeepAll) {
            EXPECT_EQ(*left.rbegin(),
                      row.logSomething ? "20260107081321.txt" : "20250101000035.txt");
        }
    }
}

TEST_F(LogFilesTest, WithoutAListingOlderLogsAreLeftAlone) {
    for (int month = 1; month <= 9; ++month) {
        WriteSavedLog(LogFileName(2025, month, 1, 0, 0, 0, 1));
    }
    SessionLogFiles files(Options(kLogKeepNone, now_));
    ASSERT_TRUE(files.Open());
    files.Close();
    EXPECT_EQ(FilesIn(folder_.root()).size(), 9u);
}

TEST_F(LogFilesTest, KeepNoneSparesASameNamedLogOfAnotherCopy) {
    // Another copy started in the same second and owns this name; this copy has no file.
    WriteSavedLog("20260107081321.txt");
    WriteSavedLog("20250101000000.txt");
    SessionLogFiles files(Options(kLogKeepNone, now_));
    ASSERT_TRUE(files.Open());
    EXPECT_EQ(files.ListSavedLogs(), 2u);
    files.Close();
    EXPECT_EQ(FilesIn(folder_.root()), (std::set<std::string>{"20260107081321.txt"}));
}

// ---- Another running copy ----

TEST_F(LogFilesTest, TheLogOfARunningCopyIsNeverDeletedAndReadingItSurvivesItsCut) {
    ASSERT_TRUE(test::ExecutableExists(QVEX_LOG_PEER));
    for (int second = 1; second <= 6; ++second) {
        WriteSavedLog("2099010100000" + std::to_string(second) + ".txt");
    }
    const std::string go = folder_.path("go");
    test::PeerProgram peer(QVEX_LOG_PEER, folder_.path("peer.out"), std::chrono::seconds(20));
    ASSERT_TRUE(peer.Start(folder_.root(), {"open", "1", "lines", "3000", "wait", go, "close"}));
    const std::optional<std::string> name = peer.Next("open ");
    ASSERT_TRUE(name.has_value()) << "the other copy never opened its log";
    const std::optional<std::string> used = peer.Next("used ");
    ASSERT_TRUE(used.has_value()) << "the other copy never wrote its lines";
    const std::string path = folder_.path(*name);
    const auto mappedSize = fs::file_size(path);
    ASSERT_GT(mappedSize, std::stoull(*used) + 4096) << "the file is longer than its text";

    // This copy views the other one's log (newest of those past the fifth) ...
    SessionLogFiles viewer(Options(kLogKeepFive, now_));
    ASSERT_TRUE(viewer.Open());
    ASSERT_EQ(viewer.ListSavedLogs(), 8u);
    ASSERT_EQ(viewer.names()[7], *name);
    ASSERT_EQ(viewer.Choose(7), 7u);
    EXPECT_EQ(viewer.displayedView().displayedCount(), 3002u);
    // ... and may neither delete it ...
    EXPECT_EQ(viewer.Delete(7), 7u);
    EXPECT_EQ(viewer.names().size(), 8u);
    // ... nor remove it by retention, which takes the other old logs past the fifth.
    {
        SessionLogFiles other(Options(kLogKeepFive, now_ + 1));
        ASSERT_TRUE(other.Open());
        Append(other, "<NOOP");
        ASSERT_EQ(other.ListSavedLogs(), 9u);
        other.Close();
    }
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), mappedSize);
    EXPECT_FALSE(fs::exists(folder_.path("20990101000002.txt")));

    // The other copy ends and cuts its file to its text; the log on view here stays readable.
    std::ofstream(go).put('1');
    ASSERT_TRUE(peer.Next("closed").has_value()) << "the other copy never closed its log";
    ASSERT_TRUE(peer.AwaitExit());
    EXPECT_EQ(fs::file_size(path), std::stoull(*used));
    std::string message;
    ASSERT_TRUE(viewer.Export(folder_.path("export.txt"), message)) << message;
    const std::string exported = test::ReadFileBytes(folder_.path("export.txt"));
    EXPECT_EQ(exported.substr(0, exported.find('\0')), test::ReadFileBytes(path));
    EXPECT_EQ(viewer.displayedView().DisplayedLine(3001).substr(0, 16), "... line 002999 ");

    // Once it has ended, its log is an old log like any other.
    viewer.Close();
    EXPECT_FALSE(fs::exists(path));
}

// A full file system under the data folder: the log and the stores go on without their
// files and say so, and nothing faults on a mapped page without disk space. The file
// system is a small tmpfs in a mount namespace of the peer's own.
TEST_F(LogFilesTest, AFullDiskNeverFaultsTheLogOrTheStores) {
    ASSERT_TRUE(test::ExecutableExists(QVEX_LOG_PEER));
    const std::string mountPoint = folder_.path("small");
    fs::create_directory(mountPoint);
    auto inSmallFileSystem = [&](std::vector<std::string> commands) {
        std::vector<std::string> argv{
            "/usr/bin/unshare",
            "-m",
            "/bin/sh",
            "-c",
            "mount -t tmpfs -o size=256k qvex-test \"$1\" && shift && exec \"$@\"",
            "sh",
            mountPoint};
        argv.insert(argv.end(), commands.begin(), commands.end());
        return test::RunToEnd(argv, std::chrono::seconds(60));
    };
    if (inSmallFileSystem({"/bin/true"}).status != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted in a private mount namespace here";
    }
    const std::string kStoresLeftOut = "restart 0 1\nstatistics 0 1\n";

    // The log's file fills up as it grows: the text goes on in memory behind a note.
    test::ProgramResult growing =
        inSmallFileSystem({QVEX_LOG_PEER, mountPoint, "open", "1", "fill", "lines", "2000", "note",
                           "last", "stores", "close"});
    EXPECT_EQ(growing.status, 0) << growing.out << growing.err;
    EXPECT_NE(growing.out.find("\nnote *** Unable to extend the log file (No space left on "
                               "device): later lines are kept in memory only\n"),
              std::string::npos)
        << growing.out;
    EXPECT_NE(growing.out.find("\nlast ... line 001999 xxx"), std::string::npos) << growing.out;
    EXPECT_NE(growing.out.find(kStoresLeftOut), std::string::npos) << growing.out;
    EXPECT_NE(growing.out.find("\nclosed\n"), std::string::npos) << growing.out;

    // No room even for the first 64 KiB: the log lives in memory from the start.
    test::ProgramResult full = inSmallFileSystem(
        {QVEX_LOG_PEER, mountPoint, "fill", "open", "1", "note", "lines", "2000", "last", "close"});
    EXPECT_EQ(full.status, 0) << full.out << full.err;
    EXPECT_NE(full.out.find("\nopen -\nnote *** Unable to create the log file (No space left "
                            "on device): the log is kept in memory only\n"),
              std::string::npos)
        << full.out;
    EXPECT_NE(full.out.find("\nlast ... line 001999 xxx"), std::string::npos) << full.out;
}

// ---- Export ----

TEST_F(LogFilesTest, ExportWritesTheWholeDisplayedText) {
    WriteSavedLog("20250101000000.txt", "<USER saved");
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    files.ListSavedLogs();
    Append(files, "<USER anonymous");
    (void)files.currentView().appendLogLine("... hidden", 10, false);
    std::string message = "untouched";
    const std::string target = folder_.path("export.txt");
    test::WriteFileBytes(target, std::string(100000, 'o'));  // overwritten, not appended to
    ASSERT_TRUE(files.Export(target, message));
    EXPECT_EQ(message, "untouched");
    const std::string text = test::ReadFileBytes(target);
    EXPECT_EQ(text, files.currentView().Text());
    EXPECT_EQ(text.substr(files.headerEnd()), "<USER anonymous\r\n... hidden\r\n");

    ASSERT_EQ(files.Choose(1), 1u);
    ASSERT_TRUE(files.Export(target, message));
    EXPECT_EQ(test::ReadFileBytes(target), "[old header]\r\n[Linux]\r\n<USER saved\r\n");
}

TEST_F(LogFilesTest, AFailedExportReportsTheMessage) {
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    for (const std::string& target : {folder_.root(), folder_.path("missing/export.txt")}) {
        SCOPED_TRACE(target);
        std::string message;
        EXPECT_FALSE(files.Export(target, message));
        EXPECT_EQ(message, "Unable to save to " + target);
    }
    EXPECT_STREQ(kSaveLogTitle, "Save Log");
}

// ---- With the receiver ----

TEST_F(LogFilesTest, LinesPublishedJustBeforeTheStopReachTheFile) {
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap());
    InstallProcessHeap(&heap);
    std::string path;
    std::string expected;
    {
        SessionLogFiles files(Options(kLogKeepAll, now_));
        ASSERT_TRUE(files.Open());
        LogReceiver receiver(heap, files.currentView());
        ASSERT_TRUE(receiver.Start());
        for (int index = 0; index < 3000; ++index) {
            std::string line = "... line " + std::to_string(index);
            logExt(line.c_str());
            expected += line + "\r\n";
        }
        logExt("... 1.50 KB received in 0.25 seconds");
        expected += "... 1.50 KB received in 0.25 seconds\r\n";
        receiver.Stop();
        path = files.currentPath();
        expected = files.currentView().Text().substr(0, files.headerEnd()) + expected;
        files.Close();
    }
    InstallProcessHeap(nullptr);
    EXPECT_EQ(test::ReadFileBytes(path), expected);
}

// Names from a server or the local disk may hold any byte: each posted line stays one
// line of the file, so the view rebuilt from it shows no command or reply that nobody sent.
TEST_F(LogFilesTest, ControlCharactersOfNamesStayInsideTheirLine) {
    struct Row {
        const char* text;
        const char* suffix;
        const char* shown;
    };
    const Row rows[] = {
        {"DELETEing ", "a\r\n<DELE b", "DELETEing a\\r\\n<DELE b"},
        {"PUTing ", "x\n>226 fake", "PUTing x\\n>226 fake"},
        {">150 Opening x\r>226 Done", nullptr, ">150 Opening x\\r>226 Done"},
        {"@@@ Error opening \x1B[31mred\x07\x7F\t.txt", nullptr,
         "@@@ Error opening \\x1B[31mred\\x07\\x7F\\t.txt"},
        // C1 controls in UTF-8 (NEL, CSI) are escaped byte by byte; other characters stay.
        {"... got \xC2\x85"
         "a\xC2\x9B"
         "1m \xC3\xA9\xC2\xA0",
         nullptr, "... got \\xC2\\x85a\\xC2\\x9B1m \xC3\xA9\xC2\xA0"},
        // 8-bit text: a byte of 0x80 to 0x9F outside a UTF-8 character is a C1 control.
        {">150 \x9B"
         "2J \xE9t\xE9\x9B",
         nullptr, ">150 \\x9B2J \xE9t\xE9\\x9B"},
    };
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap());
    {
        SessionLogFiles files(Options(kLogKeepAll, now_ - 10));
        ASSERT_TRUE(files.Open());
        LogReceiver receiver(heap, files.currentView());
        ASSERT_TRUE(receiver.Start());
        for (const Row& row : rows) {
            postLogLine(heap, "LogExt", row.text, row.suffix);
        }
        receiver.Stop();
    }
    SessionLogFiles files(Options(kLogKeepAll, now_));
    ASSERT_TRUE(files.Open());
    ASSERT_EQ(files.ListSavedLogs(), 2u);
    ASSERT_EQ(files.Choose(1), 1u);
    const LogView& view = files.displayedView();
    ASSERT_EQ(view.displayedCount(), 2u + std::size(rows));
    for (uint32_t index = 0; index < std::size(rows); ++index) {
        SCOPED_TRACE(rows[index].shown);
        EXPECT_EQ(view.DisplayedLine(2 + index), rows[index].shown);
    }
}

TEST_F(LogFilesTest, StopEndsEvenWhileOthersKeepPublishing) {
    SharedHeap heap;
    ASSERT_TRUE(heap.CreateHeap());
    SessionLogFiles files(Options(kLogKeepNone, now_));
    ASSERT_TRUE(files.Open());
    LogReceiver receiver(heap, files.currentView());
    ASSERT_TRUE(receiver.Start());
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
        while (publishing.load()) {
            postLogLine(heap, "LogExt", "... busy", nullptr);
        }
    });
    while (files.currentView().usedLength() < files.headerEnd() + 1000) {
        std::this_thread::yield();
    }
    postLogLine(heap, "LogRaw", "@@@ before stop", nullptr);
    receiver.Stop();
    publishing.store(false);
    publisher.join();
    const std::string text = files.currentView().Text();
    EXPECT_NE(text.find("@@@ before stop\r\n"), std::string::npos);
}

}  // namespace
}  // namespace qvex
