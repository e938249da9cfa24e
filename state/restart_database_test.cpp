#include "state/restart_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_lock.h"
#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/child_process.h"
#include "tests/support/peer_program.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

constexpr auto kPeerPatience = std::chrono::seconds(30);

uint32_t MaskAt(const std::string& bytes, size_t offset) {
    uint32_t mask = 0;
    for (size_t i = 4; i-- > 0;) {
        mask = mask << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    }
    return mask;
}

void PutLittle(std::string& bytes, size_t offset, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<char>(value >> (8 * i) & 0xFF);
    }
}

std::string SlotOf(const std::string& bytes, int slot) {
    return bytes.substr(static_cast<size_t>(slot) * 1024, 1024);
}

// A valid empty file as a new copy writes it.
std::string FreshImage() {
    std::string bytes(32768, '\0');
    bytes.replace(0, 25, "Qvex PRO Restart Data 2\r\n");
    bytes[32] = 1;
    return bytes;
}

// A valid file with masks and one described slot, as a crashed copy leaves it.
std::string ImageWith(uint32_t inUse, uint32_t live) {
    std::string bytes = FreshImage();
    PutLittle(bytes, 32, inUse, 4);
    PutLittle(bytes, 36, live, 4);
    return bytes;
}

void Describe(std::string& bytes, int slot, uint64_t pending, const std::string& operation,
              const std::string& host, const std::string& name, const std::string& local) {
    const size_t base = static_cast<size_t>(slot) * 1024;
    PutLittle(bytes, base, pending, 8);
    bytes.replace(base + 8, operation.size(), operation);
    bytes.replace(base + 12, host.size(), host);
    bytes.replace(base + 252, 5, "/pub/");
    bytes.replace(base + 508, name.size(), name);
    bytes.replace(base + 764, local.size(), local);
}

// The helper program as a second running copy. Its printed lines are read from its output
// file; every wait for one is bounded.
class Peer : public test::PeerProgram {
  public:
    Peer(const test::TempEnv& env, const std::string& name)
        : PeerProgram(QVEX_RESTART_DB_PEER, env.path(name + ".out"), kPeerPatience) {}

    int Slot() {
        const std::optional<std::string> slot = Next("slot ");
        return slot ? std::atoi(slot->c_str()) : -1;
    }
};

class RestartDatabaseTest : public ::testing::Test {
  protected:
    std::string Folder() const { return env_.root() + "/"; }
    std::string FilePath() const { return env_.path("QvexRdb.dat"); }
    std::string File() const { return test::ReadFileBytes(FilePath()); }
    uint32_t InUse() const { return MaskAt(File(), 32); }
    uint32_t Live() const { return MaskAt(File(), 36); }
    void WriteImage(const std::string& bytes) const { test::WriteFileBytes(FilePath(), bytes); }
    std::string Go(const std::string& name) const { return env_.path("go-" + name); }
    void Release(const std::string& name) const { test::WriteFileBytes(Go(name), ""); }

    test::TempEnv env_;
    platform::RegistryFile registry_;
    Settings settings_{registry_};
};

// --- layout ---

TEST_F(RestartDatabaseTest, NewFileIsTheEmptyLayout) {
    RestartDatabase database(Folder());
    EXPECT_EQ(database.filePath(), FilePath());
    EXPECT_EQ(database.lockPath(), env_.path("QvexRMap"));
    ASSERT_TRUE(database.OpenRestartDatabase());
    EXPECT_TRUE(database.isOpen());
    EXPECT_EQ(File(), FreshImage());
    EXPECT_EQ(database.currentSlot(), 0);
    EXPECT_TRUE(test::FileExists(env_.path("QvexRdb.dat.lock")));
}

TEST_F(RestartDatabaseTest, FieldsAndPendingFlagSitAtTheirOffsets) {
    RestartDatabase database(env_.root());  // a folder without the separator works too
    ASSERT_EQ(database.ClaimRestartSlot(false), 1);
    EXPECT_EQ(database.ClaimRestartSlot(true), 1);  // still owned: kept
    database.SetRestartPending(0x0102030405060708);
    database.SetRestartField(1, "Gx");
    database.SetRestartField(2, "ftp.example.org");
    database.SetRestartField(3, "/pub/linux");
    database.SetRestartField(4, "image.iso");
    database.SetRestartField(5, "/home/me/Downloads");

    const std::string bytes = File();
    ASSERT_EQ(bytes.size(), 32768u);
    EXPECT_EQ(MaskAt(bytes, 32), 0x3u);
    EXPECT_EQ(MaskAt(bytes, 36), 0x2u);
    std::string slot(1024, '\0');
    slot.replace(0, 8, "\x08\x07\x06\x05\x04\x03\x02\x01");
    slot.replace(8, 2, "Gx");
    slot.replace(12, 15, "ftp.example.org");
    slot.replace(252, 10, "/pub/linux");
    slot.replace(508, 9, "image.iso");
    slot.replace(764, 18, "/home/me/Downloads");
    EXPECT_EQ(SlotOf(bytes, 1), slot);
    std::string rest = FreshImage();
    PutLittle(rest, 32, 3, 4);
    PutLittle(rest, 36, 2, 4);
    EXPECT_EQ(bytes.substr(0, 1024), rest.substr(0, 1024));
    EXPECT_EQ(bytes.substr(2048), rest.substr(2048));

    EXPECT_EQ(database.GetRestartPending(), 0x0102030405060708u);
    EXPECT_EQ(database.GetRestartField(2), "ftp.example.org");
    EXPECT_EQ(database.GetRestartField(5), "/home/me/Downloads");
    const RestartRecord record = ReadRestartRecord(database);
    EXPECT_EQ(record.slot, 1);
    EXPECT_EQ(record.direction, 'G');
    EXPECT_EQ(record.mode, 'x');
    EXPECT_EQ(record.remoteDirectory, "/pub/linux");
    EXPECT_EQ(record.remoteName, "image.iso");
    EXPECT_EQ(RestartPendingFlag(database), 0x0102030405060708u);
}

TEST_F(RestartDatabaseTest, LongTextsAreCutToTheirField) {
    struct Row {
        int field;
        std::string text;
        std::string stored;
    };
    const std::string a238(238, 'a');
    const Row rows[] = {
        {1, "Pa", "Pa"},
        {1, "Gxa", "Gx"},
        {1, "G", "G"},
        {2, std::string(239, 'h'), std::string(239, 'h')},
        {2, std::string(240, 'h'), std::string(239, 'h')},
        {2, std::string(1000, 'h'), std::string(239, 'h')},
        {3, std::string(255, 'd'), std::string(255, 'd')},
        {3, std::string(256, 'd'), std::string(255, 'd')},
        {4, std::string(300, 'n'), std::string(255, 'n')},
        {5, std::string(256, 'l'), std::string(255, 'l')},
        // Never half a UTF-8 character: 2-, 3- and 4-byte sequences across the limit.
        {2, a238 + "\xC3\xA9", a238},
        {2, a238.substr(1) + "\xE2\x82\xAC", a238.substr(1)},
        {2, a238.substr(2) + "\xF0\x9F\x98\x80", a238.substr(2)},
        {2, a238 + "b\xC3\xA9", a238 + "b"},
        {2, a238.substr(1) + "\xC3\xA9\xC3\xA9", a238.substr(1) + "\xC3\xA9"},
        {2, a238 + "\xE9\xA9\xA9", a238},
        // Bytes that do not form UTF-8 sequences are cut where they stand.
        {2, a238 + "\xE9\xE9", a238 + "\xE9"},
        {3, std::string("ab\0cd", 5), "ab"},
    };
    RestartDatabase database(Folder());
    ASSERT_EQ(database.ClaimRestartSlot(false), 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.field) + ": " + std::to_string(row.text.size()) + " bytes");
        for (int n = 1; n <= 5; ++n) {
            database.SetRestartField(n, std::string(300, 'z'));
        }
        const std::string before = SlotOf(File(), 1);
        database.SetRestartField(row.field, row.text);
        EXPECT_EQ(database.GetRestartField(row.field), row.stored);
        const RestartFieldLayout& layout = kRestartFields[row.field];
        std::string expected = before;
        expected.replace(layout.offset, layout.size, std::string(layout.size, '\0'));
        expected.replace(layout.offset, row.stored.size(), row.stored);
        // The slot's last word: one bit per field that was cut to fit (all but a row's
        // field that now fits whole).
        const bool whole = row.stored == row.text.substr(0, row.text.find('\0'));
        expected[kRestartCutOffset] = static_cast<char>(whole ? 0x3E & ~(1 << row.field) : 0x3E);
        EXPECT_EQ(SlotOf(File(), 1), expected);
    }
}

TEST_F(RestartDatabaseTest, BadFieldNumbersAndMissingSlotDoNothing) {
    RestartDatabase database(Folder());
    database.SetRestartField(2, "nowhere");
    database.SetRestartPending(1);
    EXPECT_EQ(database.GetRestartField(2), "");
    EXPECT_EQ(database.GetRestartPending(), 0u);
    EXPECT_FALSE(database.isOpen());
    EXPECT_FALSE(test::FileExists(FilePath()));

    ASSERT_EQ(database.ClaimRestartSlot(false), 1);
    const std::string before = File();
    for (int n : {-1, 0, 6, 100}) {
        SCOPED_TRACE(n);
        database.SetRestartField(n, "x");
        EXPECT_EQ(database.GetRestartField(n), "");
    }
    EXPECT_EQ(File(), before);
}

TEST_F(RestartDatabaseTest, NoFolderMeansNoDatabase) {
    RestartDatabase database(env_.path("missing") + "/");
    EXPECT_FALSE(database.OpenRestartDatabase());
    EXPECT_EQ(database.ClaimRestartSlot(false), 0);
    database.SetRestartField(2, "x");
    EXPECT_EQ(database.GetRestartField(2), "");
    EXPECT_TRUE(database.ListRestartSlots(false).empty());
    database.ReleaseRestartSlot();
    database.DetachRestartSlot();
    database.CloseRestartDatabase();
    EXPECT_FALSE(database.isOpen());
}

// --- slot states ---

TEST_F(RestartDatabaseTest, ClaimReleaseAndDetachMoveTheMasks) {
    RestartDatabase first(Folder());
    RestartDatabase second(Folder());
    ASSERT_EQ(first.ClaimRestartSlot(false), 1);
    ASSERT_EQ(second.ClaimRestartSlot(false), 2);
    EXPECT_EQ(InUse(), 0x7u);
    EXPECT_EQ(Live(), 0x6u);

    first.SetRestartField(2, "gone");
    first.ReleaseRestartSlot();  // owned -> free
    EXPECT_EQ(first.currentSlot(), 0);
    EXPECT_EQ(InUse(), 0x5u);
    EXPECT_EQ(Live(), 0x4u);
    EXPECT_EQ(SlotOf(File(), 1), std::string(1024, '\0'));

    second.SetRestartField(2, "kept");
    second.SetRestartPending(1);
    second.DetachRestartSlot();  // owned -> abandoned
    EXPECT_EQ(second.currentSlot(), 0);
    EXPECT_EQ(second.GetRestartField(2), "");
    EXPECT_EQ(InUse(), 0x5u);
    EXPECT_EQ(Live(), 0x0u);

    // A fresh claim passes the abandoned slot by; a normal one adopts it with its data.
    RestartDatabase third(Folder());
    ASSERT_EQ(third.ClaimRestartSlot(true), 1);
    ASSERT_EQ(first.ClaimRestartSlot(false), 2);
    EXPECT_EQ(first.GetRestartField(2), "kept");
    EXPECT_EQ(first.GetRestartPending(), 1u);
    EXPECT_EQ(InUse(), 0x7u);
    EXPECT_EQ(Live(), 0x6u);
}

TEST_F(RestartDatabaseTest, FreshClaimZeroesOnlyThePendingFlag) {
    std::string image = FreshImage();
    Describe(image, 1, 7, "Pa", "stale", "", "");
    WriteImage(image);  // slot 1 not in use, yet not zero
    RestartDatabase database(Folder());
    ASSERT_EQ(database.ClaimRestartSlot(false), 1);
    EXPECT_EQ(database.GetRestartPending(), 0u);
    EXPECT_EQ(database.GetRestartField(2), "stale");
}

TEST_F(RestartDatabaseTest, AllSlotsTakenGivesNoSlot) {
    std::vector<std::unique_ptr<RestartDatabase>> copies;
    for (int slot = 1; slot <= 31; ++slot) {
        copies.push_back(std::make_unique<RestartDatabase>(Folder()));
        ASSERT_EQ(copies.back()->ClaimRestartSlot(false), slot);
    }
    EXPECT_EQ(InUse(), 0xFFFFFFFFu);
    EXPECT_EQ(Live(), 0xFFFFFFFEu);
    const std::string before = File();
    RestartDatabase last(Folder());
    EXPECT_EQ(last.ClaimRestartSlot(false), 0);
    EXPECT_EQ(last.ClaimRestartSlot(true), 0);
    last.SetRestartField(2, "nothing recorded");
    last.SetRestartPending(1);
    EXPECT_EQ(File(), before);
}

TEST_F(RestartDatabaseTest, LoneOpeningTurnsOwnedSlotsIntoAbandonedOnes) {
    std::string image = ImageWith(0x1 | 0x4 | 0x8 | 0x10, 0x4 | 0x8);
    Describe(image, 2, 1, "Gi", "ftp://two", "two.bin", "/tmp");
    Describe(image, 3, 1, "Pa", "ftp://three", "", "/tmp/three.txt");
    WriteImage(image);
    RestartDatabase database(Folder());
    ASSERT_TRUE(database.OpenRestartDatabase());
    EXPECT_EQ(Live(), 0u);
    EXPECT_EQ(InUse(), 0x1Du);
    ASSERT_EQ(database.ClaimRestartSlot(false), 2);
    EXPECT_EQ(Live(), 0x4u);
    EXPECT_EQ(database.GetRestartField(2), "ftp://two");
    EXPECT_EQ(database.GetRestartPending(), 1u);
}

TEST_F(RestartDatabaseTest, SecondCopyLeavesTheFirstCopysSlotAlone) {
    WriteImage(ImageWith(0x1, 0));
    RestartDatabase first(Folder());
    ASSERT_EQ(first.ClaimRestartSlot(false), 1);
    first.SetRestartPending(1);
    RestartDatabase second(Folder());
    ASSERT_TRUE(second.OpenRestartDatabase());
    EXPECT_EQ(Live(), 0x2u);  // not alone: the live mask stays
    EXPECT_EQ(second.ClaimRestartSlot(false), 2);
    EXPECT_TRUE(second.ListRestartSlots(false).empty());
}

TEST_F(RestartDatabaseTest, DamagedFilesAreRebuiltSilently) {
    std::string valid = ImageWith(0x3, 0);
    Describe(valid, 1, 1, "Gi", "ftp://kept", "kept.bin", "/tmp");
    std::string foreign = valid;
    foreign[5] = 'X';
    std::string noBit = valid;
    noBit[32] = 0x02;
    std::string otherTail = valid;  // only the first 23 bytes of the text are compared
    otherTail.replace(23, 2, "\n\n");
    struct Row {
        const char* name;
        std::string bytes;
        bool kept;
    };
    const Row rows[] = {
        {"valid", valid, true},
        {"different line end", otherTail, true},
        {"empty", "", false},
        {"short", valid.substr(0, 1000), false},
        {"one byte short", valid.substr(0, 32767), false},
        {"long", valid + std::string(1024, 'x'), false},
        {"foreign text", foreign, false},
        {"header bit clear", noBit, false},
        {"zeros", std::string(32768, '\0'), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteImage(row.bytes);
        RestartDatabase database(Folder());
        ASSERT_TRUE(database.OpenRestartDatabase());
        EXPECT_EQ(File(), row.kept ? row.bytes : FreshImage());
        EXPECT_EQ(database.ClaimRestartSlot(false), 1);
        EXPECT_EQ(database.GetRestartField(2), row.kept ? "ftp://kept" : "");
    }
}

TEST_F(RestartDatabaseTest, CloseKeepsTheSlotUntilTheNextLoneOpening) {
    {
        RestartDatabase database(Folder());
        ASSERT_EQ(database.ClaimRestartSlot(false), 1);
        database.SetRestartPending(1);
        database.CloseRestartDatabase();
        EXPECT_FALSE(database.isOpen());
        EXPECT_EQ(database.currentSlot(), 0);
        EXPECT_EQ(database.GetRestartPending(), 0u);
        EXPECT_EQ(Live(), 0x2u);
    }
    RestartDatabase next(Folder());
    const std::vector<RestartRecord> listed = next.ListRestartSlots(false);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].slot, 1);
    EXPECT_EQ(listed[0].pending, 1u);
    EXPECT_EQ(Live(), 0u);
}

TEST_F(RestartDatabaseTest, ThreadsWithTheirOwnCopiesNeverShareASlot) {
    constexpr int kCopies = 12;
    std::vector<std::unique_ptr<RestartDatabase>> copies;
    for (int i = 0; i < kCopies; ++i) {
        copies.push_back(std::make_unique<RestartDatabase>(Folder()));
    }
    std::vector<int> slots(kCopies, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCopies; ++i) {
        threads.emplace_back([&, i] {
            slots[static_cast<size_t>(i)] = copies[static_cast<size_t>(i)]->ClaimRestartSlot(false);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::set<int> distinct(slots.begin(), slots.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kCopies));
    EXPECT_EQ(*distinct.begin(), 1);
    EXPECT_EQ(*distinct.rbegin(), kCopies);
    EXPECT_EQ(Live(), (uint32_t{1} << (kCopies + 1)) - 2);
}

// --- running copies as processes ---

TEST_F(RestartDatabaseTest, ProcessesShareTheFileSlotBySlot) {
    ASSERT_TRUE(test::ExecutableExists(QVEX_RESTART_DB_PEER));
    constexpr int kPeers = 4;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < kPeers; ++i) {
        const std::string name = "peer" + std::to_string(i);
        peers.push_back(std::make_unique<Peer>(env_, name));
        ASSERT_TRUE(
            peers.back()->Start(Folder(), {"claim", "set", "2", "host of " + name, "print",
                                           "claimed", "wait", Go(name), "get", "2", "release"}));
    }
    std::set<int> slots;
    for (auto& peer : peers) {
        const int slot = peer->Slot();
        EXPECT_GE(slot, 1);
        EXPECT_LE(slot, kPeers);
        slots.insert(slot);
        ASSERT_TRUE(peer->Next("claimed"));
    }
    EXPECT_EQ(slots.size(), static_cast<size_t>(kPeers));
    EXPECT_EQ(Live(), 0x1Eu);
    EXPECT_EQ(InUse(), 0x1Fu);

    // This copy is not alone: it keeps their slots and takes the next free one.
    RestartDatabase database(Folder());
    EXPECT_EQ(database.ClaimRestartSlot(false), kPeers + 1);
    database.SetRestartField(2, "this copy");
    EXPECT_TRUE(database.ListRestartSlots(false).empty());

    for (int i = 0; i < kPeers; ++i) {
        Release("peer" + std::to_string(i));
        EXPECT_EQ(peers[static_cast<size_t>(i)]->Next("field 2="),
                  "host of peer" + std::to_string(i));
        ASSERT_TRUE(peers[static_cast<size_t>(i)]->Next("released"));
        EXPECT_TRUE(peers[static_cast<size_t>(i)]->AwaitExit());
    }
    EXPECT_EQ(InUse(), 0x21u);
    EXPECT_EQ(Live(), 0x20u);
    EXPECT_EQ(database.GetRestartField(2), "this copy");
}

TEST_F(RestartDatabaseTest, PeerSeesWhatThisCopyWrote) {
    RestartDatabase database(Folder());
    ASSERT_EQ(database.ClaimRestartSlot(false), 1);
    database.SetRestartField(2, "ftp://mine");
    database.SetRestartPending(1);
    database.DetachRestartSlot();
    Peer peer(env_, "adopter");
    ASSERT_TRUE(peer.Start(Folder(), {"claim", "get", "2", "get-pending"}));
    EXPECT_EQ(peer.Slot(), 1);
    EXPECT_EQ(peer.Next("field 2="), "ftp://mine");
    EXPECT_EQ(peer.Next("pending="), "1");
}

TEST_F(RestartDatabaseTest, CopyKilledWhileOwningASlotLeavesItAbandoned) {
    Peer peer(env_, "victim");
    ASSERT_TRUE(peer.Start(
        Folder(), {"claim", "set",   "1",    "Gx",       "set", "2", "ftp://victim", "set",     "3",
                   "/pub",  "set",   "4",    "big.iso",  "set", "5", "/home/me/in",  "pending", "1",
                   "print", "ready", "wait", Go("never")}));
    ASSERT_EQ(peer.Slot(), 1);
    ASSERT_TRUE(peer.Next("ready"));
    {
        // While the copy runs its slot is not offered.
        RestartDatabase other(Folder());
        EXPECT_EQ(other.ClaimRestartSlot(false), 2);
        EXPECT_TRUE(other.ListRestartSlots(false).empty());
        ShutdownRestartDatabase(other);  // nothing pending: released
    }
    EXPECT_EQ(InUse(), 0x3u);
    EXPECT_TRUE(peer.KillHard());
    EXPECT_EQ(Live(), 0x2u);  // the dead copy still counts as live in the file

    RestartDatabase lone(Folder());
    RestartTool tool(lone, settings_, false);
    ASSERT_EQ(tool.rows().size(), 1u);
    EXPECT_EQ(tool.rows()[0].slot, 1);
    EXPECT_EQ(tool.rows()[0].file, "big.iso");
    EXPECT_EQ(tool.rows()[0].operation, "GET(smart)");
    EXPECT_EQ(tool.rows()[0].host, "ftp://victim");
    EXPECT_EQ(Live(), 0u);
    EXPECT_TRUE(StartRestartSlot(lone, settings_));
    EXPECT_EQ(lone.currentSlot(), 1);
    EXPECT_EQ(lone.GetRestartField(5), "/home/me/in");
}

// --- the host page and the restart question ---

class RestartQuestionTest : public RestartDatabaseTest {
  protected:
    void SetUp() override {
        std::string image = ImageWith(0x3, 0);
        Describe(image, 1, 1, "Pa", "ftp://host.example", "", "/tmp/up.txt");
        WriteImage(image);
        ASSERT_TRUE(StartRestartSlot(database_, settings_));
        ASSERT_EQ(database_.currentSlot(), 1);
    }

    RestartDatabase database_{Folder()};
    std::vector<std::string> asked_;
    AskRestartQuestion Answer(RestartAnswer answer) {
        return [this, answer](const std::string& title, const std::string& text) {
            asked_.push_back(title + "|" + text);
            return answer;
        };
    }
};

TEST_F(RestartQuestionTest, AnswersDecideWhatHappensToTheSlot) {
    struct Row {
        const char* name;
        int32_t prompt;
        RestartAnswer answer;
        bool connects;
        bool asked;
        int current;
        uint64_t pending;
        uint32_t live;
    };
    const Row rows[] = {
        {"no prompt", 0, RestartAnswer::Yes, true, false, 1, 0, 0x2},
        {"yes", 1, RestartAnswer::Yes, true, true, 2, 0, 0x4},
        {"no", 1, RestartAnswer::No, true, true, 1, 0, 0x2},
        {"cancel", 1, RestartAnswer::Cancel, false, true, 1, 1, 0x2},
    };
    const std::string image = File();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        database_.CloseRestartDatabase();
        WriteImage(image);
        ASSERT_TRUE(StartRestartSlot(database_, settings_));
        asked_.clear();
        settings_.SetInt("RestartDelete", row.prompt);
        EXPECT_EQ(PrepareRestartConnect(database_, settings_, true, false, Answer(row.answer)),
                  row.connects);
        EXPECT_EQ(asked_.size(), row.asked ? 1u : 0u);
        if (row.asked) {
            EXPECT_EQ(asked_[0],
                      "Restart Question|Preserve restart info for 'ftp://host.example'?\r\n\r\n"
                      "(NO will discard restart info!)");
        }
        EXPECT_EQ(database_.currentSlot(), row.current);
        EXPECT_EQ(database_.GetRestartPending(), row.pending);
        EXPECT_EQ(Live(), row.live);
        // The old description is still there (kept for later with Yes).
        EXPECT_EQ(SlotOf(File(), 1).substr(12, 18), "ftp://host.example");
        EXPECT_EQ(InUse(), row.current == 2 ? 0x7u : 0x3u);
    }
}

TEST_F(RestartQuestionTest, NoQuestionForAResumptionOrWithoutTheButton) {
    settings_.SetInt("RestartDelete", 1);
    const std::string before = File();
    EXPECT_TRUE(PrepareRestartConnect(database_, settings_, true, true, Answer(RestartAnswer::No)));
    EXPECT_TRUE(
        PrepareRestartConnect(database_, settings_, false, false, Answer(RestartAnswer::No)));
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(File(), before);
}

TEST_F(RestartQuestionTest, ResumeButtonGivesTheHostAndSwitchesRestartOn) {
    EXPECT_EQ(settings_.GetInt("Restart"), 0);
    EXPECT_EQ(ResumeRestartSlot(database_, settings_), "ftp://host.example");
    EXPECT_EQ(settings_.GetInt("Restart"), 1);
}

TEST_F(RestartQuestionTest, CommandLineConnectTakesAFreshSlot) {
    database_.CloseRestartDatabase();
    settings_.SetInt("CLConnect", 1);
    RestartDatabase database(Folder());
    EXPECT_FALSE(StartRestartSlot(database, settings_));
    EXPECT_EQ(database.currentSlot(), 2);
}

TEST_F(RestartQuestionTest, ShutdownReleasesOnlyASlotWithNothingPending) {
    ShutdownRestartDatabase(database_);  // pending: stays, still marked live
    EXPECT_EQ(InUse(), 0x3u);
    EXPECT_EQ(Live(), 0x2u);
    RestartDatabase database(Folder());
    ASSERT_EQ(database.ClaimRestartSlot(false), 1);
    database.SetRestartPending(0);
    ShutdownRestartDatabase(database);
    EXPECT_FALSE(database.isOpen());
    EXPECT_EQ(InUse(), 0x1u);
    EXPECT_EQ(File(), FreshImage());
}

TEST_F(RestartQuestionTest, WriteRestartRecordSkipsTheRemoteNameOfAnUpload) {
    RestartRecord record;
    record.operation = "Pi";
    record.host = "ftp://other";
    record.remoteDirectory = "/in";
    record.remoteName = "ignored";
    record.localFolder = "/tmp/file.bin";
    database_.SetRestartField(kRestartFieldRemoteName, "before");
    WriteRestartRecord(database_, record);
    const RestartRecord read = ReadRestartRecord(database_);
    EXPECT_EQ(read.operation, "Pi");
    EXPECT_EQ(read.host, "ftp://other");
    EXPECT_EQ(read.remoteDirectory, "/in");
    EXPECT_EQ(read.remoteName, "before");
    EXPECT_EQ(read.localFolder, "/tmp/file.bin");
    record.operation = "Ga";
    WriteRestartRecord(database_, record);
    EXPECT_EQ(database_.GetRestartField(kRestartFieldRemoteName), "ignored");
}

// --- the restart tool ---

class RestartToolTest : public RestartDatabaseTest {
  protected:
    // Slots 1, 3, 4, 6 abandoned; 2 owned by a running copy; 5 free. This copy adopts 1.
    void SetUp() override {
        std::string image = ImageWith(0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x40, 0x4);
        Describe(image, 1, 1, "Ga", "ftp://one", "notes.txt", "/home/me");
        Describe(image, 2, 1, "Gi", "ftp://two", "running.bin", "/home/me");
        Describe(image, 3, 1, "Px", "ftp://three", "", "/home/me/report.doc");
        Describe(image, 4, 0, "Pi", "ftp://four", "", "C:\\win\\path.bin");
        Describe(image, 6, 1, "Gq", "ftp://six", "odd.bin", "/tmp");
        WriteImage(image);
        // The presence of slot 2's copy, so this copy does not open alone.
        ASSERT_TRUE(runningCopy_.Acquire(FilePath() + ".lock", platform::FileLock::Mode::Shared));
        ASSERT_EQ(database_.ClaimRestartSlot(false), 1);
        ASSERT_EQ(Live(), 0x6u);
    }

    platform::FileLock runningCopy_;
    RestartDatabase database_{Folder()};
};

TEST_F(RestartToolTest, ListsAbandonedSlotsAndThePendingCurrentOne) {
    RestartTool tool(database_, settings_, false);
    const std::vector<RestartToolRow> expected = {
        {1, "notes.txt", "GET(text)", "ftp://one"},
        {3, "report.doc", "PUT(smart)", "ftp://three"},
        {4, "path.bin", "PUT(image)", "ftp://four"},
        {6, "odd.bin", "GET(image)", "ftp://six"},
    };
    ASSERT_EQ(tool.rows().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tool.rows()[i].slot, expected[i].slot);
        EXPECT_EQ(tool.rows()[i].file, expected[i].file);
        EXPECT_EQ(tool.rows()[i].operation, expected[i].operation);
        EXPECT_EQ(tool.rows()[i].host, expected[i].host);
    }
    EXPECT_EQ(tool.initialRow(), 0);

    RestartTool during(database_, settings_, true);  // a session runs: no current slot row
    ASSERT_EQ(during.rows().size(), 3u);
    EXPECT_EQ(during.rows()[0].slot, 3);
    EXPECT_EQ(during.initialRow(), -1);

    database_.SetRestartPending(0);
    RestartTool idle(database_, settings_, false);
    EXPECT_EQ(idle.rows().size(), 3u);
}

TEST_F(RestartToolTest, OperationAndFileTexts) {
    const std::pair<const char*, const char*> operations[] = {
        {"Ga", "GET(text)"},  {"Gx", "GET(smart)"}, {"Gi", "GET(image)"}, {"Pa", "PUT(text)"},
        {"Px", "PUT(smart)"}, {"P", "PUT(image)"},  {"", "PUT(image)"},   {"ga", "PUT(text)"},
    };
    for (const auto& [operation, text] : operations) {
        SCOPED_TRACE(operation);
        EXPECT_EQ(RestartOperationText(operation), text);
    }
    RestartRecord upload;
    upload.direction = 'P';
    upload.localFolder = "plain";
    EXPECT_EQ(RestartFileText(upload), "plain");
    upload.localFolder = "/a\\b/c\\d.txt";
    EXPECT_EQ(RestartFileText(upload), "d.txt");
}

TEST_F(RestartToolTest, WipeDeletesMarkedRowsOnOk) {
    RestartTool tool(database_, settings_, false);
    EXPECT_EQ(tool.Wipe({3, 1, 7, 1}), 2u);  // slots 6 and 3; 7 is no row
    ASSERT_EQ(tool.rows().size(), 2u);
    EXPECT_EQ(tool.rows()[1].slot, 4);
    EXPECT_EQ(InUse(), 0x5Fu);  // nothing deleted before OK
    const RestartToolResult result = tool.Commit();
    EXPECT_FALSE(result.resume);
    EXPECT_FALSE(result.hideResumeButton);
    EXPECT_EQ(InUse(), 0x17u);
    EXPECT_EQ(Live(), 0x6u);
    EXPECT_EQ(SlotOf(File(), 3), std::string(1024, '\0'));
    EXPECT_EQ(SlotOf(File(), 6), std::string(1024, '\0'));
    EXPECT_EQ(database_.currentSlot(), 1);
}

TEST_F(RestartToolTest, WipeAsksWhenThePromptIsOn) {
    std::vector<int> asked;
    bool agree = false;
    const ConfirmRestartWipe confirm = [&](const std::vector<RestartToolRow>& rows) {
        for (const RestartToolRow& row : rows) {
            asked.push_back(row.slot);
        }
        return agree;
    };
    settings_.SetInt("RestartDelete", 1);
    RestartTool tool(database_, settings_, false);
    EXPECT_EQ(tool.Wipe({2, 0}, confirm), 0u);
    EXPECT_EQ(asked, (std::vector<int>{1, 4}));
    EXPECT_EQ(tool.rows().size(), 4u);
    agree = true;
    EXPECT_EQ(tool.Wipe({2}, confirm), 1u);
    EXPECT_EQ(tool.markedSlots(), std::vector<int>{4});

    settings_.SetInt("RestartDelete", 0);
    RestartTool quiet(database_, settings_, false);
    asked.clear();
    EXPECT_EQ(quiet.Wipe({0}, confirm), 1u);
    EXPECT_TRUE(asked.empty());
}

TEST_F(RestartToolTest, WipingTheCurrentSlotClaimsAnother) {
    RestartTool tool(database_, settings_, false);
    ASSERT_EQ(tool.Wipe({0}), 1u);
    const RestartToolResult result = tool.Commit();
    EXPECT_FALSE(result.resume);
    EXPECT_FALSE(result.hideResumeButton);  // slot 3 adopted, pending
    EXPECT_EQ(database_.currentSlot(), 3);
    EXPECT_EQ(database_.GetRestartField(2), "ftp://three");
    EXPECT_EQ(SlotOf(File(), 1), std::string(1024, '\0'));
    EXPECT_EQ(InUse(), 0x5Du);
    EXPECT_EQ(Live(), 0xCu);
}

// A path cut to fit its field names another file: the record is never resumed, and the
// list says so, until the field is written whole again.
TEST_F(RestartToolTest, ARecordWithACutPathIsNeverResumed) {
    database_.SetRestartField(kRestartFieldLocal, "/home/" + std::string(300, 'l'));
    EXPECT_EQ(database_.GetRestartPending(), 1u);
    EXPECT_EQ(RestartPendingFlag(database_), 0u);
    EXPECT_FALSE(ReadRestartRecord(database_).resumable);
    EXPECT_FALSE(StartRestartSlot(database_, settings_)) << "no resume button";
    RestartTool tool(database_, settings_, false);
    ASSERT_EQ(tool.initialRow(), 0);
    EXPECT_EQ(tool.rows()[0].operation, "GET(text) not resumable: a path was too long");
    EXPECT_EQ(tool.rows()[1].operation, "PUT(smart)");
    EXPECT_FALSE(tool.Restart({0}));
    EXPECT_TRUE(tool.Commit().hideResumeButton);

    database_.SetRestartField(kRestartFieldLocal, "/home/me");
    EXPECT_EQ(RestartPendingFlag(database_), 1u);
    EXPECT_TRUE(ReadRestartRecord(database_).resumable);
    EXPECT_TRUE(StartRestartSlot(database_, settings_));
}

TEST_F(RestartToolTest, RestartChoosesExactlyOneRow) {
    RestartTool tool(database_, settings_, false);
    EXPECT_FALSE(tool.Restart({}));
    EXPECT_FALSE(tool.Restart({1, 2}));
    EXPECT_FALSE(tool.Restart({9}));
    ASSERT_TRUE(tool.Restart({2}));
    EXPECT_EQ(tool.chosenSlot(), 4);
    const RestartToolResult result = tool.Commit();
    EXPECT_TRUE(result.resume);
    EXPECT_EQ(database_.currentSlot(), 4);
    EXPECT_EQ(Live(), 0x14u);  // slot 1 left abandoned, slot 4 now ours
    EXPECT_EQ(InUse(), 0x5Fu);
    EXPECT_EQ(ResumeRestartSlot(database_, settings_), "ftp://four");
}

TEST_F(RestartToolTest, SlotsTakenByAnotherCopyMeanwhileAreLeftAlone) {
    RestartTool tool(database_, settings_, false);
    RestartDatabase other(Folder());
    ASSERT_EQ(other.ClaimRestartSlot(false), 3);  // adopts slot 3 after the listing
    ASSERT_EQ(tool.Wipe({1}), 1u);                // slot 3
    const std::string kept = SlotOf(File(), 3);
    EXPECT_FALSE(tool.Commit().resume);
    EXPECT_EQ(SlotOf(File(), 3), kept);
    EXPECT_EQ(other.GetRestartField(2), "ftp://three");

    RestartTool second(database_, settings_, false);
    ASSERT_EQ(second.rows()[1].slot, 4);
    ASSERT_EQ(other.ClaimRestartSlot(false), 3);  // still its own
    RestartDatabase third(Folder());
    ASSERT_EQ(third.ClaimRestartSlot(false), 4);
    ASSERT_TRUE(second.Restart({1}));
    EXPECT_FALSE(second.Commit().resume);
    EXPECT_EQ(database_.currentSlot(), 1);
    EXPECT_EQ(third.currentSlot(), 4);
    EXPECT_EQ(Live(), 0x1Eu);
}

}  // namespace
}  // namespace qvex
