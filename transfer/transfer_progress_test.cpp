// Progress of transfers as the windows see it: the "AppProgress" records and the "Xfer"
// byte counts on the message bus.
#include "transfer/transfer_progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "engine/session_worker.h"
#include "tests/support/log_capture.h"
#include "util/posix_regex.h"

namespace qvex {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kGiB = kKiB * kKiB * kKiB;

TEST(ProgressRecord, ExactTexts) {
    struct Row {
        int64_t value;
        const char* displayTemplate;
        const char* record;
    };
    const Row rows[] = {
        {50, "GET a.zip (%d%%)", "<AP><ap pc=\"50\" fmt=\"GET a.zip (%d%%)\" /></AP>"},
        {100, "GET a.zip (%d%%)", "<AP><ap pc=\"100\" fmt=\"GET a.zip (%d%%)\" /></AP>"},
        // Kilobyte counts past 100 wrap: 250 KB shows as 50.
        {250, "GET a.zip (%dKB)", "<AP><ap pc=\"50\" fmt=\"GET a.zip (%dKB)\" /></AP>"},
        {101, "PUT b (%d%%)", "<AP><ap pc=\"1\" fmt=\"PUT b (%d%%)\" /></AP>"},
        {200, "x", "<AP><ap pc=\"0\" fmt=\"x\" /></AP>"},
        // Attribute text: a quote or a bracket of a name cannot end the attribute or record.
        {5, "GET \"a\" <b> & c (%d%%)",
         "<AP><ap pc=\"5\" fmt=\"GET &quot;a&quot; &lt;b&gt; &amp; c (%d%%)\" /></AP>"},
        {0, nullptr, "<AP><ap pc=\"0\" /></AP>"},
        {7, nullptr, "<AP><ap pc=\"7\" /></AP>"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.record);
        EXPECT_EQ(progressRecord(row.value, row.displayTemplate), row.record);
    }
}

// The main window's side: its pattern finds the record's parts, the attribute text is read
// back, and formatting the template with the value shows the name exactly as it is.
TEST(ProgressRecord, NamesWithQuotesPercentsAndBracketsSurviveTheWindow) {
    const PosixRegex pattern("<AP><ap pc=\"([^\"]+)\"(?: fmt=\"([^\"]+)\")? /></AP>");
    ASSERT_TRUE(pattern.compiled());
    auto fromAttribute = [](std::string text) {
        for (const auto& [entity, plain] : {std::pair<std::string, std::string>{"&quot;", "\""},
                                            {"&lt;", "<"},
                                            {"&gt;", ">"},
                                            {"&amp;", "&"}}) {
            for (size_t at = text.find(entity); at != std::string::npos;
                 at = text.find(entity, at + plain.size())) {
                text.replace(at, entity.size(), plain);
            }
        }
        return text;
    };
    for (const char* name : {"100%.zip", "%s%n%d.txt", "a \"b\".txt", "<AP>", "x&quot;y",
                             "\" /></AP>", "%", "&amp;&"}) {
        SCOPED_TRACE(name);
        const std::string record =
            progressRecord(250, progressTemplate("GET ", name, " (%dKB)").c_str());
        const auto parts = pattern.Search(record);
        ASSERT_EQ(parts.size(), 3u) << record;
        ASSERT_EQ(parts[0], record);
        EXPECT_EQ(parts[1], "50");
        ASSERT_TRUE(parts[2].has_value());
        const std::string displayTemplate = fromAttribute(*parts[2]);
        char shown[256];
        std::snprintf(shown, sizeof shown, displayTemplate.c_str(), 50);
        EXPECT_EQ(std::string(shown), "GET " + std::string(name) + " (50KB)");
    }
    EXPECT_EQ(progressTemplate("PUT ", "5%", " (%d%%)"), "PUT 5%% (%d%%)");
}

TEST(ProgressValue, PercentNeverAboveHundredKilobytesWhenTheSizeIsUnknown) {
    struct Row {
        uint64_t count;
        int64_t expected;
        int64_t value;
    };
    const Row rows[] = {
        {0, 100, 0},
        {50, 100, 50},
        {1, 3, 33},
        {2, 3, 66},
        {100, 100, 100},
        {150, 100, 100},                                  // more data than the listing said
        {5 * kGiB, static_cast<int64_t>(10 * kGiB), 50},  // counts past 32 bits
        {kGiB - 1, static_cast<int64_t>(kGiB), 99},
        // Unknown size: kilobytes, whole ones only.
        {0, -1, 0},
        {1023, -1, 0},
        {1024, -1, 1},
        {250 * kKiB, -1, 250},
        {5 * kGiB, -1, 5 * 1024 * 1024},
        // A listed size of 0: nothing is 0, anything that arrives is all of it.
        {0, 0, 0},
        {5, 0, 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.count) + " of " + std::to_string(row.expected));
        EXPECT_EQ(progressValue(row.count, row.expected), row.value);
    }
}

TEST(ProgressValue, SucceededReadsTheHundredsDigitOfEitherSign) {
    for (int code : {200, 226, 257, 299, -226, -250}) {
        EXPECT_TRUE(succeeded(code)) << code;
    }
    for (int code : {0, 150, 199, 300, 350, 421, 550, 599, -599, -421}) {
        EXPECT_FALSE(succeeded(code)) << code;
    }
}

class Announcements : public SessionObserver {
  public:
    void OnTransferStarted(uint32_t tick) override { starts.push_back(tick); }
    void OnTransferProgress(uint32_t) override { ++steps; }
    void OnOutcome(uint32_t bits) override { outcome |= bits; }
    std::vector<uint32_t> starts;
    int steps = 0;
    uint32_t outcome = 0;
};

// The host page's side of "Xfer": every count published, as 64-bit numbers.
class ByteCounts : public ::testing::Test {
  public:
    void SetUp() override {
        host = capture.heap().OpenQueue("^Xfer$");
        session.observer = &announced;
    }
    std::vector<int64_t> Published() {
        std::vector<int64_t> counts;
        while (capture.heap().PendingCount(host) > 0) {
            char topic[16];
            uint32_t topicLength = sizeof topic;
            int32_t pair[2] = {};
            EXPECT_EQ(capture.heap().ReceiveIntPair(host, topic, &topicLength, pair), kWantBoth);
            counts.push_back(
                static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(pair[0])) |
                                     static_cast<uint64_t>(static_cast<uint32_t>(pair[1])) << 32));
        }
        return counts;
    }
    // Reports `total` bytes in blocks of `block`, as a transfer loop does.
    std::vector<int64_t> Run(int64_t total, uint64_t block, uint64_t until) {
        ByteProgress progress(session);
        progress.progressStart(total, 1234);
        for (uint64_t count = block; count <= until; count += block) {
            progress.progressReport(count);
        }
        return Published();
    }

    test::LogCapture capture;
    QueueId host = 0;
    SessionWorker session;
    Announcements announced;
};

// A fast transfer of 1 GiB is told in about a hundred messages, whatever the block size.
TEST_F(ByteCounts, AGigabyteIsToldInAboutAHundredMessagesForAnyBlockSize) {
    for (uint64_t block : {4 * kKiB, 16 * kKiB, 64 * kKiB}) {
        SCOPED_TRACE(block);
        announced = Announcements();
        std::vector<int64_t> counts = Run(static_cast<int64_t>(kGiB), block, kGiB);
        ASSERT_FALSE(counts.empty());
        EXPECT_EQ(counts.front(), static_cast<int64_t>(kGiB)) << "the total comes first";
        EXPECT_GE(counts.size(), 96u);
        EXPECT_LE(counts.size(), 101u);
        for (size_t index = 2; index < counts.size(); ++index) {
            EXPECT_GE(counts[index] - counts[index - 1], static_cast<int64_t>(kGiB / 100));
        }
        EXPECT_EQ(announced.starts, std::vector<uint32_t>{1234});
        EXPECT_EQ(static_cast<size_t>(announced.steps), counts.size() - 1);
    }
}

TEST_F(ByteCounts, TotalsAndStepsForLargeUnknownAndListingSizes) {
    std::vector<int64_t> counts = Run(static_cast<int64_t>(5 * kGiB), kKiB, 0);
    EXPECT_EQ(counts, std::vector<int64_t>{static_cast<int64_t>(5 * kGiB)})
        << "the high half of the total";

    // Unknown size: -1, then a count for each MiB.
    counts = Run(-1, 16 * kKiB, 8 * kKiB * kKiB);
    ASSERT_EQ(counts.size(), 9u);
    EXPECT_EQ(counts[0], -1);
    EXPECT_EQ(counts[1], static_cast<int64_t>(kKiB * kKiB));
    EXPECT_EQ(counts[8], static_cast<int64_t>(8 * kKiB * kKiB));

    // A small file: every report a step of at least 64 KiB apart.
    counts = Run(100 * static_cast<int64_t>(kKiB), 16 * kKiB, 100 * kKiB);
    EXPECT_EQ(counts, (std::vector<int64_t>{100 * static_cast<int64_t>(kKiB),
                                            64 * static_cast<int64_t>(kKiB)}));

    // A listing publishes 0 and then counts its own step apart.
    ByteProgress listing(session);
    listing.progressStart(0, 1, ByteProgress::kListingStep);
    EXPECT_EQ(listing.displayStep(), ByteProgress::kListingStep);
    listing.progressReport(ByteProgress::kListingStep - 1);
    listing.progressReport(ByteProgress::kListingStep);
    EXPECT_EQ(Published(),
              (std::vector<int64_t>{0, static_cast<int64_t>(ByteProgress::kListingStep)}));
}

TEST_F(ByteCounts, AStartBeginsCountingFromZeroAgain) {
    ByteProgress progress(session);
    progress.progressStart(static_cast<int64_t>(kGiB), 1);
    progress.progressReport(kGiB / 2);
    EXPECT_EQ(session.meter.position.load(), kGiB / 2);
    progress.progressStart(static_cast<int64_t>(kGiB), 2);
    EXPECT_EQ(session.meter.position.load(), 0u) << "the meter starts the new transfer at 0";
    EXPECT_EQ(session.meter.starts.load(), 2u);
    progress.progressReport(kGiB / 50);
    // The meter takes every count, also those too close to the last one to be published.
    progress.progressReport(kGiB / 50 + 1);
    EXPECT_EQ(session.meter.position.load(), kGiB / 50 + 1);
    EXPECT_EQ(session.meter.size.load(), static_cast<int64_t>(kGiB));
    EXPECT_EQ(Published(),
              (std::vector<int64_t>{static_cast<int64_t>(kGiB), static_cast<int64_t>(kGiB / 2),
                                    static_cast<int64_t>(kGiB), static_cast<int64_t>(kGiB / 50)}));
    EXPECT_EQ(announced.starts, (std::vector<uint32_t>{1, 2}));
    progress.progressStart(-1, 3);
    EXPECT_EQ(session.meter.size.load(), -1) << "an unknown size";
    EXPECT_EQ(session.meter.position.load(), 0u);
}

TEST_F(ByteCounts, OutcomeBitsGoToTheObserver) {
    reportOutcome(session, kOutcomeDownloaded);
    reportOutcome(session, kOutcomeUploadFailed);
    EXPECT_EQ(announced.outcome, kOutcomeDownloaded | kOutcomeUploadFailed);
    session.observer = nullptr;
    reportOutcome(session, kOutcomeDownloadFailed);  // no observer: nothing to tell
    EXPECT_EQ(announced.outcome, kOutcomeDownloaded | kOutcomeUploadFailed);
}

}  // namespace
}  // namespace qvex
