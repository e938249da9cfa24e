#include "sums/hash_file.h"

#include <crypto++/cryptlib.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sums/test_bytes.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

// Keeps every report; `onReport` may act on the file in the middle of the hashing.
class RecordingProgress final : public HashProgress {
  public:
    bool Report(int value) override {
        values.push_back(value);
        if (onReport) {
            onReport(value);
        }
        return stopAt.has_value() && values.size() == *stopAt;
    }
    bool StopRequested() override {
        ++stopQuestions;
        return stopRequested;
    }

    std::vector<int> values;
    std::function<void(int)> onReport;
    std::optional<size_t> stopAt;  // the report (1-based) that answers "stop"
    bool stopRequested = false;
    int stopQuestions = 0;
};

std::string Hex(const HashFileResult& result) {
    return DigestToHex(result.digest.data(), result.digestSize);
}

// A file of `size` zero bytes without writing them.
void MakeSparseFile(const std::string& path, uint64_t size) {
    test::WriteFileBytes(path, "");
    std::filesystem::resize_file(path, size);
}

// Threads of this process now.
size_t ThreadCount() {
    // ThreadSanitizer's runtime starts a thread of its own with the first thread the process
    // starts: it is there before the first count.
    static const bool runtimeStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)runtimeStarted;
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// Keeps a file in the middle of being hashed: its first report waits for Release().
class HeldProgress final : public HashProgress {
  public:
    bool Report(int) override {
        if (!reported_) {
            reported_ = true;
            started_.set_value();
            released_.get_future().wait();
        }
        return false;
    }
    void WaitStarted() { started_.get_future().wait(); }
    void Release() { released_.set_value(); }

  private:
    bool reported_ = false;
    std::promise<void> started_;
    std::promise<void> released_;
};

// Every case runs with the hashing thread reading and with a reader thread: both must read,
// hash and report alike.
class HashFileReading : public ::testing::TestWithParam<HashReading> {};

INSTANTIATE_TEST_SUITE_P(Both, HashFileReading,
                         ::testing::Values(HashReading::InLine, HashReading::ReadAhead),
                         [](const ::testing::TestParamInfo<HashReading>& param) {
                             return param.param == HashReading::InLine ? "InLine" : "ReadAhead";
                         });

TEST_P(HashFileReading, DigestsEqualTheOneShotDigestAtEveryBlockEdge) {
    test::TempFolder folder;
    const std::vector<size_t> sizes = {0, 1, 16383, 16384, 16385, 32768, 3 * 1048576 + 7};
    for (size_t size : sizes) {
        std::string bytes = test::PatternBytes(size, static_cast<uint32_t>(size));
        std::string path = folder.path("f" + std::to_string(size));
        test::WriteFileBytes(path, bytes);
        for (int index = 1; index < kHashAlgorithmCount; ++index) {
            auto algorithm = static_cast<HashAlgorithm>(index);
            SCOPED_TRACE(std::to_string(size) + " bytes, " + InfoOf(algorithm).name);
            RecordingProgress progress;
            HashFileResult result = HashFile(path, algorithm, progress, GetParam());
            ASSERT_TRUE(result.ok);
            EXPECT_EQ(result.bytes, size);
            EXPECT_EQ(result.digestSize, InfoOf(algorithm).digestBytes);
            EXPECT_EQ(Hex(result), test::DigestOfBytes(algorithm, bytes));
            EXPECT_EQ(progress.values, (std::vector<int>{kProgressBusy, 100}));
        }
    }
}

TEST_P(HashFileReading, PercentageModeFrom104857600Bytes) {
    test::TempFolder folder;
    MakeSparseFile(folder.path("exact"), kPercentModeSize);
    MakeSparseFile(folder.path("below"), kPercentModeSize - 1);

    RecordingProgress exact;
    HashFileResult result = HashFile(folder.path("exact"), HashAlgorithm::Sha1, exact, GetParam());
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, kPercentModeSize);
    EXPECT_EQ(Hex(result),
              test::DigestOfBytes(HashAlgorithm::Sha1, std::string(kPercentModeSize, '\0')));
    // A check every 5 MiB, each 5 points above the last.
    std::vector<int> expected = {kProgressPercent};
    for (int percent = 5; percent <= 100; percent += 5) {
        expected.push_back(percent);
    }
    EXPECT_EQ(exact.values, expected);

    // One byte less: a busy bar; the last 5 MiB falls one byte short of a check, so the 100
    // comes from the end of the file.
    RecordingProgress below;
    ASSERT_TRUE(HashFile(folder.path("below"), HashAlgorithm::Sha1, below, GetParam()).ok);
    expected[0] = kProgressBusy;
    EXPECT_EQ(below.values, expected);
}

TEST_P(HashFileReading, SmallStepsAreNotReportedButStillAskForAStop) {
    test::TempFolder folder;
    // 5 MiB is about 1.7 % of 300 MiB: only every second check reports.
    MakeSparseFile(folder.path("big"), 300ull * 1048576);
    RecordingProgress progress;
    ASSERT_TRUE(HashFile(folder.path("big"), HashAlgorithm::Sha1, progress, GetParam()).ok);
    ASSERT_GE(progress.values.size(), 3u);
    EXPECT_EQ(progress.values.front(), kProgressPercent);
    for (size_t i = 2; i < progress.values.size(); ++i) {
        EXPECT_GE(progress.values[i] - progress.values[i - 1], kProgressStep);
    }
    EXPECT_EQ(progress.values.back(), 100);
    EXPECT_GT(progress.stopQuestions, 0);

    RecordingProgress stopped;
    stopped.stopRequested = true;
    HashFileResult result = HashFile(folder.path("big"), HashAlgorithm::Sha1, stopped, GetParam());
    EXPECT_FALSE(result.ok);
    // It stopped at the first check that reported nothing: 5 MiB (2 %) was reported, the
    // next check (3 %) was not.
    EXPECT_EQ(stopped.values, (std::vector<int>{kProgressPercent, 2}));
    EXPECT_EQ(stopped.stopQuestions, 1);
}

TEST_P(HashFileReading, AStopAtAnyReportAbandonsTheFile) {
    test::TempFolder folder;
    test::WriteFileBytes(folder.path("twelve"), test::PatternBytes(12 * 1048576, 12));
    // Reports: busy, 42, 83, 100.
    for (size_t stopAt = 1; stopAt <= 4; ++stopAt) {
        SCOPED_TRACE(stopAt);
        RecordingProgress progress;
        progress.stopAt = stopAt;
        EXPECT_FALSE(HashFile(folder.path("twelve"), HashAlgorithm::Md5, progress, GetParam()).ok);
        EXPECT_EQ(progress.values.size(), stopAt);
    }
    RecordingProgress whole;
    ASSERT_TRUE(HashFile(folder.path("twelve"), HashAlgorithm::Md5, whole, GetParam()).ok);
    EXPECT_EQ(whole.values, (std::vector<int>{kProgressBusy, 42, 83, 100}));
}

TEST_P(HashFileReading, AFileThatShrinksGivesTheDigestOfWhatWasRead) {
    test::TempFolder folder;
    std::string bytes = test::PatternBytes(12 * 1048576, 7);
    std::string path = folder.path("shrinks");
    test::WriteFileBytes(path, bytes);
    RecordingProgress progress;
    progress.onReport = [&](int value) {
        if (value > 0 && value < 100) {
            std::filesystem::resize_file(path, 1048576);
        }
    };
    HashFileResult result = HashFile(path, HashAlgorithm::Sha256, progress, GetParam());
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, kProgressCheckBytes);
    EXPECT_EQ(Hex(result),
              test::DigestOfBytes(HashAlgorithm::Sha256, bytes.substr(0, kProgressCheckBytes)));
    EXPECT_EQ(progress.values, (std::vector<int>{kProgressBusy, 42, 100}));
}

TEST_P(HashFileReading, AFileThatGrowsGivesTheDigestOfEverythingReadAndStaysAtAFullBar) {
    test::TempFolder folder;
    std::string bytes = test::PatternBytes(12 * 1048576, 9);
    std::string more = test::PatternBytes(4 * 1048576, 10);
    std::string path = folder.path("grows");
    test::WriteFileBytes(path, bytes);
    RecordingProgress progress;
    progress.onReport = [&](int value) {
        if (value == 42) {
            std::FILE* file = std::fopen(path.c_str(), "ab");
            ASSERT_NE(file, nullptr);
            EXPECT_EQ(std::fwrite(more.data(), 1, more.size(), file), more.size());
            std::fclose(file);
        }
    };
    HashFileResult result = HashFile(path, HashAlgorithm::Sha512, progress, GetParam());
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, bytes.size() + more.size());
    EXPECT_EQ(Hex(result), test::DigestOfBytes(HashAlgorithm::Sha512, bytes + more));
    // 15 MiB of a file that was 12 MiB at the start is a full bar, and no second 100 follows.
    EXPECT_EQ(progress.values, (std::vector<int>{kProgressBusy, 42, 83, 100}));
}

TEST_P(HashFileReading, AReadErrorFailsTheFile) {
    // A regular file by its type whose first read fails: offset 0 of this process's memory
    // is never mapped.
    RecordingProgress progress;
    HashFileResult result = HashFile("/proc/self/mem", HashAlgorithm::Md5, progress, GetParam());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(progress.values, (std::vector<int>{kProgressBusy}));
}

TEST(HashFile, AReaderThreadRunsForLargeFilesOnlyAndEndsWithTheFile) {
    test::TempFolder folder;
    const uint64_t large = 12 * 1048576;
    const uint64_t belowReadAhead = kReadAheadFromSize - kHashReadSize;
    MakeSparseFile(folder.path("large"), large);
    MakeSparseFile(folder.path("below"), belowReadAhead);
    // Automatic gives one file a reader only when another processor is there for it, and
    // not to a digest that runs on the processor's SHA instructions.
    const bool spareProcessor = std::thread::hardware_concurrency() >= 2;
    const std::string sha1Provider = CreateDigest(HashAlgorithm::Sha1)->AlgorithmProvider();
    const bool sha1OnShaInstructions = sha1Provider == "SHANI" || sha1Provider == "ARMv8";
    struct Row {
        HashReading reading;
        HashAlgorithm algorithm;
        const char* name;
        size_t extraThreads;
    };
    const std::vector<Row> rows = {
        {HashReading::InLine, HashAlgorithm::Md5, "large", 0},
        {HashReading::ReadAhead, HashAlgorithm::Md5, "large", 1},
        {HashReading::ReadAhead, HashAlgorithm::Md5, "below", 1},
        {HashReading::ReadAhead, HashAlgorithm::Sha1, "large", 1},
        {HashReading::Automatic, HashAlgorithm::Md5, "large", spareProcessor ? 1u : 0u},
        {HashReading::Automatic, HashAlgorithm::Sha512, "large", spareProcessor ? 1u : 0u},
        {HashReading::Automatic, HashAlgorithm::Md5, "below", 0},
        {HashReading::Automatic, HashAlgorithm::Sha1, "large",
         spareProcessor && !sha1OnShaInstructions ? 1u : 0u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + InfoOf(row.algorithm).name + " " +
                     std::to_string(static_cast<int>(row.reading)));
        const size_t before = ThreadCount();
        std::vector<size_t> during;
        RecordingProgress progress;
        progress.onReport = [&](int value) {
            if (value > 0 && value < 100) {
                during.push_back(ThreadCount());
            }
        };
        HashFileResult result =
            HashFile(folder.path(row.name), row.algorithm, progress, row.reading);
        ASSERT_TRUE(result.ok);
        ASSERT_FALSE(during.empty());
        for (size_t count : during) {
            EXPECT_EQ(count, before + row.extraThreads);
        }
        EXPECT_EQ(ThreadCount(), before);
    }
}

// Automatic reading decides again at each progress check as other files start and finish.
// `otherFromStart`: another file is in the middle of being hashed when this one starts and
// finishes at the 42 % report; else it starts at that report and is still there at 83 %.
void ExpectReaderFollowsOtherFiles(bool otherFromStart) {
    const unsigned processors = std::thread::hardware_concurrency();
    test::TempFolder folder;
    const uint64_t size = 12 * 1048576;
    MakeSparseFile(folder.path("this"), size);
    MakeSparseFile(folder.path("other"), size);
    const size_t before = ThreadCount();
    HeldProgress held;
    std::thread other;
    auto startOther = [&] {
        other = std::thread([&] {
            (void)HashFile(folder.path("other"), HashAlgorithm::Md5, held, HashReading::InLine);
        });
        held.WaitStarted();
    };
    if (otherFromStart) {
        startOther();
    }
    std::vector<size_t> counts;  // threads at the 42 % and 83 % reports
    RecordingProgress progress;
    progress.onReport = [&](int value) {
        if (value == 42 || value == 83) {
            counts.push_back(ThreadCount());
        }
        if (value == 42 && otherFromStart) {
            held.Release();
            other.join();
        } else if (value == 42) {
            startOther();
        }
    };
    HashFileResult result = HashFile(folder.path("this"), HashAlgorithm::Md5, progress);
    if (!otherFromStart) {
        held.Release();
        other.join();
    }
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, size);
    EXPECT_EQ(Hex(result), test::DigestOfBytes(HashAlgorithm::Md5, std::string(size, '\0')));
    // One file alone gets a reader on two processors; two files need four.
    const size_t aloneReader = processors >= 2 ? 1 : 0;
    const size_t sharedReader = processors >= 4 ? 1 : 0;
    const size_t otherThread = 1;
    if (otherFromStart) {
        EXPECT_EQ(counts,
                  (std::vector<size_t>{before + otherThread + sharedReader, before + aloneReader}));
    } else {
        EXPECT_EQ(counts,
                  (std::vector<size_t>{before + aloneReader, before + otherThread + sharedReader}));
    }
}

TEST(HashFile, AReaderEndsAtACheckOnceAnotherFileLeavesItNoProcessor) {
    ExpectReaderFollowsOtherFiles(false);
}

TEST(HashFile, AReaderStartsAtACheckOnceTheOtherFilesAreDone) {
    ExpectReaderFollowsOtherFiles(true);
}

TEST(HashFile, WhatIsNotARegularFileOrHasNoAlgorithmFailsUnread) {
    test::TempFolder folder;
    ASSERT_EQ(::mkfifo(folder.path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(folder.path("folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("missing", folder.path("dangling").c_str()), 0);
    for (const char* name : {"fifo", "folder", "dangling", "absent"}) {
        SCOPED_TRACE(name);
        RecordingProgress progress;
        HashFileResult result = HashFile(folder.path(name), HashAlgorithm::Md5, progress);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(progress.values.empty());
    }
    test::WriteFileBytes(folder.path("file"), "a");
    RecordingProgress progress;
    EXPECT_FALSE(HashFile(folder.path("file"), HashAlgorithm::None, progress).ok);
    EXPECT_TRUE(progress.values.empty());
}

}  // namespace
}  // namespace qvex
