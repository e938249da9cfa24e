#include "sums/hash_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
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

TEST(HashFile, DigestsEqualTheOneShotDigestAtEveryBlockEdge) {
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
            HashFileResult result = HashFile(path, algorithm, progress);
            ASSERT_TRUE(result.ok);
            EXPECT_EQ(result.bytes, size);
            EXPECT_EQ(result.digestSize, InfoOf(algorithm).digestBytes);
            EXPECT_EQ(Hex(result), test::DigestOfBytes(algorithm, bytes));
            EXPECT_EQ(progress.values, (std::vector<int>{kProgressBusy, 100}));
        }
    }
}

TEST(HashFile, PercentageModeFrom104857600Bytes) {
    test::TempFolder folder;
    MakeSparseFile(folder.path("exact"), kPercentModeSize);
    MakeSparseFile(folder.path("below"), kPercentModeSize - 1);

    RecordingProgress exact;
    HashFileResult result = HashFile(folder.path("exact"), HashAlgorithm::Sha1, exact);
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
    ASSERT_TRUE(HashFile(folder.path("below"), HashAlgorithm::Sha1, below).ok);
    expected[0] = kProgressBusy;
    EXPECT_EQ(below.values, expected);
}

TEST(HashFile, SmallStepsAreNotReportedButStillAskForAStop) {
    test::TempFolder folder;
    // 5 MiB is about 1.7 % of 300 MiB: only every second check reports.
    MakeSparseFile(folder.path("big"), 300ull * 1048576);
    RecordingProgress progress;
    ASSERT_TRUE(HashFile(folder.path("big"), HashAlgorithm::Sha1, progress).ok);
    ASSERT_GE(progress.values.size(), 3u);
    EXPECT_EQ(progress.values.front(), kProgressPercent);
    for (size_t i = 2; i < progress.values.size(); ++i) {
        EXPECT_GE(progress.values[i] - progress.values[i - 1], kProgressStep);
    }
    EXPECT_EQ(progress.values.back(), 100);
    EXPECT_GT(progress.stopQuestions, 0);

    RecordingProgress stopped;
    stopped.stopRequested = true;
    HashFileResult result = HashFile(folder.path("big"), HashAlgorithm::Sha1, stopped);
    EXPECT_FALSE(result.ok);
    // It stopped at the first check that reported nothing: 5 MiB (2 %) was reported, the
    // next check (3 %) was not.
    EXPECT_EQ(stopped.values, (std::vector<int>{kProgressPercent, 2}));
    EXPECT_EQ(stopped.stopQuestions, 1);
}

TEST(HashFile, AStopAtAnyReportAbandonsTheFile) {
    test::TempFolder folder;
    test::WriteFileBytes(folder.path("twelve"), test::PatternBytes(12 * 1048576, 12));
    // Reports: busy, 42, 83, 100.
    for (size_t stopAt = 1; stopAt <= 4; ++stopAt) {
        SCOPED_TRACE(stopAt);
        RecordingProgress progress;
        progress.stopAt = stopAt;
        EXPECT_FALSE(HashFile(folder.path("twelve"), HashAlgorithm::Md5, progress).ok);
        EXPECT_EQ(progress.values.size(), stopAt);
    }
    RecordingProgress whole;
    ASSERT_TRUE(HashFile(folder.path("twelve"), HashAlgorithm::Md5, whole).ok);
    EXPECT_EQ(whole.values, (std::vector<int>{kProgressBusy, 42, 83, 100}));
}

TEST(HashFile, AFileThatShrinksGivesTheDigestOfWhatWasRead) {
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
    HashFileResult result = HashFile(path, HashAlgorithm::Sha256, progress);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, kProgressCheckBytes);
    EXPECT_EQ(Hex(result),
              test::DigestOfBytes(HashAlgorithm::Sha256, bytes.substr(0, kProgressCheckBytes)));
    EXPECT_EQ(progress.values, (std::vector<int>{kProgressBusy, 42, 100}));
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
