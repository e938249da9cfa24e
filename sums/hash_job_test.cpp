#include "sums/hash_job.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "sums/hash_file.h"
#include "sums/test_bytes.h"
#include "tests/support/temp_env.h"
#include "util/format.h"

namespace qvex {
namespace {

using namespace std::chrono_literals;

std::string HexToBytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Every message waiting in a queue the test opened beside the job's, as (topic, payload).
std::vector<std::pair<std::string, std::string>> TakeAll(SharedHeap& heap, QueueId queue) {
    std::vector<std::pair<std::string, std::string>> messages;
    while (heap.PendingCount(queue) > 0) {
        char topic[16];
        char payload[512];
        uint32_t topicLength = sizeof topic;
        uint32_t payloadLength = sizeof payload;
        if (heap.Receive(queue, topic, &topicLength, payload, &payloadLength, kWantBoth) !=
            kWantBoth) {
            break;
        }
        messages.emplace_back(std::string(topic, topicLength - 1),
                              std::string(payload, payloadLength));
    }
    return messages;
}

std::string Summary(int sums, const char* name, uint64_t bytes, const char* what,
                    uint64_t elapsed) {
    std::string rate =
        elapsed == 0
            ? "*/s"
            : FormatRate(static_cast<double>(bytes) / static_cast<double>(elapsed), kSizeWithUnit);
    return std::to_string(sums) + " " + name + " sum" + (sums < 2 ? "" : "s") + " (" +
           FormatSize(static_cast<int64_t>(bytes), kSizeWithUnit) + ") " + what + " in " +
           FormatDuration(static_cast<int64_t>(elapsed), kDurationHundredths) + " (" + rate + ")";
}

class HashJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetNumberSeparatorsForTesting('.', ',');
        ASSERT_TRUE(heap_.CreateHeap());
    }

    // Writes a file below the temporary folder and returns its bytes.
    std::string Write(const std::string& relative, size_t size, uint32_t seed) {
        std::string bytes = test::PatternBytes(size, seed);
        test::WriteFileBytes(folder_.path(relative), bytes);
        return bytes;
    }
    std::string path(const std::string& relative) const { return folder_.path(relative); }
    std::string root() const { return folder_.root(); }

    HashRequest Compute(int letter, std::vector<std::string> names) const {
        return HashRequest{HashMode::Compute, letter, root(), std::move(names)};
    }

    // The results of a finished job by relative path.
    static std::map<std::string, std::string> Results(const HashJob& job) {
        std::map<std::string, std::string> results;
        for (size_t i = 0; i < job.entryCount(); ++i) {
            results[std::string(job.entry(i).relativePath())] = job.entry(i).result;
        }
        return results;
    }

    SharedHeap heap_;
    test::TempFolder folder_;
    HashJobRunner runner_;
};

TEST(HashWorkerCount, PerCpuTakesTheSmallestOfEntriesProcessorsAndFour) {
    struct Row {
        size_t entries;
        bool perCpu;
        unsigned processors;
        int expected;
    };
    const std::vector<Row> rows = {
        {0, true, 8, 0},  {0, false, 8, 0}, {1, true, 8, 1},  {10, false, 8, 1},
        {10, true, 8, 4}, {10, true, 2, 2}, {3, true, 4, 3},  {10, true, 1, 1},
        {10, true, 0, 1}, {4, true, 4, 4},  {2, true, 64, 2}, {1000, true, 4, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.entries) + " entries, " + std::to_string(row.processors) +
                     " processors, per CPU " + std::to_string(row.perCpu));
        EXPECT_EQ(HashWorkerCount(row.entries, row.perCpu, row.processors), row.expected);
    }
}

TEST(CounterBarWidths, ProportionalWithAFloorOfFour) {
    struct Row {
        int width;
        uint32_t good, unknown, bad;
        std::array<int, 3> expected;
    };
    const std::vector<Row> rows = {
        {300, 0, 0, 0, {0, 0, 0}},       {300, 1, 0, 0, {300, 0, 0}},
        {300, 1, 1, 1, {100, 100, 100}}, {300, 1000, 1, 0, {296, 4, 0}},
        {100, 1, 2, 0, {33, 67, 0}},     {101, 1, 1, 1, {33, 34, 34}},
        {10, 1, 1, 1, {2, 4, 4}},        {0, 5, 5, 5, {0, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + ": " + std::to_string(row.good) + "/" +
                     std::to_string(row.unknown) + "/" + std::to_string(row.bad));
        EXPECT_EQ(CounterBarWidths(row.width, row.good, row.unknown, row.bad), row.expected);
    }
}

TEST_F(HashJobTest, ComputesThroughTheBusUnderHw0AndHp0) {
    std::string a = Write("a.bin", 1000, 1);
    std::string b = Write("sub/b c.bin", 20000, 2);
    QueueId results = heap_.OpenQueue("^Hw0$");
    QueueId progress = heap_.OpenQueue("^Hp0$");
    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(Compute('m', {"a.bin", "sub", "missing"}), false),
              HashStartResult::Started);
    EXPECT_EQ(job.Title(), "Qvex MD5 Sum Compute");
    EXPECT_EQ(job.workerCount(), 1);
    EXPECT_EQ(job.workerDigit(0), 0);
    // The bar's first change is awaited before the job may finish and stop its thread.
    for (int waited = 0; runner_.progressSeen().empty() && waited < 3000; ++waited) {
        std::this_thread::sleep_for(10ms);
    }
    runner_.RunUntilDone(job);
    ASSERT_EQ(job.state(), HashJobState::Finished);
    std::string digestA = test::DigestOfBytes(HashAlgorithm::Md5, a);
    std::string digestB = test::DigestOfBytes(HashAlgorithm::Md5, b);
    EXPECT_EQ(Results(job), (std::map<std::string, std::string>{
                                {"a.bin", digestA}, {"sub/b c.bin", digestB}, {"missing", ""}}));
    EXPECT_EQ(job.doneCount(), 3u);
    EXPECT_EQ(job.unknownCount(), 1u);
    EXPECT_EQ(job.totalBytes(), 21000u);
    EXPECT_EQ(job.SummaryLine(), Summary(2, "MD5", 21000, "computed", job.elapsedMilliseconds()));
    EXPECT_EQ(job.CountsLine(), "");
    EXPECT_EQ(job.FileColumnText(1), "sub/b c.bin");
    EXPECT_EQ(job.DigestColumnText(1), digestB);
    EXPECT_EQ(job.DigestColumnText(2), "?");

    // Each result: the entry index (4 bytes), the byte count (8 bytes) and the digest; a
    // failure the index alone.
    auto index = [](uint32_t i) { return std::string(reinterpret_cast<const char*>(&i), 4); };
    auto count = [](uint64_t n) { return std::string(reinterpret_cast<const char*>(&n), 8); };
    EXPECT_EQ(TakeAll(heap_, results), (std::vector<std::pair<std::string, std::string>>{
                                           {"Hw0", index(0) + count(1000) + HexToBytes(digestA)},
                                           {"Hw0", index(1) + count(20000) + HexToBytes(digestB)},
                                           {"Hw0", index(2)}}));
    // Small files run with a busy bar and end at 100; a missing one reports nothing.
    auto value = [](int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    EXPECT_EQ(TakeAll(heap_, progress),
              (std::vector<std::pair<std::string, std::string>>{{"Hp0", value(kProgressBusy)},
                                                                {"Hp0", value(100)},
                                                                {"Hp0", value(kProgressBusy)},
                                                                {"Hp0", value(100)}}));
    // The bar went to marquee once and stayed there.
    std::vector<std::vector<ProgressBarState>> bars = runner_.progressSeen();
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_EQ(bars[0], (std::vector<ProgressBarState>{{true, 0}}));
}

TEST_F(HashJobTest, FourWorkersShareTheEntries) {
    std::map<std::string, std::string> expected;
    std::vector<std::string> names;
    for (uint32_t i = 0; i < 12; ++i) {
        names.push_back("f" + std::to_string(i));
        expected[names.back()] =
            test::DigestOfBytes(HashAlgorithm::Sha256, Write(names.back(), i * 7000 + 1, i));
    }
    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(Compute('2', names), true, 8), HashStartResult::Started);
    ASSERT_EQ(job.workerCount(), 4);
    EXPECT_EQ(job.workerDigit(3), 3);
    runner_.RunUntilDone(job);
    ASSERT_EQ(job.state(), HashJobState::Finished);
    EXPECT_EQ(Results(job), expected);
}

TEST_F(HashJobTest, VerifyCountsGoodUnknownAndBad) {
    std::string good = Write("good.bin", 5000, 1);
    std::string upper = Write("upper.bin", 17, 2);
    Write("changed.bin", 100, 3);
    ASSERT_EQ(::mkdir(path("folder.bin").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(path("fifo.bin").c_str(), 0600), 0);
    std::string upperDigest = test::DigestOfBytes(HashAlgorithm::Sha256, upper);
    std::transform(upperDigest.begin(), upperDigest.end(), upperDigest.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    std::string other = test::DigestOfBytes(HashAlgorithm::Sha256, "something else");
    std::string text = test::DigestOfBytes(HashAlgorithm::Sha256, good) + "  good.bin\n" + other +
                       " *changed.bin\n" + "SHA2 (upper.bin) = " + upperDigest + "\n" + other +
                       "  gone.bin\n" + other + "  folder.bin\n" + other + "  fifo.bin\n" +
                       "# a comment\n";
    test::WriteFileBytes(path("SHA256SUMS"), text);

    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(HashRequest{HashMode::Verify, 0, "", {path("SHA256SUMS")}}, true, 2),
              HashStartResult::Started);
    EXPECT_EQ(job.Title(), "Qvex SHA2-256 Sum Verify");
    EXPECT_EQ(job.baseFolder(), root() + "/");
    EXPECT_EQ(job.workerCount(), 2);
    runner_.RunUntilDone(job);
    ASSERT_EQ(job.state(), HashJobState::Finished);
    EXPECT_EQ(job.CountsLine(), "2 Good  3 Unknown  1 Bad");
    EXPECT_EQ(job.goodCount(), 2u);
    EXPECT_EQ(job.SummaryLine(),
              Summary(3, "SHA2-256", 5000 + 17 + 100, "verified", job.elapsedMilliseconds()));

    std::vector<std::string> digests;
    std::vector<bool> selected;
    for (size_t row = 0; row < job.rowCount(); ++row) {
        digests.push_back(job.DigestColumnText(row));
        selected.push_back(job.RowSelected(row));
    }
    EXPECT_EQ(digests, (std::vector<std::string>{test::DigestOfBytes(HashAlgorithm::Sha256, good),
                                                 kMatchFailText, upperDigest, "?", "?", "?"}));
    EXPECT_EQ(selected, (std::vector<bool>{false, true, false, false, false, false}));
    EXPECT_EQ(job.entry(1).result, ">");
    // F3 cycles through the failed rows.
    EXPECT_EQ(job.NextSelectedRow(std::nullopt), 1u);
    EXPECT_EQ(job.NextSelectedRow(1), 1u);
    EXPECT_EQ(job.NextSelectedRow(4), 1u);
    // Sorting leaves the failed rows selected.
    job.SortByColumn(1);
    EXPECT_EQ(job.FileColumnText(0), "changed.bin");
    EXPECT_TRUE(job.RowSelected(0));
    EXPECT_EQ(job.NextSelectedRow(0), 0u);
}

TEST_F(HashJobTest, AMixedFileVerifiedAsMd5FailsTheSha1Lines) {
    std::string a = Write("a", 10, 1);
    std::string b = Write("b", 10, 2);
    test::WriteFileBytes(path("md5sums"), test::DigestOfBytes(HashAlgorithm::Md5, a) + "  a\n" +
                                              test::DigestOfBytes(HashAlgorithm::Sha1, b) +
                                              "  b\n");
    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(HashRequest{HashMode::Verify, 'm', root(), {"md5sums"}}, false),
              HashStartResult::Started);
    runner_.RunUntilDone(job);
    EXPECT_EQ(job.CountsLine(), "1 Good  0 Unknown  1 Bad");
    EXPECT_EQ(job.DigestColumnText(1), kMatchFailText);
    // Only computed sums are saved.
    EXPECT_FALSE(job.SaveSumsFile(path("again"), SumsLayout::HashRelative, true));
    EXPECT_FALSE(test::FileExists(path("again")));
}

TEST_F(HashJobTest, TheVerifyAsChoiceDecidesBetweenSha512AndWhirlpool) {
    std::string bytes = Write("iso", 3000, 5);
    test::WriteFileBytes(path("sums"),
                         test::DigestOfBytes(HashAlgorithm::Whirlpool, bytes) + "  iso\n");
    HashJob asFile(heap_, runner_);
    ASSERT_EQ(asFile.Start(HashRequest{HashMode::Verify, 0, root(), {"sums"}}, false),
              HashStartResult::Started);
    EXPECT_EQ(asFile.algorithm(), HashAlgorithm::Sha512);
    runner_.RunUntilDone(asFile);
    EXPECT_EQ(asFile.CountsLine(), "0 Good  0 Unknown  1 Bad");

    HashJobRunner runner;
    HashJob asWhirlpool(heap_, runner);
    ASSERT_EQ(asWhirlpool.Start(HashRequest{HashMode::Verify, 'w', root(), {"sums"}}, false),
              HashStartResult::Started);
    runner.RunUntilDone(asWhirlpool);
    EXPECT_EQ(asWhirlpool.CountsLine(), "1 Good  0 Unknown  0 Bad");
    EXPECT_EQ(asWhirlpool.Title(), "Qvex Whirlpool Sum Verify");
    EXPECT_EQ(asWhirlpool.SummaryLine(),
              Summary(1, "Whirlpool", 3000, "verified", asWhirlpool.elapsedMilliseconds()));
}

TEST_F(HashJobTest, NothingToHashShowsTheEmptyState) {
    test::WriteFileBytes(path("md5sums"), "no digests here\n");
    HashJob verify(heap_, runner_);
    EXPECT_EQ(verify.Start(HashRequest{HashMode::Verify, 0, root(), {"md5sums"}}, true),
              HashStartResult::NothingToHash);
    EXPECT_EQ(verify.state(), HashJobState::Empty);
    EXPECT_EQ(verify.workerCount(), 0);
    EXPECT_EQ(verify.rowCount(), 1u);
    EXPECT_EQ(verify.DigestColumnText(0), ">>> NO hash sums found <<<");
    EXPECT_EQ(verify.FileColumnText(0), "");
    EXPECT_EQ(verify.SummaryLine(), "NO hash sums verified");
    EXPECT_EQ(verify.CountsLine(), "");
    EXPECT_EQ(verify.Title(), "Qvex (NO hash) Sum Verify");
    EXPECT_FALSE(verify.NextSelectedRow(std::nullopt).has_value());

    Write("a", 1, 1);
    HashJob compute(heap_, runner_);
    EXPECT_EQ(compute.Start(Compute('?', {"a"}), true), HashStartResult::NothingToHash);
    EXPECT_EQ(compute.SummaryLine(), "NO hash sums computed");
}

TEST_F(HashJobTest, CancelAbandonsTheCurrentFileAtItsNextReport) {
    Write("big", 12 * 1048576, 1);
    Write("small1", 10, 2);
    Write("small2", 10, 3);
    HashJob job(heap_, runner_);
    std::vector<int> reports;
    job.SetReportHookForTesting([&](int worker, int value) {
        EXPECT_EQ(worker, 0);
        reports.push_back(value);
        if (value == 42) {
            job.Cancel();
        }
    });
    ASSERT_EQ(job.Start(Compute('m', {"big", "small1", "small2"}), false),
              HashStartResult::Started);
    runner_.RunUntilDone(job);
    EXPECT_EQ(job.state(), HashJobState::Stopped);
    EXPECT_EQ(reports, (std::vector<int>{kProgressBusy, 42}));
    EXPECT_EQ(job.doneCount(), 1u);
    EXPECT_EQ(job.unknownCount(), 1u);
    EXPECT_EQ(job.DigestColumnText(0), "?");
    EXPECT_EQ(job.SummaryLine(), "");
    // The worker's digit is free again.
    HashJobRunner runner;
    HashJob next(heap_, runner);
    ASSERT_EQ(next.Start(Compute('m', {"small1"}), false), HashStartResult::Started);
    EXPECT_EQ(next.workerDigit(0), 0);
    runner.RunUntilDone(next);
    EXPECT_EQ(next.state(), HashJobState::Finished);
}

// Jobs running at once take their own topic digits and never read each other's results.
TEST_F(HashJobTest, JobsRunningAtOnceKeepApartUntilNoDigitIsLeft) {
    std::vector<std::string> names;
    std::map<std::string, std::string> md5, sha1;
    for (int i = 0; i < 4; ++i) {
        names.push_back("f" + std::to_string(i));
        std::string bytes = Write(names.back(), 100, static_cast<uint32_t>(i));
        md5[names.back()] = test::DigestOfBytes(HashAlgorithm::Md5, bytes);
        sha1[names.back()] = test::DigestOfBytes(HashAlgorithm::Sha1, bytes);
    }
    HashJobRunner runner1, runner2, runner3;
    HashJob first(heap_, runner1), second(heap_, runner2), third(heap_, runner3);
    ASSERT_EQ(first.Start(Compute('m', names), true, 8), HashStartResult::Started);
    ASSERT_EQ(second.Start(Compute('s', names), true, 8), HashStartResult::Started);
    EXPECT_EQ(first.workerDigit(3), 3);
    EXPECT_EQ(second.workerDigit(0), 4);
    EXPECT_EQ(second.workerDigit(3), 7);
    EXPECT_EQ(third.Start(Compute('m', names), true, 8), HashStartResult::Busy);
    EXPECT_EQ(third.state(), HashJobState::Stopped);
    runner2.RunUntilDone(second);
    runner1.RunUntilDone(first);
    EXPECT_EQ(Results(first), md5);
    EXPECT_EQ(Results(second), sha1);
}

TEST_F(HashJobTest, ForeignMessagesOnTheResultsTopicAreIgnored) {
    std::string a = Write("a", 100, 1);
    std::string b = Write("b", 100, 2);
    HashJob job(heap_, runner_);
    int reports = 0;
    job.SetReportHookForTesting([&](int, int) {
        // Before the second file's result: a short message, an index out of range, a second
        // result for the first file and a message of the wrong size.
        if (++reports == 3) {
            uint8_t junk[80] = {};
            uint32_t index = 999;
            std::memcpy(junk, &index, 4);
            (void)heap_.Publish("Hw0", junk, 3);
            (void)heap_.Publish("Hw0", junk, 4);
            (void)heap_.Publish("Hw0", junk, 12 + 16);
            index = 0;
            std::memcpy(junk, &index, 4);
            (void)heap_.Publish("Hw0", junk, 4);
            (void)heap_.Publish("Hw0", junk, 12 + 16);
            (void)heap_.Publish("Hw0", junk, 12 + 20);
        }
    });
    ASSERT_EQ(job.Start(Compute('m', {"a", "b"}), false), HashStartResult::Started);
    runner_.RunUntilDone(job);
    EXPECT_EQ(job.state(), HashJobState::Finished);
    EXPECT_EQ(Results(job), (std::map<std::string, std::string>{
                                {"a", test::DigestOfBytes(HashAlgorithm::Md5, a)},
                                {"b", test::DigestOfBytes(HashAlgorithm::Md5, b)}}));
    EXPECT_EQ(job.unknownCount(), 0u);
    EXPECT_EQ(job.totalBytes(), 200u);
}

TEST_F(HashJobTest, AResultLostOnAFullHeapEndsAsUnknown) {
    std::string a = Write("a", 100, 1);
    Write("b", 100, 2);
    std::string c = Write("c", 100, 3);
    std::vector<HeapRef> taken;
    HashJob job(heap_, runner_);
    int reports = 0;
    job.SetReportHookForTesting([&](int, int) {
        ++reports;
        if (reports == 4) {
            // The last report of "b": nothing can be published until the next file starts.
            for (uint32_t sizeClass : {11u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 12u, 13u}) {
                for (HeapRef ref; (ref = heap_.Allocate(sizeClass, 1)) != 0;) {
                    taken.push_back(ref);
                }
            }
        } else if (reports == 5) {
            for (HeapRef ref : taken) {
                heap_.Free(ref);
            }
            taken.clear();
        }
    });
    ASSERT_EQ(job.Start(Compute('m', {"a", "b", "c"}), false), HashStartResult::Started);
    runner_.RunUntilDone(job);
    EXPECT_EQ(job.state(), HashJobState::Finished);
    EXPECT_EQ(Results(job), (std::map<std::string, std::string>{
                                {"a", test::DigestOfBytes(HashAlgorithm::Md5, a)},
                                {"b", ""},
                                {"c", test::DigestOfBytes(HashAlgorithm::Md5, c)}}));
    EXPECT_EQ(job.unknownCount(), 1u);
}

TEST_F(HashJobTest, AWorkerWaitsWhileItsResultsPileUp) {
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back("t" + std::to_string(i));
        Write(names.back(), 3, static_cast<uint32_t>(i));
    }
    QueueId spy = heap_.OpenQueue("^Hw0$");
    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(Compute('m', names), false), HashStartResult::Started);
    // Nobody drains: the worker stops at 256 waiting results.
    for (int waited = 0; heap_.PendingCount(spy) < 256 && waited < 3000; ++waited) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(heap_.PendingCount(spy), 256u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(heap_.PendingCount(spy), 256u);
    runner_.RunUntilDone(job);
    EXPECT_EQ(job.state(), HashJobState::Finished);
    EXPECT_EQ(job.doneCount(), 300u);
    EXPECT_EQ(job.unknownCount(), 0u);
    EXPECT_EQ(heap_.PendingCount(spy), 300u);
}

TEST_F(HashJobTest, SortingByDigestSelectsDuplicates) {
    std::string same = test::PatternBytes(500, 9);
    test::WriteFileBytes(path("b"), same);
    test::WriteFileBytes(path("d"), same);
    Write("a", 500, 1);
    Write("c", 500, 2);
    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(Compute('m', {"d", "c", "missing1", "b", "a", "missing2"}), false),
              HashStartResult::Started);
    runner_.RunUntilDone(job);
    ASSERT_EQ(job.unknownCount(), 2u);

    job.SortByColumn(0);
    std::vector<std::string> files;
    std::vector<std::string> selected;
    for (size_t row = 0; row < job.rowCount(); ++row) {
        files.push_back(job.FileColumnText(row));
        if (job.RowSelected(row)) {
            selected.push_back(job.FileColumnText(row));
        }
    }
    // Empty results first (stable: in list order), then by digest.
    EXPECT_EQ(files[0], "missing1");
    EXPECT_EQ(files[1], "missing2");
    // Files without a digest are not duplicates of each other.
    EXPECT_EQ(selected.size(), 2u);
    EXPECT_TRUE(std::find(selected.begin(), selected.end(), "b") != selected.end());
    EXPECT_TRUE(std::find(selected.begin(), selected.end(), "d") != selected.end());
    for (size_t row = 3; row < job.rowCount(); ++row) {
        EXPECT_LE(job.entry(job.EntryOfRow(row - 1)).result, job.entry(job.EntryOfRow(row)).result);
    }

    job.SortByColumn(1);
    files.clear();
    for (size_t row = 0; row < job.rowCount(); ++row) {
        files.push_back(job.FileColumnText(row));
    }
    EXPECT_EQ(files, (std::vector<std::string>{"a", "b", "c", "d", "missing1", "missing2"}));
    EXPECT_TRUE(job.RowSelected(1));
    EXPECT_TRUE(job.RowSelected(3));
    EXPECT_EQ(job.NextSelectedRow(std::nullopt), 1u);
    EXPECT_EQ(job.NextSelectedRow(1), 3u);
    EXPECT_EQ(job.NextSelectedRow(3), 1u);
    // An unknown column changes nothing.
    job.SortByColumn(5);
    EXPECT_EQ(job.FileColumnText(0), "a");
}

class SaveTest : public HashJobTest {
  protected:
    void RunCompute(HashJob& job, int letter) {
        a_ = Write("a.txt", 100, 1);
        b_ = Write("sub/b c.txt", 200, 2);
        ASSERT_EQ(job.Start(Compute(letter, {"a.txt", "sub", "missing"}), false),
                  HashStartResult::Started);
        runner_.RunUntilDone(job);
        ASSERT_EQ(job.state(), HashJobState::Finished);
    }

    std::string a_, b_;
};

TEST_F(SaveTest, TheFourLayoutsWithEitherSeparator) {
    HashJob job(heap_, runner_);
    RunCompute(job, 'm');
    std::string da = test::DigestOfBytes(HashAlgorithm::Md5, a_);
    std::string db = test::DigestOfBytes(HashAlgorithm::Md5, b_);
    std::string base = root() + "/";
    std::string backBase = base;
    std::replace(backBase.begin(), backBase.end(), '/', '\\');
    struct Row {
        SumsLayout layout;
        bool slash;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {SumsLayout::HashRelative, true, da + "  a.txt\n" + db + "  sub/b c.txt\n"},
        {SumsLayout::HashRelative, false, da + "  a.txt\n" + db + "  sub\\b c.txt\n"},
        {SumsLayout::TagRelative, true,
         "MD5 (a.txt) = " + da + "\nMD5 (sub/b c.txt) = " + db + "\n"},
        {SumsLayout::HashAbsolute, true,
         da + "  " + base + "a.txt\n" + db + "  " + base + "sub/b c.txt\n"},
        {SumsLayout::HashAbsolute, false,
         da + "  " + backBase + "a.txt\n" + db + "  " + backBase + "sub\\b c.txt\n"},
        {SumsLayout::TagAbsolute, true,
         "MD5 (" + base + "a.txt) = " + da + "\nMD5 (" + base + "sub/b c.txt) = " + db + "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        std::string out = path("out/md5sums");
        std::filesystem::create_directories(path("out"));
        ASSERT_TRUE(job.SaveSumsFile(out, row.layout, row.slash));
        EXPECT_EQ(test::ReadFileBytes(out), row.expected);
    }
    EXPECT_EQ(job.ProposedSumsFileName(), "md5sums");
}

TEST_F(SaveTest, WhirlpoolHasOnlyTheUntaggedLayouts) {
    HashJob job(heap_, runner_);
    RunCompute(job, 'w');
    EXPECT_FALSE(job.ProposedSumsFileName().has_value());
    EXPECT_FALSE(job.SaveSumsFile(path("w1"), SumsLayout::TagRelative, true));
    EXPECT_FALSE(job.SaveSumsFile(path("w2"), SumsLayout::TagAbsolute, true));
    EXPECT_FALSE(test::FileExists(path("w1")));
    EXPECT_FALSE(test::FileExists(path("w2")));
    ASSERT_TRUE(job.SaveSumsFile(path("w3"), SumsLayout::HashRelative, true));
    EXPECT_EQ(test::ReadFileBytes(path("w3")),
              test::DigestOfBytes(HashAlgorithm::Whirlpool, a_) + "  a.txt\n" +
                  test::DigestOfBytes(HashAlgorithm::Whirlpool, b_) + "  sub/b c.txt\n");
}

TEST_F(SaveTest, AnUnwritablePlaceWritesNothingAndKeepsTheJob) {
    HashJob job(heap_, runner_);
    RunCompute(job, '3');
    std::map<std::string, std::string> before = Results(job);
    std::string summary = job.SummaryLine();
    // Below a regular file nothing can be created, whoever runs the test.
    EXPECT_FALSE(job.SaveSumsFile(path("a.txt/sha2sums"), SumsLayout::HashRelative, true));
    EXPECT_FALSE(job.SaveSumsFile(path("no/such/folder/sha2sums"), SumsLayout::TagRelative, true));
    EXPECT_FALSE(test::FileExists(path("no")));
    EXPECT_EQ(test::ReadFileBytes(path("a.txt")), a_);
    EXPECT_EQ(job.state(), HashJobState::Finished);
    EXPECT_EQ(Results(job), before);
    EXPECT_EQ(job.SummaryLine(), summary);
    EXPECT_TRUE(job.SaveSumsFile(path("sha2sums"), SumsLayout::HashRelative, true));
}

TEST_F(SaveTest, SettingsGiveTheWorkerCountAndKeepTheSeparatorChoice) {
    test::TempEnv env;
    platform::RegistryFile registry(env.path("registry.reg"));
    Settings settings(registry);
    settings.SetInt(kPerCpuSetting, 0);
    Write("x", 10, 1);
    Write("y", 10, 2);
    HashJob job(heap_, runner_);
    ASSERT_EQ(job.Start(Compute('m', {"x", "y"}), settings), HashStartResult::Started);
    EXPECT_EQ(job.workerCount(), 1);
    runner_.RunUntilDone(job);

    settings.SetInt(kSlashSeparatorSetting, 1);
    ASSERT_TRUE(job.SaveSumsFile(path("md5sums"), SumsLayout::HashAbsolute, settings, false));
    EXPECT_EQ(settings.GetInt(kSlashSeparatorSetting), 0);
    EXPECT_EQ(test::ReadFileBytes(path("md5sums")).find('/'), std::string::npos);

    settings.SetInt(kPerCpuSetting, 1);
    HashJobRunner runner;
    HashJob perCpu(heap_, runner);
    ASSERT_EQ(perCpu.Start(Compute('m', {"x", "y"}), settings), HashStartResult::Started);
    EXPECT_EQ(perCpu.workerCount(),
              HashWorkerCount(2, true, std::max(1u, std::thread::hardware_concurrency())));
    runner.RunUntilDone(perCpu);
}

// One file shrinks while it is hashed (Bad), the next is removed before its turn (Unknown).
TEST_F(HashJobTest, FilesChangingUnderTheWorker) {
    std::string shrinks = Write("shrinks", 12 * 1048576, 4);
    std::string gone = Write("gone", 10, 5);
    test::WriteFileBytes(path("md5sums"),
                         test::DigestOfBytes(HashAlgorithm::Md5, shrinks) + "  shrinks\n" +
                             test::DigestOfBytes(HashAlgorithm::Md5, gone) + "  gone\n");
    HashJob job(heap_, runner_);
    job.SetReportHookForTesting([&](int, int value) {
        if (value > 0 && value < 100) {
            std::filesystem::resize_file(path("shrinks"), 1000);
            std::filesystem::remove(path("gone"));
        }
    });
    ASSERT_EQ(job.Start(HashRequest{HashMode::Verify, 0, root(), {"md5sums"}}, false),
              HashStartResult::Started);
    runner_.RunUntilDone(job);
    EXPECT_EQ(job.CountsLine(), "0 Good  1 Unknown  1 Bad");
    EXPECT_EQ(job.totalBytes(), kProgressCheckBytes);
}

}  // namespace
}  // namespace qvex
