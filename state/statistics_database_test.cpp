#include "state/statistics_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/child_process.h"
#include "tests/support/peer_program.h"
#include "tests/support/temp_env.h"
#include "util/format.h"

namespace qvex {
namespace {

constexpr auto kPeerPatience = std::chrono::seconds(60);

uint32_t WordAt(const std::string& bytes, size_t offset) {
    uint32_t word = 0;
    for (size_t i = 4; i-- > 0;) {
        word = word << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    }
    return word;
}

void PutWord(std::string& bytes, size_t offset, uint32_t word) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<char>(word >> (8 * i) & 0xFF);
    }
}

std::string RecordOf(const std::string& bytes, int number) {
    return bytes.substr(static_cast<size_t>(number) * 256, 256);
}

// Whole files differ in a few bytes at most: report where, not all 8192 bytes.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at " << at;
}

// An empty one-block file as a new copy writes it.
std::string FreshImage() {
    std::string bytes(8192, '\0');
    bytes.replace(0, 26, "Qvex PRO Statistics Data\r\n");
    bytes[32] = 1;
    bytes[36] = 1;
    return bytes;
}

// A valid file of `blocks` blocks whose records 1 .. hosts are in use, keyed "h<number>".
std::string ImageWithHosts(uint32_t blocks, int hosts) {
    std::string bytes = FreshImage();
    bytes.resize(blocks * 8192, '\0');
    PutWord(bytes, 32, blocks);
    for (int number = 1; number <= hosts; ++number) {
        const auto index = static_cast<size_t>(number);
        PutWord(bytes, 36 + 4 * (index / 32),
                WordAt(bytes, 36 + 4 * (index / 32)) | uint32_t{1} << (index % 32));
        const std::string key = "h" + std::to_string(number);
        bytes.replace(index * 256, key.size(), key);
    }
    return bytes;
}

// The helper program as a second running copy, as in the restart file's tests.
class Peer : public test::PeerProgram {
  public:
    Peer(const test::TempEnv& env, const std::string& name)
        : PeerProgram(QVEX_STATS_DB_PEER, env.path(name + ".out"), kPeerPatience) {}
};

class StatisticsDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetNumberSeparatorsForTesting('.', ',');
        settings_.SetInt("Statistics", 1);
    }

    std::string Folder() const { return env_.root() + "/"; }
    std::string FilePath() const { return env_.path("QvexSdb.dat"); }
    std::string File() const { return test::ReadFileBytes(FilePath()); }
    void WriteImage(const std::string& bytes) const { test::WriteFileBytes(FilePath(), bytes); }
    std::string Go(const std::string& name) const { return env_.path("go-" + name); }
    void Release(const std::string& name) const { test::WriteFileBytes(Go(name), ""); }

    test::TempEnv env_;
    platform::RegistryFile registry_{env_.path("registry.reg")};
    Settings settings_{registry_};
};

// --- packing ---

TEST(PackedTimeTest, FieldsSitInTheirBits) {
    struct Row {
        int year;
        unsigned month, day, hour, minute, second;
        uint32_t packed;
    };
    const Row rows[] = {
        {2003, 1, 1, 0, 0, 0, 0x00420000},      {2009, 1, 1, 0, 0, 0, 0x18420000},
        {2024, 5, 17, 13, 45, 30, 0x5562DB5E},  {2066, 12, 31, 23, 59, 59, 0xFF3F7EFB},
        {2067, 1, 1, 0, 0, 0, 0x00420000},  // 64 years after 2003: the year field wraps
        {2002, 12, 31, 23, 59, 59, 0xFF3F7EFB},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.year);
        EXPECT_EQ(PackUtcTime(row.year, row.month, row.day, row.hour, row.minute, row.second),
                  row.packed);
    }
    using namespace std::chrono;
    const sys_seconds when = sys_days{2024y / May / 17} + 13h + 45min + 30s;
    EXPECT_EQ(PackUtcTime(when + 700ms), 0x5562DB5Eu);
}

TEST(HostStatisticsPackingTest, WidthsAndSplitTotals) {
    HostStatistics statistics{0x5562DB5E, 7, 9, 0x123456789AB, 0x2FFFFFFFFFF};
    std::string record(256, '\0');
    PackHostStatistics(statistics, record.data());
    EXPECT_EQ(WordAt(record, 236), 0x5562DB5Eu);
    EXPECT_EQ(WordAt(record, 240), 7u | 0x2FFu << 22);
    EXPECT_EQ(WordAt(record, 244), 9u | 0x123u << 22);
    EXPECT_EQ(WordAt(record, 248), 0x456789ABu);
    EXPECT_EQ(WordAt(record, 252), 0xFFFFFFFFu);
    EXPECT_EQ(record.substr(0, 236), std::string(236, '\0'));
    EXPECT_EQ(UnpackHostStatistics(record.data()), statistics);

    // Values beyond their widths never spill into a neighbouring field.
    PackHostStatistics({1, 5000000, 4194304, uint64_t{1} << 50, ~uint64_t{0}}, record.data());
    EXPECT_EQ(UnpackHostStatistics(record.data()),
              (HostStatistics{1, kStatisticsMaxCount, kStatisticsMaxCount, kStatisticsMaxTotal,
                              kStatisticsMaxTotal}));
    EXPECT_EQ(WordAt(record, 240), 0xFFFFFFFFu);
    EXPECT_EQ(WordAt(record, 244), 0xFFFFFFFFu);
}

TEST(HostStatisticsPackingTest, SumsStopAtTheLargestValue) {
    const HostStatistics stored{11, kStatisticsMaxCount - 1, 3, kStatisticsMaxTotal - 1, 100};
    const HostStatistics sum = AddHostStatistics(stored, {0, 2, 4, 2, kStatisticsMaxTotal});
    EXPECT_EQ(sum, (HostStatistics{11, kStatisticsMaxCount, 7, kStatisticsMaxTotal,
                                   kStatisticsMaxTotal}));
    EXPECT_EQ(AddHostStatistics(stored, {22, 0, 0, 0, 0}).lastConnect, 22u);
}

// --- the file ---

TEST_F(StatisticsDatabaseTest, NewFileIsOneEmptyBlock) {
    StatisticsDatabase database(Folder(), settings_);
    EXPECT_EQ(database.filePath(), FilePath());
    EXPECT_EQ(database.lockPath(), env_.path("QvexSMap"));
    EXPECT_FALSE(database.isOpen());
    ASSERT_TRUE(database.OpenStatisticsDatabase());
    EXPECT_TRUE(SameBytes(File(), FreshImage()));
    EXPECT_EQ(database.blockCount(), 1u);
    // 31 free records: a new file never grows at its next opening.
    database.CloseStatisticsDatabase();
    StatisticsDatabase again(env_.root(), settings_);
    ASSERT_TRUE(again.OpenStatisticsDatabase());
    EXPECT_TRUE(SameBytes(File(), FreshImage()));
}

TEST_F(StatisticsDatabaseTest, CountsLandInTheRecordByteForByte) {
    StatisticsDatabase database(Folder(), settings_);
    database.BeginHostStatistics("ftp.example.org");
    EXPECT_EQ(database.currentRecord(), 1);
    database.AccumulateConnect(0x5562DB5E);
    database.CommitHostStatistics();
    EXPECT_EQ(database.pending(), HostStatistics{});
    database.AccumulateTransfer(0x100000000, 1500);
    database.AccumulateTransfer(0x23456789AB - 0x100000000, 0x2FFFFFFFFFF - 1500);
    database.CommitHostStatistics();
    database.CommitHostStatistics();  // nothing gathered: nothing changes

    std::string expected = FreshImage();
    expected[36] = 3;
    std::string record(256, '\0');
    record.replace(0, 15, "ftp.example.org");
    PutWord(record, 236, 0x5562DB5E);
    PutWord(record, 240, 1u | 0x2FFu << 22);
    PutWord(record, 244, 2u | 0x23u << 22);
    PutWord(record, 248, 0x456789AB);
    PutWord(record, 252, 0xFFFFFFFF);
    expected.replace(256, 256, record);
    EXPECT_TRUE(SameBytes(File(), expected));
    EXPECT_EQ(database.ReadHostRecord(1),
              (HostStatistics{0x5562DB5E, 1, 2, 0x23456789AB, 0x2FFFFFFFFFF}));
}

TEST_F(StatisticsDatabaseTest, CountersStopAtTheirWidths) {
    std::string image = ImageWithHosts(1, 1);
    PutWord(image, 256 + 240, (kStatisticsMaxCount - 1) | 0x3FFu << 22);
    PutWord(image, 256 + 244, kStatisticsMaxCount | 0x3FFu << 22);
    PutWord(image, 256 + 248, 0xFFFFFFFE);
    PutWord(image, 256 + 252, 0xFFFFFFFF);
    WriteImage(image);
    StatisticsDatabase database(Folder(), settings_);
    database.BeginHostStatistics("h1");
    ASSERT_EQ(database.currentRecord(), 1);
    database.AccumulateConnect(5);
    database.AccumulateConnect(6);
    database.AccumulateTransfer(100, 100);
    database.CommitHostStatistics();
    const std::string record = RecordOf(File(), 1);
    EXPECT_EQ(WordAt(record, 236), 6u);
    EXPECT_EQ(WordAt(record, 240), 0xFFFFFFFFu);
    EXPECT_EQ(WordAt(record, 244), 0xFFFFFFFFu);
    EXPECT_EQ(WordAt(record, 248), 0xFFFFFFFFu);
    EXPECT_EQ(WordAt(record, 252), 0xFFFFFFFFu);
}

TEST_F(StatisticsDatabaseTest, LookupsShareOneRecordPerKey) {
    StatisticsDatabase database(Folder(), settings_);
    EXPECT_EQ(database.FindHostRecord("alpha", false), 0);
    EXPECT_EQ(database.FindHostRecord("alpha", true), 1);
    EXPECT_EQ(database.FindHostRecord("beta", true), 2);
    EXPECT_EQ(database.FindHostRecord("alpha", true), 1);
    EXPECT_EQ(database.FindHostRecord("ALPHA", false), 0);  // case-sensitive
    EXPECT_EQ(database.FindHostRecord("", true), 0);
    EXPECT_EQ(database.FindHostRecord(std::string_view("alpha\0x", 7), false), 1);

    // A key longer than the field is cut the same way when stored and when looked for.
    const std::string longKey = std::string(300, 'k');
    EXPECT_EQ(database.FindHostRecord(longKey, true), 3);
    EXPECT_EQ(database.FindHostRecord(longKey, false), 3);
    EXPECT_EQ(database.FindHostRecord(longKey.substr(0, 235), false), 3);
    EXPECT_EQ(RecordOf(File(), 3).substr(0, 236), std::string(235, 'k') + '\0');

    database.DeleteHostRecord(1);
    EXPECT_EQ(RecordOf(File(), 1), std::string(256, '\0'));
    EXPECT_EQ(WordAt(File(), 36), 0xDu);
    EXPECT_EQ(database.FindHostRecord("alpha", false), 0);
    EXPECT_EQ(database.FindHostRecord("gamma", true), 1);  // the lowest free record
    database.DeleteHostRecord(0);                          // the header is never deleted
    database.DeleteHostRecord(32);                         // beyond the file
    EXPECT_EQ(WordAt(File(), 36), 0xFu);
}

TEST_F(StatisticsDatabaseTest, CommitFindsTheKeyAgainAfterItsRecordWasDeleted) {
    StatisticsDatabase database(Folder(), settings_);
    StatisticsDatabase other(Folder(), settings_);
    database.BeginHostStatistics("moved.example");
    ASSERT_EQ(database.currentRecord(), 1);
    other.DeleteHostRecord(1);
    EXPECT_EQ(other.FindHostRecord("intruder", true), 1);
    database.AccumulateTransfer(10, 20);
    database.CommitHostStatistics();
    EXPECT_EQ(database.currentRecord(), 2);
    EXPECT_EQ(other.ReadHostRecord(1), HostStatistics{});
    EXPECT_EQ(other.ReadHostRecord(2), (HostStatistics{0, 0, 1, 10, 20}));
}

TEST_F(StatisticsDatabaseTest, FullFileCountsNoNewHost) {
    WriteImage(ImageWithHosts(54, 54 * 32 - 1));
    StatisticsDatabase database(Folder(), settings_);
    ASSERT_TRUE(database.OpenStatisticsDatabase());
    EXPECT_EQ(database.blockCount(), 54u);  // at most 54 blocks
    EXPECT_EQ(File().size(), 54u * 8192);
    database.BeginHostStatistics("newcomer");
    EXPECT_EQ(database.currentRecord(), 0);
    database.AccumulateConnect(1);
    database.CommitHostStatistics();
    EXPECT_TRUE(SameBytes(File(), ImageWithHosts(54, 54 * 32 - 1)));
    EXPECT_EQ(database.FindHostRecord("h1727", false), 1727);
}

TEST_F(StatisticsDatabaseTest, SixteenthHostMakesTheNextLoneOpeningGrow) {
    {
        StatisticsDatabase database(Folder(), settings_);
        for (int n = 1; n <= 15; ++n) {
            ASSERT_EQ(database.FindHostRecord("h" + std::to_string(n), true), n);
        }
    }
    {
        StatisticsDatabase database(Folder(), settings_);
        ASSERT_TRUE(database.OpenStatisticsDatabase());
        EXPECT_EQ(database.blockCount(), 1u);  // 16 records free
        ASSERT_EQ(database.FindHostRecord("h16", true), 16);
        EXPECT_EQ(database.blockCount(), 1u);  // no growth while open
    }
    EXPECT_TRUE(SameBytes(File(), ImageWithHosts(1, 16)));
    StatisticsDatabase database(Folder(), settings_);
    ASSERT_TRUE(database.OpenStatisticsDatabase());
    EXPECT_EQ(database.blockCount(), 2u);
    EXPECT_TRUE(SameBytes(File(), ImageWithHosts(2, 16)));
    for (int n = 17; n <= 31; ++n) {
        ASSERT_EQ(database.FindHostRecord("h" + std::to_string(n), true), n);
    }
    EXPECT_EQ(database.FindHostRecord("next", true), 32);  // the first record of block two
    EXPECT_EQ(WordAt(File(), 40), 1u);
    database.CloseStatisticsDatabase();
    // 31 records free of 63: no further block.
    ASSERT_TRUE(database.OpenStatisticsDatabase());
    EXPECT_EQ(database.blockCount(), 2u);
}

TEST_F(StatisticsDatabaseTest, GrowthCutShortLeavesNoGarbageInTheNewBlock) {
    std::string image = ImageWithHosts(1, 20);
    image.resize(2 * 8192, 'x');  // the size grew but N did not
    WriteImage(image);
    StatisticsDatabase database(Folder(), settings_);
    ASSERT_TRUE(database.OpenStatisticsDatabase());
    EXPECT_EQ(database.blockCount(), 2u);
    EXPECT_TRUE(SameBytes(File(), ImageWithHosts(2, 20)));
}

TEST_F(StatisticsDatabaseTest, OpeningBesideAnotherCopyNeverGrows) {
    WriteImage(ImageWithHosts(1, 20));
    Peer peer(env_, "holder");
    ASSERT_TRUE(peer.Start(Folder(), {"open", "print", "ready", "wait", Go("holder")}));
    ASSERT_EQ(peer.Next("open "), "1");
    ASSERT_EQ(peer.Next("blocks "), "2");  // the peer was alone: it grew the file
    ASSERT_EQ(peer.Next("ready"), "");
    {
        StatisticsDatabase database(Folder(), settings_);
        ASSERT_TRUE(database.OpenStatisticsDatabase());
        EXPECT_EQ(database.blockCount(), 2u);
        for (int n = 21; n <= 48; ++n) {
            ASSERT_EQ(database.FindHostRecord("h" + std::to_string(n), true), n);
        }
        database.CloseStatisticsDatabase();
        ASSERT_TRUE(database.OpenStatisticsDatabase());
        EXPECT_EQ(database.blockCount(), 2u);  // 15 free, but another copy has it open
    }
    Release("holder");
    ASSERT_TRUE(peer.AwaitExit());
    StatisticsDatabase database(Folder(), settings_);
    ASSERT_TRUE(database.OpenStatisticsDatabase());
    EXPECT_EQ(database.blockCount(), 3u);
    EXPECT_EQ(File().size(), 3u * 8192);
}

struct DamagedRow {
    const char* name;
    std::string image;
};

TEST_F(StatisticsDatabaseTest, DamagedFilesAreRebuiltSilently) {
    std::string foreign = ImageWithHosts(1, 3);
    foreign[5] = 'p';
    std::string noBlocks = ImageWithHosts(1, 3);
    PutWord(noBlocks, 32, 0);
    std::string tooMany = ImageWithHosts(1, 3);
    PutWord(tooMany, 32, 55);
    tooMany.resize(55 * 8192, '\0');
    std::string clearBit = ImageWithHosts(1, 3);
    clearBit[36] = 0x0E;
    std::string cutInRecord = ImageWithHosts(2, 40);
    cutInRecord.resize(35 * 256 + 100);  // inside record 35 of block two
    std::string oneBlockShort = ImageWithHosts(2, 40);
    oneBlockShort.resize(8192);
    const DamagedRow rows[] = {
        {"empty", ""},
        {"short", FreshImage().substr(0, 100)},
        {"header only", FreshImage().substr(0, 256)},
        {"foreign text", foreign},
        {"N = 0", noBlocks},
        {"N = 55", tooMany},
        {"bit 0 clear", clearBit},
        {"cut in the middle of a record", cutInRecord},
        {"a block short", oneBlockShort},
        {"not ours at all", std::string(20000, 'Z')},
    };
    for (const DamagedRow& row : rows) {
        SCOPED_TRACE(row.name);
        WriteImage(row.image);
        StatisticsDatabase database(Folder(), settings_);
        EXPECT_EQ(database.FindHostRecord("h3", false), 0);
        EXPECT_TRUE(database.ReadAllHostStatistics().rows.empty());
        EXPECT_EQ(database.blockCount(), 1u);
        EXPECT_TRUE(SameBytes(File(), FreshImage()));
    }
}

TEST_F(StatisticsDatabaseTest, FileCutUnderAnOpenCopyIsNeverReadBeyondItsEnd) {
    WriteImage(ImageWithHosts(2, 40));
    StatisticsDatabase database(Folder(), settings_);
    ASSERT_EQ(database.FindHostRecord("h40", false), 40);
    database.BeginHostStatistics("h40");
    std::filesystem::resize_file(FilePath(), 8192 + 20 * 256 + 17);
    EXPECT_EQ(database.FindHostRecord("h40", false), 0);  // rebuilt
    EXPECT_TRUE(SameBytes(File(), FreshImage()));
    database.AccumulateConnect(9);
    database.CommitHostStatistics();  // the key is recorded again
    EXPECT_EQ(database.ReadHostRecord(1), (HostStatistics{9, 1, 0, 0, 0}));

    std::filesystem::resize_file(FilePath(), 0);
    EXPECT_EQ(database.ReadAllHostStatistics().rows.size(), 0u);
    EXPECT_TRUE(SameBytes(File(), FreshImage()));
}

TEST_F(StatisticsDatabaseTest, NoFolderMeansNoStatistics) {
    StatisticsDatabase database(env_.path("missing/folder/"), settings_);
    EXPECT_FALSE(database.OpenStatisticsDatabase());
    EXPECT_EQ(database.FindHostRecord("a", true), 0);
    database.BeginHostStatistics("a");
    database.AccumulateConnect(1);
    database.CommitHostStatistics();
    EXPECT_EQ(database.currentRecord(), 0);
    EXPECT_TRUE(database.ReadAllHostStatistics().rows.empty());
    EXPECT_FALSE(database.ReadHostRecord(1).has_value());
    database.CloseStatisticsDatabase();
}

// --- closing ---

TEST_F(StatisticsDatabaseTest, ClosingDeletesAnEmptyFileOnlyWithStatisticsOff) {
    {
        StatisticsDatabase database(Folder(), settings_);
        ASSERT_TRUE(database.OpenStatisticsDatabase());
    }
    EXPECT_TRUE(test::FileExists(FilePath()));  // "Statistics" on

    settings_.SetInt("Statistics", 0);
    {
        StatisticsDatabase database(Folder(), settings_);
        ASSERT_EQ(database.FindHostRecord("kept", true), 1);
    }
    EXPECT_TRUE(test::FileExists(FilePath()));  // a host is recorded

    {
        StatisticsDatabase database(Folder(), settings_);
        database.DeleteHostRecord(database.FindHostRecord("kept", false));
        database.CloseStatisticsDatabase();
        EXPECT_FALSE(database.isOpen());
    }
    EXPECT_FALSE(test::FileExists(FilePath()));
}

TEST_F(StatisticsDatabaseTest, ClosingKeepsTheFileWhileAnotherCopyUsesIt) {
    settings_.SetInt("Statistics", 0);
    Peer peer(env_, "user");
    ASSERT_TRUE(peer.Start(Folder(), {"open", "print", "ready", "wait", Go("user")}));
    ASSERT_EQ(peer.Next("ready"), "");
    {
        StatisticsDatabase database(Folder(), settings_);
        ASSERT_TRUE(database.OpenStatisticsDatabase());
    }
    EXPECT_TRUE(test::FileExists(FilePath()));
    Release("user");
    ASSERT_TRUE(peer.AwaitExit());
}

// --- the views ---

TEST_F(StatisticsDatabaseTest, ReportListsStatisticsMaximaAndLines) {
    StatisticsDatabase database(Folder(), settings_);
    database.BeginHostStatistics("a.example");
    for (int n = 0; n < 3; ++n) {
        database.AccumulateConnect(100);
    }
    database.AccumulateTransfer(1048576, 500);
    database.AccumulateTransfer(2097152, 1500);
    database.CommitHostStatistics();
    database.BeginHostStatistics("b.example");
    for (int n = 0; n < 6; ++n) {
        database.AccumulateConnect(200);
    }
    for (int n = 0; n < 4; ++n) {
        database.AccumulateTransfer(250, 250);
    }
    database.CommitHostStatistics();
    database.BeginHostStatistics("idle.example");
    database.CommitHostStatistics();

    const StatisticsReport all = database.ReadAllHostStatistics();
    ASSERT_EQ(all.rows.size(), 3u);
    EXPECT_EQ(all.rows[0].key, "a.example");
    EXPECT_EQ(all.rows[0].record, 1);
    EXPECT_EQ(all.rows[0].statistics, (HostStatistics{100, 3, 2, 3145728, 2000}));
    EXPECT_DOUBLE_EQ(all.rows[0].values[4], 1572.864);
    EXPECT_DOUBLE_EQ(all.rows[0].values[5], 1572.864);
    EXPECT_DOUBLE_EQ(all.rows[1].values[4], 1.0);
    EXPECT_DOUBLE_EQ(all.rows[1].values[5], 0.25);
    EXPECT_EQ(all.rows[2].values, (std::array<double, 6>{}));  // no division by zero
    EXPECT_EQ(all.maxima, (std::array<double, 6>{6, 4, 3145728, 2000, 1572.864, 1572.864}));

    EXPECT_EQ(HostPanelLines(all, "a.example"), (std::vector<std::string>{
                                                    "0\t0.50\t3\tCONNECTS",
                                                    "1\t0.50\t2\tFILES",
                                                    "2\t1.00\t3.00 MB\tBYTES",
                                                    "3\t1.00\t2\tFILE TIME",
                                                    "4\t1.00\t1.50 MB\tBYTES/S",
                                                    "5\t1.00\t1.50 MB\tBYTES/FILE",
                                                }));
    EXPECT_EQ(HostPanelLines(all, "b.example")[4], "4\t0.00\t0.98 KB\tBYTES/S");
    EXPECT_EQ(HostPanelLines(all, "b.example")[5], "5\t0.00\t250\tBYTES/FILE");
    EXPECT_TRUE(HostPanelLines(all, "nobody").empty());

    EXPECT_EQ(StatisticsDialogLines(all, kStatisticConnects),
              (std::vector<std::string>{"0\t1.00\t6\tb.example", "0\t0.50\t3\ta.example",
                                        "0\t0.00\t0\tidle.example"}));
    EXPECT_EQ(ExportStatisticsText(all, kStatisticBytes),
              "2\t1.00\t3.00 MB\ta.example\n2\t0.00\t0.98 KB\tb.example\n"
              "2\t0.00\t0\tidle.example\n");
    EXPECT_TRUE(StatisticsDialogLines(all, 6).empty());

    // A filter lists one host; the maxima still cover every host.
    const StatisticsReport one = database.ReadAllHostStatistics("b.example");
    ASSERT_EQ(one.rows.size(), 1u);
    EXPECT_EQ(one.rows[0].key, "b.example");
    EXPECT_EQ(one.maxima, all.maxima);
    EXPECT_EQ(HostPanelLines(one, "b.example")[0], "0\t1.00\t6\tCONNECTS");

    // Deleting from the dialog recomputes the maxima.
    database.DeleteHostRecord(all.rows[1].record);
    EXPECT_EQ(database.ReadAllHostStatistics().maxima[0], 3.0);
}

TEST_F(StatisticsDatabaseTest, RecordWithEmptyKeyIsDeletedWhenRead) {
    std::string image = ImageWithHosts(1, 3);
    image.replace(2 * 256, 2, std::string(2, '\0'));  // record 2 keeps its bit, loses its key
    PutWord(image, 2 * 256 + 240, 12);
    WriteImage(image);
    StatisticsDatabase database(Folder(), settings_);
    const StatisticsReport report = database.ReadAllHostStatistics();
    ASSERT_EQ(report.rows.size(), 2u);
    EXPECT_EQ(report.rows[1].key, "h3");
    EXPECT_EQ(report.maxima[0], 0.0);
    EXPECT_EQ(WordAt(File(), 36), 0xBu);
    EXPECT_EQ(RecordOf(File(), 2), std::string(256, '\0'));
}

TEST(StatisticLineTest, FormatAndNames) {
    EXPECT_EQ(StatisticLine(3, 0.126, "1:02", "FILE TIME"), "3\t0.13\t1:02\tFILE TIME");
    EXPECT_EQ(StatisticLine(0, 1.0, "", ""), "0\t1.00\t\t");
    const char* names[] = {"CONNECTS", "FILES", "BYTES", "FILE TIME", "BYTES/S", "BYTES/FILE"};
    for (int index = 0; index < kStatisticCount; ++index) {
        EXPECT_EQ(StatisticName(index), names[index]);
    }
    EXPECT_EQ(StatisticName(6), "");
    EXPECT_EQ(StatisticName(-1), "");
}

// --- two running copies ---

TEST_F(StatisticsDatabaseTest, TwoCopiesCountingAtOnceLoseNothing) {
    constexpr int kRounds = 1500;
    {
        StatisticsDatabase database(Folder(), settings_);
        ASSERT_EQ(database.FindHostRecord("before.example", true), 1);
    }
    Peer peer(env_, "counter");
    const std::string rounds = std::to_string(kRounds);
    ASSERT_TRUE(peer.Start(
        Folder(), {"begin", "shared.example", "print", "ready", "wait", Go("count"), "connects",
                   rounds, "transfers", rounds, "4096", "3", "hosts", "peer-", "5"}));
    ASSERT_EQ(peer.Next("record "), "2");
    ASSERT_EQ(peer.Next("ready"), "");

    StatisticsDatabase database(Folder(), settings_);
    database.BeginHostStatistics("shared.example");
    ASSERT_EQ(database.currentRecord(), 2);
    Release("count");
    for (int n = 0; n < kRounds; ++n) {
        database.AccumulateConnect(77);
        database.CommitHostStatistics();
        database.AccumulateTransfer(1000, 2);
        database.CommitHostStatistics();
        if (n % 300 == 0) {
            (void)database.FindHostRecord("own-" + std::to_string(n), true);
        }
    }
    ASSERT_EQ(peer.Next("connects "), rounds);
    ASSERT_EQ(peer.Next("transfers "), rounds);
    ASSERT_EQ(peer.Next("hosts "), "5");
    ASSERT_TRUE(peer.AwaitExit());

    const std::optional<HostStatistics> shared = database.ReadHostRecord(2);
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(shared->connects, 2u * kRounds);
    EXPECT_EQ(shared->files, 2u * kRounds);
    EXPECT_EQ(shared->bytes, uint64_t{kRounds} * (4096 + 1000));
    EXPECT_EQ(shared->milliseconds, uint64_t{kRounds} * (3 + 2));

    // Every record is whole: 1 + 1 + 5 + 5 hosts, each key once, nothing else in use.
    const StatisticsReport report = database.ReadAllHostStatistics();
    std::vector<std::string> keys;
    for (const HostStatisticsRow& row : report.rows) {
        keys.push_back(row.key);
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"before.example", "own-0", "own-1200", "own-300",
                                              "own-600", "own-900", "peer-0", "peer-1", "peer-2",
                                              "peer-3", "peer-4", "shared.example"}));
    const std::string bytes = File();
    EXPECT_EQ(bytes.substr(0, 36), FreshImage().substr(0, 36));
    EXPECT_EQ(WordAt(bytes, 36), 0x1FFFu);
    EXPECT_TRUE(SameBytes(bytes.substr(13 * 256), std::string(8192 - 13 * 256, '\0')));
}

}  // namespace
}  // namespace qvex
