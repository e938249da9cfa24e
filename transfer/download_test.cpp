// Downloads over a scripted server: the exact commands, the bytes that reach the disk, the
// outcome bits, the log lines and the recovery record.
#include "transfer/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "engine/session_worker.h"
#include "platform/local_file.h"
#include "state/restart_database.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_session.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_parser.h"
#include "transfer/transfer_queue.h"
#include "transfer/transfer_type.h"

namespace qvex {
namespace {

using test::ScriptedPeer;
using Lines = std::vector<std::string>;

constexpr int64_t kLocalTime = 1'600'000'000;  // 2020-09-13 12:26:40 UTC
const int32_t kImage = makeTransferFlags(TransferType::Image, false, 0);
const int32_t kSmart = makeTransferFlags(TransferType::Smart, false, 0);

RemoteEntry FileEntry(std::string name, int64_t size, int64_t time = 0,
                      uint32_t flags = kEntryTimeValid) {
    RemoteEntry entry;
    entry.name = std::move(name);
    entry.size = size;
    entry.time = time;
    entry.flags = flags;
    return entry;
}

RemoteEntry LinkEntry(std::string name, std::string target) {
    RemoteEntry entry = FileEntry(std::move(name), 11);
    entry.flags |= kEntrySymLink;
    entry.linkTarget = std::move(target);
    return entry;
}

std::string Pasv(uint16_t port) {
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
           std::to_string(port & 0xFF) + ").";
}

// Every file and folder below `root`, relative to it, sorted.
Lines Tree(const std::string& root) {
    Lines found;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        found.push_back(std::filesystem::relative(item.path(), root).string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The application's outcome word, and a look at the transfer as it starts and advances.
class Observer : public SessionObserver {
  public:
    void OnOutcome(uint32_t bits) override { word |= bits; }
    void OnTransferStarted(uint32_t) override {
        if (atStart) {
            atStart();
        }
    }
    void OnTransferProgress(uint32_t) override {
        if (atStep) {
            atStep();
        }
    }
    uint32_t word = 0;
    std::function<void()> atStart;
    std::function<void()> atStep;
};

// The server's side is scripted reply by reply; every transfer gets its own data peer. The
// server starts in "/pub", whose listing the cache holds; files go to `folder`/in.
class Download : public test::ScriptedSessionTest {
  public:
    void SetUp() override {
        session.observer = &observer;
        session.workingDirectory = session.currentDirectory = "/pub";
        pub = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
        into = folder.path("in");
        ASSERT_TRUE(platform::MakeLocalFolder(into));
        window = log.heap().OpenQueue("^App(Title|Progress)$");
    }

    int32_t Add(RemoteEntry entry, int32_t directory = -1) {
        return cache.AppendEntry(directory < 0 ? pub : directory, std::move(entry));
    }
    // Listing lines as the parser reads them.
    void AddListed(const Lines& lines) {
        for (const std::string& line : lines) {
            std::string pendingName;
            RemoteEntry entry;
            ASSERT_TRUE(parseListingLine(line, pendingName, entry)) << line;
            (void)Add(std::move(entry));
        }
    }

    Download& Answer(const std::string& reply) {
        peer.ReadLine().SendLine(reply);
        return *this;
    }
    ScriptedPeer& NewDataPeer() {
        return *dataPeers.emplace_back(std::make_unique<ScriptedPeer>());
    }
    // PASV answered with the data peer's port (the peer starts here), an optional REST
    // answer, then the transfer command's opening reply and, when given, the final one.
    Download& Through(ScriptedPeer& data, const std::string& opening = "150 Opening data",
                      const std::string& final = "226 Transfer complete",
                      const std::string& restAnswer = {}) {
        EXPECT_TRUE(data.Start());
        Answer(Pasv(data.port()));
        if (!restAnswer.empty()) {
            Answer(restAnswer);
        }
        Answer(opening);
        if (opening[0] == '1' && !final.empty()) {
            peer.SendLine(final);
        }
        return *this;
    }
    // A transfer whose data connection sends `bytes` and closes, or, when the server
    // refuses, waits for the client to close it.
    Download& Transfer(std::string bytes, const std::string& opening = "150 Opening data",
                       const std::string& final = "226 Transfer complete",
                       const std::string& restAnswer = {}) {
        ScriptedPeer& data = NewDataPeer();
        if (opening[0] == '1') {
            data.Send(std::move(bytes)).Close();
        } else {
            data.ReadToEnd();
        }
        return Through(data, opening, final, restAnswer);
    }
    // PASV and LIST with `listing` on the data connection.
    Download& Listing(const Lines& listing) {
        std::string bytes;
        for (const std::string& line : listing) {
            bytes += line + "\r\n";
        }
        return Transfer(std::move(bytes), "150 Here comes the listing");
    }
    void Begin() {
        peer.ReadToEnd();
        Connect();
        session.passive = 1;
    }
    // The command lines the server received.
    Lines Wire() {
        std::string bytes = WireBytes();
        Lines lines;
        for (size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            lines.push_back(bytes.substr(start, end - start));
        }
        return lines;
    }

    int Get(std::vector<int32_t> positions, int32_t flags, const std::string& local = {}) {
        SessionCommand command;
        command.kind = kCommandGet;
        command.text = local.empty() ? into : local;
        command.b = flags;
        command.c = pub;
        command.object = std::make_unique<PositionList>(cache, pub, std::move(positions));
        return getFiles(session, cache, command);
    }
    // The resumption of field 4's name, as the next session queues it.
    int Resume(const std::string& name, int32_t flags) {
        SessionCommand command;
        command.kind = kCommandGet;
        command.text = into;
        command.b = flags | (1 << kTransferSourceShift);
        command.c = pub;
        command.object = std::make_unique<TextPayload>(name);
        return getFiles(session, cache, command);
    }

    // Lines of the client's own that tell of a failure, a skip or a changed course.
    Lines Notes() {
        Lines notes;
        for (const auto& line : log.Take()) {
            if (line.kind != "LogCmd" &&
                (line.text.starts_with("@@@ ") || line.text.starts_with("*** ") ||
                 line.text.starts_with("!!! ") || line.text.starts_with("... auto"))) {
                notes.push_back(line.text);
            }
        }
        return notes;
    }
    // What the main window was sent: "AppTitle <text>" or "AppProgress <record>".
    Lines Window() {
        Lines texts;
        while (log.heap().PendingCount(window) > 0) {
            char topic[16];
            char text[512];
            uint32_t topicLength = sizeof topic;
            uint32_t length = sizeof text;
            EXPECT_EQ(log.heap().Receive(window, topic, &topicLength, text, &length, kWantBoth),
                      kWantBoth);
            texts.push_back(std::string(topic) + " " + std::string(text, strnlen(text, length)));
        }
        return texts;
    }
    Lines ProgressRecords() {
        Lines records;
        for (const std::string& line : Window()) {
            if (line.starts_with("AppProgress ")) {
                records.push_back(line.substr(12));
            }
        }
        return records;
    }
    std::string In(const std::string& name) const { return into + "/" + name; }
    int64_t ModifiedTime(const std::string& path) const {
        auto status = platform::LocalPathStatus(path);
        return status ? status->modified : -1;
    }

    test::TempFolder folder;
    std::string into;
    std::vector<std::unique_ptr<ScriptedPeer>> dataPeers;
    ListingCache cache;
    Observer observer;
    int32_t pub = -1;
    QueueId window = 0;
};

// --- one file ------------------------------------------------------------------------------

TEST_F(Download, TypeIsSentOnceAndEachFileGoesAsPasvThenRetr) {
    (void)Add(FileEntry("a.bin", 5, kLocalTime));
    (void)Add(FileEntry("b c.bin", 3, kLocalTime + 60));
    Answer("200 Type set to I").Transfer(std::string("\x00\x01\x02\xFF\n", 5)).Transfer("abc");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR a.bin", "PASV", "RETR b c.bin"}));
    EXPECT_EQ(test::ReadFileBytes(In("a.bin")), std::string("\x00\x01\x02\xFF\n", 5));
    EXPECT_EQ(test::ReadFileBytes(In("b c.bin")), "abc");
    EXPECT_EQ(ModifiedTime(In("a.bin")), kLocalTime) << "the listed time, biases being 0";
    EXPECT_EQ(ModifiedTime(In("b c.bin")), kLocalTime + 60);
    EXPECT_EQ(observer.word, kOutcomeDownloaded);
    EXPECT_EQ(session.currentType, 1);
    Lines titles;
    for (const std::string& line : Window()) {
        if (line.starts_with("AppTitle")) {
            titles.push_back(line);
        }
    }
    EXPECT_EQ(titles, (Lines{"AppTitle GET a.bin", "AppTitle ", "AppTitle GET b c.bin", "AppTitle ",
                             "AppTitle "}));
    EXPECT_FALSE(session.transferActive);
    Lines lines = log.TakeTexts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "GETing a.bin -> " + into), lines.end());
}

// The old file survives every refusal, also one that comes after "150" with no byte sent,
// and a file that was not there is not made.
TEST_F(Download, ARefusedTransferLeavesTheLocalFileAsItWas) {
    struct Row {
        const char* opening;
        const char* final;
        int result;
    };
    const Row rows[] = {{"550 No such file", "", 599},
                        {"425 Can't open data connection", "", 599},
                        {"150 Opening data", "550 File went away", 550}};
    test::WriteFileBytes(In("keep.bin"), "OLD CONTENT");
    ASSERT_TRUE(platform::SetLocalModificationTime(In("keep.bin"), kLocalTime - 999));
    (void)Add(FileEntry("keep.bin", 3, kLocalTime));
    (void)Add(FileEntry("absent.bin", 3, kLocalTime));
    (void)Add(FileEntry("next.bin", 4, kLocalTime));
    Answer("200 Type set to I");
    for (const Row& row : rows) {
        Transfer({}, row.opening, row.final).Transfer({}, row.opening, row.final);
    }
    Transfer("next");
    Begin();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.opening);
        observer.word = 0;
        EXPECT_EQ(Get({0, 1}, kImage), row.result);
        EXPECT_EQ(test::ReadFileBytes(In("keep.bin")), "OLD CONTENT");
        EXPECT_EQ(ModifiedTime(In("keep.bin")), kLocalTime - 999);
        EXPECT_FALSE(test::FileExists(In("absent.bin")));
        EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    }
    observer.word = 0;
    EXPECT_EQ(Get({2}, kImage), 226) << "the session goes on";
    EXPECT_EQ(observer.word, kOutcomeDownloaded);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR keep.bin", "PASV", "RETR absent.bin", "PASV",
                             "RETR keep.bin", "PASV", "RETR absent.bin", "PASV", "RETR keep.bin",
                             "PASV", "RETR absent.bin", "PASV", "RETR next.bin"}));
}

// Fewer bytes than listed, then "226": a failed download. It and a broken one leave a
// partial file that Update-ONLY does not take for up to date.
TEST_F(Download, AShortFileFailsAndUpdateOnlyFetchesEveryPartialFileAgain) {
    (void)Add(FileEntry("half.bin", 10, kLocalTime));
    (void)Add(FileEntry("cut.bin", 10, kLocalTime));
    Answer("200 Type set to I")
        .Transfer("12345")
        .Transfer("12", "150 Opening", "426 Connection lost");
    Transfer("0123456789").Transfer("abcdefghij");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 426);
    EXPECT_EQ(Notes(), Lines{"*** Short file: 5 of 10 bytes received for " + In("half.bin")});
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_EQ(test::ReadFileBytes(In("half.bin")), "12345");
    EXPECT_EQ(ModifiedTime(In("half.bin")), 0);
    EXPECT_EQ(ModifiedTime(In("cut.bin")), 0);

    observer.word = 0;
    EXPECT_EQ(Get({0, 1}, kImage | kTransferUpdateOnly), 226);
    EXPECT_EQ(observer.word, kOutcomeDownloaded);
    EXPECT_EQ(test::ReadFileBytes(In("half.bin")), "0123456789");
    EXPECT_EQ(test::ReadFileBytes(In("cut.bin")), "abcdefghij");
    EXPECT_EQ(ModifiedTime(In("cut.bin")), kLocalTime);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR half.bin", "PASV", "RETR cut.bin", "PASV",
                             "RETR half.bin", "PASV", "RETR cut.bin"}));
}

// Server names that are not plain names never become local paths; the rest still comes.
TEST_F(Download, UnsafeNamesAreRefusedAndNothingLandsOutsideTheFolder) {
    AddListed({
        "drwxr-xr-x 2 u g 4096 Jan 15 10:42 ..",
        "drwxr-xr-x 2 u g 4096 Jan 15 10:42 .",
        "-rw-r--r-- 1 u g    5 Jan 15 10:42 up/evil.txt",
        "drwxr-xr-x 2 u g 4096 Jan 15 10:42 sub",
        "-rw-r--r-- 1 u g    3 Jan 15 10:42 top.txt",
    });
    (void)Add(FileEntry(std::string("nul\0name", 8), 3));
    (void)Add(FileEntry(";1", 3, 0, kEntryVmsForm));  // a VMS name that is all version
    Answer("250 OK").Answer("257 \"/pub/sub\" is current");
    Listing({
        "drwxr-xr-x 2 u g 4096 Jan 15 10:42 .",
        "drwxr-xr-x 2 u g 4096 Jan 15 10:42 ..",
        "-rw-r--r-- 1 u g    5 Jan 15 10:42 a/b",
        "lrwxrwxrwx 1 u g   10 Jan 15 10:42 up -> deep/..",
        "lrwxrwxrwx 1 u g   10 Jan 15 10:42 x -> ../../etc/x",
        "-rw-r--r-- 1 u g    4 Jan 15 10:42 good.txt",
    });
    // The link x cannot be entered: it is fetched as the file its target's last part names.
    Answer("550 Not a directory").Answer("200 Type set to I").Transfer("link");
    Transfer("good").Answer("250 OK").Transfer("top");
    Begin();
    EXPECT_EQ(Get({0, 1, 2, 5, 6, 3, 4}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"CWD sub", "PWD", "PASV", "LIST", "CWD ../../etc/x", "TYPE I", "PASV",
                             "RETR ../../etc/x", "PASV", "RETR good.txt", "CWD /pub", "PASV",
                             "RETR top.txt"}));
    EXPECT_EQ(Tree(folder.root()),
              (Lines{"in", "in/sub", "in/sub/good.txt", "in/sub/x", "in/top.txt"}));
    EXPECT_EQ(test::ReadFileBytes(In("sub/x")), "link");
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadFailed);
    Lines refused;
    int pathNamesLines = 0;
    for (const auto& line : log.Take()) {
        if (line.text.starts_with("@@@ ")) {
            EXPECT_EQ(line.kind, "LogRaw");
            refused.push_back(line.text);
        }
        pathNamesLines += line.text == "!!! Names holding \"/\" not shown: 1" ? 1 : 0;
    }
    // "a/b" in a listing never reaches the cache.
    EXPECT_EQ(pathNamesLines, 1);
    const Lines names = {"..", ".", "up/evil.txt", "nul", ";1", "up"};
    ASSERT_EQ(refused.size(), names.size()) << "'.' and '..' inside a listing are skipped silently";
    for (size_t index = 0; index < names.size(); ++index) {
        EXPECT_TRUE(refused[index].ends_with(" " + names[index])) << refused[index];
    }
}

// Names from a search: each is looked up in the directory; a missing one fails alone.
TEST_F(Download, NamesAreLookedUpAndAMissingOneFailsAlone) {
    (void)Add(FileEntry("a.bin", 1, kLocalTime));
    Answer("200 Type set to I").Transfer("a");
    Begin();
    SessionCommand command;
    command.kind = kCommandGet;
    command.text = into;
    command.b = kImage | (2 << kTransferSourceShift);
    command.c = pub;
    command.object = std::make_unique<NameList>(Lines{"missing.bin", "a.bin"});
    EXPECT_EQ(getFiles(session, cache, command), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR a.bin"}));
    EXPECT_EQ(Notes(), Lines{"*** unable to find missing.bin"});
    EXPECT_EQ(test::ReadFileBytes(In("a.bin")), "a");
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadFailed);
}

// A local file that cannot be made once the server is sending: the transfer is closed, its
// final reply read, and the next item goes on in step with the server.
TEST_F(Download, ALocalFileThatCannotBeCreatedFailsThatItem) {
    (void)Add(FileEntry("a.bin", 1, kLocalTime));
    (void)Add(FileEntry("b.bin", 1, kLocalTime));
    Answer("200 Type set to I");
    Transfer("a", "150 Opening", "426 Connection closed; transfer aborted");
    Transfer("b", "150 Opening", "426 Connection closed; transfer aborted");
    Begin();
    const std::string missing = folder.path("missing");
    EXPECT_EQ(Get({0, 1}, kImage, missing), 599);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR a.bin", "PASV", "RETR b.bin"}));
    EXPECT_EQ(Notes(), (Lines{"@@@ Create failed on " + missing + "/a.bin",
                              "@@@ Create failed on " + missing + "/b.bin"}));
    EXPECT_EQ(Tree(folder.root()), Lines{"in"});
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
}

// A folder where the file should go is found before the server is asked.
TEST_F(Download, AFolderInTheWayOfAFileFailsThatItemBeforeTheWire) {
    (void)Add(FileEntry("x", 1, kLocalTime));
    (void)Add(FileEntry("y", 1, kLocalTime));
    ASSERT_TRUE(platform::MakeLocalFolder(In("x")));
    Answer("200 Type set to I").Transfer("y");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR y"}));
    EXPECT_EQ(Notes(), Lines{"@@@ Create failed on " + In("x")});
    EXPECT_EQ(Tree(into), (Lines{"x", "y"}));
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadFailed);
}

// The size of a link's file comes from its opening reply, else progress runs in kilobytes.
TEST_F(Download, ALinkToAFileTakesItsSizeFromTheOpeningReply) {
    struct Row {
        const char* opening;
        Lines records;
    };
    const std::string bytes(3000, 'z');
    const Row rows[] = {
        {"150 Opening BINARY mode data connection for rel.bin (3000 bytes)",
         {"<AP><ap pc=\"100\" fmt=\"GET rel.bin (%d%%)\" /></AP>", "<AP><ap pc=\"0\" /></AP>"}},
        {"150 Opening BINARY mode data connection for rel.bin",
         {"<AP><ap pc=\"2\" fmt=\"GET rel.bin (%dKB)\" /></AP>", "<AP><ap pc=\"0\" /></AP>"}},
    };
    (void)Add(LinkEntry("latest", "dist/rel.bin"));
    for (const Row& row : rows) {
        Answer("550 Not a directory");
        if (&row == rows) {
            Answer("200 Type set to I");
        }
        Transfer(bytes, row.opening);
    }
    Begin();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.opening);
        EXPECT_EQ(Get({0}, kImage), 226);
        EXPECT_EQ(test::ReadFileBytes(In("rel.bin")), bytes);
        Lines shown = ProgressRecords();
        // The 3000 bytes may come in pieces: only the last value counts, then the reset.
        ASSERT_GE(shown.size(), 3u);
        EXPECT_EQ(Lines(shown.end() - 3, shown.end() - 1), row.records);
        EXPECT_EQ(shown.back(), "<AP><ap pc=\"0\" /></AP>") << "getFiles' own reset";
    }
    EXPECT_EQ(Wire(), (Lines{"CWD dist/rel.bin", "TYPE I", "PASV", "RETR dist/rel.bin",
                             "CWD dist/rel.bin", "PASV", "RETR dist/rel.bin"}));
}

// A link listed without " -> target" goes by its own name.
TEST_F(Download, ALinkWithoutATargetIsFetchedByItsName) {
    (void)Add(LinkEntry("bare link", ""));
    Answer("550 Not a directory").Answer("200 Type set to I").Transfer("x");
    Begin();
    EXPECT_EQ(Get({0}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"CWD bare link", "TYPE I", "PASV", "RETR bare link"}));
    EXPECT_EQ(test::ReadFileBytes(In("bare link")), "x");
    Lines lines = log.TakeTexts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "GETing bare link -> " + into), 1);
}

// Update-ONLY compares times only; entries with a time of day are moved by the server's
// bias, year-only entries are compared as listed.
TEST_F(Download, UpdateOnlyFetchesOnlyWhatIsNewerOnTheServer) {
    struct Row {
        const char* name;
        int64_t time;
        uint32_t flags;
        int64_t size;
        bool fetched;
    };
    const int64_t bias = 3600;
    const Row rows[] = {
        {"newer.txt", kLocalTime - bias + 60, kEntryTimeValid, 3, true},
        {"equal.txt", kLocalTime - bias, kEntryTimeValid, 999, false},
        {"older.txt", kLocalTime - bias - 60, kEntryTimeValid, 999, false},
        {"year-newer.txt", kLocalTime + 60, 0, 3, true},
        {"year-older.txt", kLocalTime - 60, 0, 3, false},
        {"missing.txt", kLocalTime - 9999, kEntryTimeValid, 3, true},
    };
    session.serverBias = bias;
    std::vector<int32_t> positions;
    Answer("200 Type set to I");
    for (const Row& row : rows) {
        positions.push_back(Add(FileEntry(row.name, row.size, row.time, row.flags)));
        if (row.name != std::string("missing.txt")) {
            test::WriteFileBytes(In(row.name), "local");
            ASSERT_TRUE(platform::SetLocalModificationTime(In(row.name), kLocalTime));
        }
        if (row.fetched) {
            Transfer("new");
        }
    }
    Begin();
    EXPECT_EQ(Get(positions, kImage | kTransferUpdateOnly), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR newer.txt", "PASV", "RETR year-newer.txt",
                             "PASV", "RETR missing.txt"}));
    Lines skips;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(test::ReadFileBytes(In(row.name)), row.fetched ? "new" : "local");
        if (!row.fetched) {
            skips.push_back("!!! Update-ONLY; skipping GET of " + In(row.name));
        }
    }
    EXPECT_EQ(ModifiedTime(In("newer.txt")), kLocalTime + 60) << "the bias applies to the time";
    EXPECT_EQ(ModifiedTime(In("year-newer.txt")), kLocalTime + 60) << "and not to a year-only one";
    EXPECT_EQ(Notes(), skips);
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadSkipped);
}

// A LIST time is to the minute and in the server's zone; where the server has MDTM, its exact
// UTC time decides instead, and the listing's where MDTM gives nothing. An MLSD listing's
// time is exact already: no MDTM is sent.
TEST_F(Download, UpdateOnlyAsksMdtmWhereTheListingTimeIsNotExact) {
    const auto utc = [](int64_t seconds) {
        const auto time = static_cast<std::time_t>(seconds);
        std::tm parts{};
        char text[32];
        std::strftime(text, sizeof text, "213 %Y%m%d%H%M%S", gmtime_r(&time, &parts));
        return std::string(text);
    };
    struct Row {
        const char* name;
        int64_t listed;
        std::string mdtmAnswer;
        bool fetched;
    };
    const Row rows[] = {
        {"mdtm-newer.txt", kLocalTime - 3600, utc(kLocalTime + 1), true},
        {"mdtm-older.txt", kLocalTime + 3600, utc(kLocalTime - 1), false},
        {"mdtm-equal.txt", kLocalTime + 3600, utc(kLocalTime), false},
        {"fraction.txt", kLocalTime - 3600, utc(kLocalTime + 1) + ".250", true},
        {"refused.txt", kLocalTime + 3600, "550 No such file.", true},
        {"unreadable.txt", kLocalTime - 3600, "213 20201315104200", false},
    };
    session.features.mdtm = true;
    std::vector<int32_t> positions;
    Lines wire;
    for (const Row& row : rows) {
        positions.push_back(Add(FileEntry(row.name, 3, row.listed, kEntryTimeValid)));
        test::WriteFileBytes(In(row.name), "local");
        ASSERT_TRUE(platform::SetLocalModificationTime(In(row.name), kLocalTime));
        Answer(row.mdtmAnswer);
        wire.push_back(std::string("MDTM ") + row.name);
        if (row.fetched) {
            if (wire.size() == 1) {
                Answer("200 Type set to I");
                wire.push_back("TYPE I");
            }
            Transfer("new");
            wire.insert(wire.end(), {"PASV", std::string("RETR ") + row.name});
        }
    }
    const int32_t exact = Add(FileEntry("exact.txt", 3, kLocalTime + 1));
    test::WriteFileBytes(In("exact.txt"), "local");
    ASSERT_TRUE(platform::SetLocalModificationTime(In("exact.txt"), kLocalTime));
    Transfer("new");
    wire.insert(wire.end(), {"PASV", "RETR exact.txt"});
    Begin();
    EXPECT_EQ(Get(positions, kImage | kTransferUpdateOnly), 200) << "the last one was skipped";
    session.features.mlst = true;
    EXPECT_EQ(Get({exact}, kImage | kTransferUpdateOnly), 226);
    EXPECT_EQ(Wire(), wire);
    for (const Row& row : rows) {
        EXPECT_EQ(test::ReadFileBytes(In(row.name)), row.fetched ? "new" : "local") << row.name;
    }
    EXPECT_EQ(test::ReadFileBytes(In("exact.txt")), "new");
    // A fetched file takes MDTM's exact time, so that the next run finds it the same.
    EXPECT_EQ(ModifiedTime(In("mdtm-newer.txt")), kLocalTime + 1);
    EXPECT_EQ(ModifiedTime(In("refused.txt")), kLocalTime + 3600);
}

// The first received block decides the conversion of the whole file.
TEST_F(Download, SmartDownloadsConvertByTheirFirstBlock) {
    struct Row {
        const char* name;
        std::string first;
        std::string rest;
        std::string stored;
        const char* detected;
    };
    const Row rows[] = {
        {"unix.txt", "one\ntwo\n", "", "one\ntwo\n", "Local-ASCII"},
        {"mac.txt", "one\rtwo\r", "", "one\ntwo\n", "Mac-ASCII"},
        {"dos.txt", "one\r\ntwo\r\n", "", "one\ntwo\n", "DOS-ASCII"},
        {"manual.pdf", "one\r\ntwo\r\n", "", "one\r\ntwo\r\n", "Image"},
        {"Manual.PDF", "one\rtwo\r", "", "one\rtwo\r", "Image"},
        {"odd.Pdf", "one\r\ntwo\r\n", "", "one\ntwo\n", "DOS-ASCII"},
        {"bytes.bin", "one\r\ntwo\r\n\xE9", "", "one\r\ntwo\r\n\xE9", "Image"},
        {"empty.txt", "", "", "", "Image"},
        // A later block is converted the same way, whatever it holds.
        {"later.txt", "a\r\nb\r\n", "c\rd\xE9\r\n\n", "a\nb\nc\rd\xE9\n\n", "DOS-ASCII"},
        // A line end split between two blocks is one line end.
        {"split.txt", "a\r\nb\r", "\nc\r\n", "a\nb\nc\n", "DOS-ASCII"},
        {"splitmac.txt", "a\rb\r", "\nc\r", "a\nb\nc\n", "Mac-ASCII"},
        // A final CR without its LF is kept.
        {"lastcr.txt", "a\r\nb\r", "", "a\nb\r", "DOS-ASCII"},
    };
    std::vector<int32_t> positions;
    Answer("200 Type set to I");
    for (const Row& row : rows) {
        positions.push_back(Add(FileEntry(row.name, 0)));
        ScriptedPeer& data = NewDataPeer().Send(row.first);
        if (!row.rest.empty()) {
            data.Delay(std::chrono::milliseconds(300)).Send(row.rest);
        }
        Through(data.Close());
    }
    Begin();
    EXPECT_EQ(Get(positions, kSmart), 226);
    Lines detected;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(test::ReadFileBytes(In(row.name)), row.stored);
        detected.push_back(std::string("... auto-detected \"effective\" transfer type: ") +
                           row.detected);
    }
    EXPECT_EQ(Notes(), detected);
    EXPECT_EQ(Wire().front(), "TYPE I") << "Smart downloads are fetched as image";
}

// Text comes with the wire's CR LF and is stored with LF, also when a CR LF is split
// between two blocks; a lone CR is data.
TEST_F(Download, TextModeStoresLfLines) {
    (void)Add(FileEntry("notes.txt", 8));
    session.currentType = 1;
    Answer("200 Type set to A");
    Through(NewDataPeer()
                .Send("one\r\ntwo\r")
                .Delay(std::chrono::milliseconds(300))
                .Send("\nthree\rfour\n\r")
                .Close());
    Begin();
    EXPECT_EQ(Get({0}, makeTransferFlags(TransferType::Text, false, 0)), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE A N", "PASV", "RETR notes.txt"}));
    EXPECT_EQ(test::ReadFileBytes(In("notes.txt")), "one\ntwo\nthree\rfour\n\r");
    EXPECT_EQ(Notes(), Lines{});
}

TEST_F(Download, RefusedTypeStopsTheWholeCommand) {
    (void)Add(FileEntry("a.bin", 5));
    (void)Add(FileEntry("b.bin", 5));
    Answer("504 Type not implemented");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 504);
    EXPECT_EQ(Wire(), Lines{"TYPE I"});
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_FALSE(test::FileExists(In("a.bin")));
}

// The user's stop: one ABOR however often it is pressed, the partial file stays, and the
// command ends after the current item.
TEST_F(Download, AStopDuringADownloadSendsAborOnceAndKeepsThePartialFile) {
    const std::string bytes(200 * 1024, 'p');
    (void)Add(FileEntry("big.bin", static_cast<int64_t>(bytes.size()), kLocalTime));
    (void)Add(FileEntry("next.bin", 4, kLocalTime));
    Answer("200 Type set to I").Transfer(bytes, "150 Opening", "");
    peer.ReadLine().SendLine("426 Transfer aborted").SendLine("226 Abort successful");
    observer.atStep = [this] {
        abortTransfers(session);
        abortTransfers(session);
    };
    PostCommand(session, kCommandList, "/later");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR big.bin",
                             "\xFF\xF4\xFF\xF2"
                             "ABOR"}));
    std::string partial = test::ReadFileBytes(In("big.bin"));
    EXPECT_GE(partial.size(), 64u * 1024);
    EXPECT_LT(partial.size(), bytes.size());
    EXPECT_EQ(partial, bytes.substr(0, partial.size()));
    EXPECT_NE(ModifiedTime(In("big.bin")), kLocalTime);
    EXPECT_FALSE(test::FileExists(In("next.bin")));
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_FALSE(session.abortRequested) << "cleared for the next command";
    EXPECT_TRUE(session.queue.empty());
    Lines lines = log.TakeTexts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<ABOR"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Transfer terminated, queue flushed"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Transfer terminated"), 0);
}

// A stop while the Smart download waits for its first block sends ABOR and ends the wait,
// also when the server sends nothing.
TEST_F(Download, AStopWhileTheSmartFirstBlockIsAwaitedEndsTheDownload) {
    (void)Add(FileEntry("slow.txt", 10, kLocalTime));
    Answer("200 Type set to I");
    Through(NewDataPeer().ReadToEnd(), "150 Opening", "");
    peer.ReadLine().SendLine("426 Transfer aborted").SendLine("226 Abort successful");
    Begin();
    SetSessionTimeout(session, 10);  // a missing stop fails by the time-out, never hangs
    std::thread stopper([this] {
        for (int tries = 0; tries < 5000 && !session.transferActive; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        abortTransfers(session);
    });
    EXPECT_EQ(Get({0}, kSmart), 226);
    stopper.join();
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR slow.txt",
                             "\xFF\xF4\xFF\xF2"
                             "ABOR"}));
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    Lines lines = log.TakeTexts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Transfer terminated"), 1);
}

// --- trees ---------------------------------------------------------------------------------

TEST_F(Download, ATreeReusesExistingFoldersAndCreatesMissingOnes) {
    (void)Add(FileEntry("tree", 0, 0, kEntryDirectory));
    ASSERT_TRUE(platform::MakeLocalFolder(In("tree")));
    test::WriteFileBytes(In("tree/old.txt"), "kept");
    Answer("250 OK").Answer("257 \"/pub/tree\"");
    Listing({"-rw-r--r-- 1 u g 1 Jan 15 10:42 f1", "drwxr-xr-x 2 u g 0 Jan 15 10:42 inner"});
    Answer("200 Type set to I").Transfer("1");
    Answer("250 OK").Answer("257 \"/pub/tree/inner\"").Answer("200 Type set to A");
    Listing({"-rw-r--r-- 1 u g 1 Jan 15 10:42 f2"});
    Answer("200 Type set to I").Transfer("2");
    Begin();
    EXPECT_EQ(Get({0}, kImage), 226);
    EXPECT_EQ(Wire(),
              (Lines{"CWD tree", "PWD", "PASV", "LIST", "TYPE I", "PASV", "RETR f1", "CWD inner",
                     "PWD", "TYPE A N", "PASV", "LIST", "TYPE I", "PASV", "RETR f2"}));
    EXPECT_EQ(Tree(into),
              (Lines{"tree", "tree/f1", "tree/inner", "tree/inner/f2", "tree/old.txt"}));
    Lines lines = log.TakeTexts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Creating LOCAL directory " + In("tree")), 0);
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "Creating LOCAL directory " + In("tree/inner")), 1);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.starts_with("@@@ ") || line.starts_with("*** ");
                            }),
              0);
}

// A link to a folder is copied as a folder named after the link, not after its target.
TEST_F(Download, ALinkToAFolderBecomesAFolderNamedAfterTheLink) {
    (void)Add(LinkEntry("latest", "release/1.2"));
    Answer("250 OK").Answer("257 \"/pub/release/1.2\"");
    Listing({"-rw-r--r-- 1 u g 1 Jan 15 10:42 notes.txt"});
    Answer("200 Type set to I").Transfer("n");
    Begin();
    EXPECT_EQ(Get({0}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"CWD release/1.2", "PWD", "PASV", "LIST", "TYPE I", "PASV",
                             "RETR notes.txt"}));
    EXPECT_EQ(Tree(into), (Lines{"latest", "latest/notes.txt"}));
}

TEST_F(Download, AFileInTheWayOfAFolderStopsTheWholeCommand) {
    (void)Add(FileEntry("sub", 0, 0, kEntryDirectory));
    (void)Add(FileEntry("after.txt", 5));
    test::WriteFileBytes(In("sub"), "a plain file");
    Answer("250 OK").Answer("257 \"/pub/sub\"").Listing({"-rw-r--r-- 1 u g 1 Jan 15 10:42 f"});
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 599);
    EXPECT_EQ(Wire(), (Lines{"CWD sub", "PWD", "PASV", "LIST"}));
    EXPECT_EQ(Notes(), Lines{"@@@ Unable to create [directory] " + In("sub")});
    EXPECT_EQ(test::ReadFileBytes(In("sub")), "a plain file");
    EXPECT_FALSE(test::FileExists(In("after.txt")));
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
}

// A folder whose listing holds more entries than the cache takes (set low here) fails the
// command, as any folder that cannot be listed does.
TEST_F(Download, AFolderListingBeyondTheEntryLimitFails) {
    cache.SetEntryLimit(2);
    (void)Add(FileEntry("many", 0, 0, kEntryDirectory));
    Answer("250 OK").Answer("257 \"/pub/many\"");
    Listing({"-rw-r--r-- 1 u g 1 Jan 15 10:42 f1", "-rw-r--r-- 1 u g 1 Jan 15 10:42 f2",
             "-rw-r--r-- 1 u g 1 Jan 15 10:42 f3"});
    Begin();
    EXPECT_EQ(Get({0}, kImage), 599);
    EXPECT_EQ(Wire(), (Lines{"CWD many", "PWD", "PASV", "LIST"}));
    EXPECT_EQ(Notes(), Lines{"*** Listing has more than 2 entries; stopped reading it"});
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_FALSE(cache.IsComplete(cache.FindPath("/pub/many")));
}

// A link back to a directory being fetched ends that branch; the rest goes on.
TEST_F(Download, ALinkBackIntoTheTreeEndsThatBranch) {
    (void)Add(FileEntry("a", 0, 0, kEntryDirectory));
    (void)Add(FileEntry("after.txt", 5));
    Answer("250 OK").Answer("257 \"/pub/a\"");
    Listing({"lrwxrwxrwx 1 u g 3 Jan 15 10:42 back -> ../", "-rw-r--r-- 1 u g 1 Jan 15 10:42 f"});
    // The server follows the link and reports a directory the download is inside.
    Answer("250 OK").Answer("257 \"/pub\"");
    Answer("250 OK").Answer("200 Type set to I").Transfer("f");
    Answer("250 OK").Transfer("after");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"CWD a", "PWD", "PASV", "LIST", "CWD ../", "PWD", "CWD /pub/a",
                             "TYPE I", "PASV", "RETR f", "CWD /pub", "PASV", "RETR after.txt"}));
    EXPECT_EQ(Tree(into), (Lines{"a", "a/f", "after.txt"}));
    Lines notes = Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].starts_with("*** ")) << notes[0];
    EXPECT_NE(notes[0].find("/pub"), std::string::npos) << notes[0];
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadFailed);
}

// A server that answers every CWD with a new folder holding one more: the command stops at
// its limit of folders (small here) with the failure bit.
TEST_F(Download, ATreeThatNeverEndsStopsAtTheFolderLimit) {
    int32_t position = Add(FileEntry("a", 0, 0, kEntryDirectory));
    for (int level = 1; level <= 3; ++level) {
        Answer("250 OK").Answer("257 \"/pub/" + std::to_string(level) + "\"");
        Listing({"drwxr-xr-x 2 u g 4096 Jan 15 10:42 a"});
    }
    Begin();
    DirectoryTrail trail;
    trail.path.push_back("/pub");
    trail.folderLimit = 2;
    EXPECT_EQ(getDirectory(session, cache, pub, position, In("a"), kImage, trail), -599);
    EXPECT_EQ(Wire(), (Lines{"CWD a", "PWD", "PASV", "LIST", "CWD a", "PWD", "PASV", "LIST",
                             "CWD a", "PWD", "PASV", "LIST"}));
    EXPECT_EQ(Notes(), Lines{"*** Too many folders for one command; stopped at /pub/3"});
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_EQ(trail.path, Lines{"/pub"});
    EXPECT_EQ(Tree(into), (Lines{"a", "a/a"}));
}

// The guard every tree command passes: loops and depths end a branch, the folder limit the
// command.
TEST(DirectoryTrailTest, LoopsDepthAndTheFolderLimit) {
    test::LogCapture log;
    DirectoryTrail trail;
    trail.path.push_back("/t");
    for (size_t level = 1; level <= kMaxTreeDepth; ++level) {
        ASSERT_EQ(enterFolder(trail, "/t/" + std::to_string(level)), TrailStep::Enter);
    }
    EXPECT_EQ(enterFolder(trail, "/t/deeper"), TrailStep::Skip);
    EXPECT_EQ(enterFolder(trail, "/t/7"), TrailStep::Skip);
    leaveFolder(trail);
    EXPECT_EQ(enterFolder(trail, "/t/again"), TrailStep::Enter);
    trail.folderLimit = trail.entered;
    leaveFolder(trail);
    EXPECT_EQ(enterFolder(trail, "/t/more"), TrailStep::Stopped);
    EXPECT_EQ(trail.path.size(), kMaxTreeDepth);
    EXPECT_EQ(log.TakeTexts(), (Lines{"*** Directory tree too deep; not descending into /t/deeper",
                                      "*** Directory loop on the server; not descending into /t/7",
                                      "*** Too many folders for one command; stopped at /t/more"}));
}

// Links with long names and short targets: the server's paths stay short while the local
// one grows past the system's limit.
TEST_F(Download, ATreeDeeperThanTheLocalPathLimitEndsThatBranch) {
    const std::string longName(200, 'n');
    const size_t levels = platform::MaxLocalPathLength() / (longName.size() + 1) + 2;
    (void)Add(LinkEntry(longName, "x"));
    (void)Add(FileEntry("after.txt", 5));
    int32_t parent = pub;
    int32_t position = 0;
    std::string path = "/pub";
    for (size_t level = 0; level < levels; ++level) {
        path += "/x";
        int32_t id = cache.FindOrCreate(path, parent, position, true);
        position = Add(LinkEntry(longName, "x"), id);
        parent = id;
    }
    std::string walk = "/pub";
    Lines expected;
    size_t made = 0;
    for (std::string local = into + "/" + longName; local.size() <= platform::MaxLocalPathLength();
         local += "/" + longName) {
        walk += "/x";
        expected.push_back("CWD " + walk);
        ++made;
    }
    for (size_t level = 0; level < made; ++level) {
        Answer("250 OK");
    }
    Answer("250 OK").Answer("200 Type set to I").Transfer("after");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 226);
    expected.insert(expected.end(), {"CWD /pub", "TYPE I", "PASV", "RETR after.txt"});
    EXPECT_EQ(Wire(), expected);
    Lines notes = Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].starts_with("*** ")) << notes[0];
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadFailed);
    std::string deepest = into;
    for (size_t level = 0; level < made; ++level) {
        deepest += "/" + longName;
    }
    EXPECT_TRUE(std::filesystem::is_directory(deepest));
    EXPECT_TRUE(test::FileExists(In("after.txt")));
}

// --- recovery ------------------------------------------------------------------------------

class RecoveredDownload : public Download {
  public:
    void SetUp() override {
        Download::SetUp();
        ASSERT_GT(database.ClaimRestartSlot(true), 0);
        session.restartEnabled = true;
        session.restartDatabase = &database;
    }
    RestartDatabase database{folder.root() + "/"};
};

// A local write that fails (here: the file-size limit) is a local failure, not a network
// error: the line names the system's reason, the record has nothing pending, and the
// session goes on.
TEST_F(RecoveredDownload, AFailedLocalWriteIsNoNetworkError) {
    (void)Add(FileEntry("large.bin", 64 * 1024));
    Answer("200 Type set to I")
        .Transfer(std::string(64 * 1024, 'x'), "150 Opening data",
                  "426 Connection closed; transfer aborted");
    Begin();
    int code = test::RunWithFileSizeLimit(1000, [&] { return Get({0}, kImage); });
    EXPECT_EQ(code, 426);
    Lines notes = Notes();
    ASSERT_EQ(notes.size(), 1u) << ::testing::PrintToString(notes);
    EXPECT_EQ(notes[0], "@@@ Error writing local file File too large");
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_EQ(database.GetRestartPending(), 0u);
}

// The same past the first block, where an image download's bytes go from the socket
// straight into the file: the file holds exactly what the limit let through.
TEST_F(RecoveredDownload, AFailedDirectWriteIsNoNetworkError) {
    const std::string bytes(128 * 1024, 'y');
    (void)Add(FileEntry("large.bin", static_cast<int64_t>(bytes.size())));
    Answer("200 Type set to I")
        .Transfer(bytes, "150 Opening data", "426 Connection closed; transfer aborted");
    Begin();
    int code = test::RunWithFileSizeLimit(100'000, [&] { return Get({0}, kImage); });
    EXPECT_EQ(code, 426);
    EXPECT_EQ(Notes(), Lines{"@@@ Error writing local file File too large"});
    EXPECT_EQ(test::ReadFileBytes(In("large.bin")), bytes.substr(0, 100'000));
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
    EXPECT_EQ(database.GetRestartPending(), 0u);
}

TEST_F(RecoveredDownload, TheRecordDescribesTheTransferAndIsPendingWhileDataFlows) {
    const std::string bytes(1024 * 1024, 'd');
    (void)Add(FileEntry("big.bin", static_cast<int64_t>(bytes.size())));
    Answer("200 Type set to I").Transfer(bytes);
    std::string atStart;
    Lines pendingAtSteps;
    observer.atStart = [&] {
        atStart = database.GetRestartField(kRestartFieldRemoteName) + " " +
                  database.GetRestartField(kRestartFieldLocal) + " " +
                  std::to_string(database.GetRestartPending());
    };
    observer.atStep = [&] {
        pendingAtSteps.push_back(std::to_string(database.GetRestartPending()));
    };
    Begin();
    EXPECT_EQ(Get({0}, kImage), 226);
    (void)Wire();
    EXPECT_EQ(atStart, "big.bin " + into + " 0") << "described before the data, not yet pending";
    ASSERT_GE(pendingAtSteps.size(), 2u);
    EXPECT_EQ(pendingAtSteps.back(), "1") << "pending while the data flows";
    EXPECT_EQ(database.GetRestartField(kRestartFieldOperation), "Gi");
    EXPECT_EQ(database.GetRestartPending(), 0u) << "a clean end";
    EXPECT_EQ(test::ReadFileBytes(In("big.bin")), bytes);
}

// A broken transfer (a failing final reply, or a reset data connection) stays pending with
// its partial file and stops the command.
TEST_F(RecoveredDownload, ABrokenTransferIsANetworkErrorThatStopsTheCommand) {
    struct Row {
        const char* final;
        bool reset;
        Lines notes;
    };
    const Lines lost = {"*** Network error, queue flushed"};
    const Row rows[] = {
        {"426 Connection lost", false, lost},
        {"226 Transfer complete", true, lost},
        // A clean close and "226", but the file is short.
        {"226 Transfer complete",
         false,
         {"*** Short file: 7 of 100 bytes received for " + In("broken.bin"), lost[0]}},
    };
    (void)Add(FileEntry("broken.bin", 100, kLocalTime));
    (void)Add(FileEntry("next.bin", 5, kLocalTime));
    Answer("200 Type set to I");
    for (const Row& row : rows) {
        ScriptedPeer& data = NewDataPeer().Send("partial");
        Through(row.reset ? data.Delay(std::chrono::milliseconds(100)).Abort() : data.Close(),
                "150 Opening", row.final);
    }
    Begin();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.final);
        database.SetRestartPending(0);
        observer.word = 0;
        EXPECT_EQ(Get({0, 1}, kImage), 421);
        EXPECT_EQ(Notes(), row.notes);
        EXPECT_EQ(database.GetRestartPending(), 1u);
        EXPECT_EQ(database.GetRestartField(kRestartFieldRemoteName), "broken.bin");
        EXPECT_EQ(database.GetRestartField(kRestartFieldLocal), into);
        EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
        EXPECT_FALSE(session.transferActive);
        EXPECT_EQ(ModifiedTime(In("broken.bin")), 0) << "a partial file is never up to date";
        EXPECT_FALSE(test::FileExists(In("next.bin"))) << "the command stopped";
    }
    EXPECT_EQ(test::ReadFileBytes(In("broken.bin")).substr(0, 7), "partial");
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR broken.bin", "PASV", "RETR broken.bin", "PASV",
                             "RETR broken.bin"}));
}

// A data connection that goes silent times out: a lost connection, so the record stays
// pending and the command ends with 421.
TEST_F(RecoveredDownload, ASilentDataConnectionTimesOutAsANetworkError) {
    (void)Add(FileEntry("stalled.bin", 100, kLocalTime));
    Answer("200 Type set to I");
    Through(NewDataPeer().Send("partial").ReadToEnd(), "150 Opening", "");
    Begin();
    SetSessionTimeout(session, 1);
    EXPECT_EQ(Get({0}, kImage), 421);
    EXPECT_EQ(Notes(), (Lines{"*** Time-out after 1 second waiting for DATA",
                              "@@@ [CONTROL] Receive failed -> WSAETIMEDOUT",
                              "*** Network error, queue flushed"}));
    EXPECT_EQ(database.GetRestartPending(), 1u);
    EXPECT_EQ(test::ReadFileBytes(In("stalled.bin")), "partial");
    EXPECT_EQ(observer.word, kOutcomeDownloadFailed);
}

// Without recovery the item ends with the final reply and the command goes on.
TEST_F(Download, WithoutRecoveryABrokenTransferEndsWithItsReply) {
    (void)Add(FileEntry("broken.bin", 100, kLocalTime));
    (void)Add(FileEntry("next.bin", 4, kLocalTime));
    Answer("200 Type set to I").Transfer("partial", "150 Opening", "426 Connection lost");
    Transfer("next");
    Begin();
    EXPECT_EQ(Get({0, 1}, kImage), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR broken.bin", "PASV", "RETR next.bin"}));
    EXPECT_EQ(Notes(), Lines{});
    EXPECT_EQ(test::ReadFileBytes(In("broken.bin")), "partial");
    EXPECT_NE(ModifiedTime(In("broken.bin")), kLocalTime);
    EXPECT_EQ(test::ReadFileBytes(In("next.bin")), "next");
    EXPECT_EQ(observer.word, kOutcomeDownloaded | kOutcomeDownloadFailed);
}

// The next session resumes at the partial file's length; a server that refuses REST sends
// the whole file, which then replaces the partial one. Where the server has SIZE, a partial
// file longer than the server's is fetched whole.
TEST_F(RecoveredDownload, AResumptionSendsRestWithThePartialLength) {
    struct Row {
        const char* restAnswer;
        const char* sent;
        const char* stored;
        const char* summary;
        const char* sizeAnswer = nullptr;  // null: the server offers no SIZE
        const char* rest = "REST 5";
    };
    const Row rows[] = {
        {"350 Restarting at 5", " WORLD!", "HELLO WORLD!", "... received 7 bytes in "},
        {"502 REST not implemented", "hello world!", "hello world!", "... received 12 bytes in "},
        {"350 Restarting at 5", " WORLD!", "HELLO WORLD!", "... received 7 bytes in ", "213 12"},
        {"350 Restarting at 0", "abc", "abc", "... received 3 bytes in ", "213 3", "REST 0"},
        {"350 Restarting at 5", " WORLD!", "HELLO WORLD!", "... received 7 bytes in ",
         "550 Could not get file size."},
    };
    (void)Add(FileEntry("big.bin", 12, kLocalTime));
    Answer("200 Type set to I");
    Lines wire = {"TYPE I"};
    for (const Row& row : rows) {
        if (row.sizeAnswer != nullptr) {
            Answer(row.sizeAnswer);
            wire.push_back("SIZE big.bin");
        }
        Transfer(row.sent, "150 Opening", "226 Done", row.restAnswer);
        wire.insert(wire.end(), {"PASV", row.rest, "RETR big.bin"});
    }
    Begin();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.restAnswer) + (row.sizeAnswer ? row.sizeAnswer : ""));
        session.features.size = row.sizeAnswer != nullptr;
        test::WriteFileBytes(In("big.bin"), "HELLOxxxxxxxxxxxxxxxxxxx");
        std::filesystem::resize_file(In("big.bin"), 5);
        session.restartOffset = 1;  // the pending flag found at connect
        database.SetRestartPending(1);
        EXPECT_EQ(Resume("big.bin", kImage), 226);
        EXPECT_EQ(test::ReadFileBytes(In("big.bin")), row.stored);
        EXPECT_EQ(database.GetRestartPending(), 0u);
        EXPECT_EQ(session.restartOffset, 0u);
        EXPECT_FALSE(session.restartRequested);
        Lines lines = log.TakeTexts();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Restarting GET of big.bin"), lines.end());
        EXPECT_EQ(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.starts_with(row.summary); }),
            1);
    }
    EXPECT_EQ(Wire(), wire);
    EXPECT_EQ(observer.word, kOutcomeDownloaded);
}

// A resumption that did not happen (the name is gone, the server refuses the file) must
// not turn the next download into one: no REST, and the local file is replaced.
TEST_F(RecoveredDownload, AResumptionThatDidNotHappenLeavesLaterDownloadsFresh) {
    (void)Add(FileEntry("refused.bin", 12, kLocalTime));
    (void)Add(FileEntry("a.bin", 3, kLocalTime));
    Answer("200 Type set to I").Transfer("new");
    Transfer({}, "550 Permission denied", {}, "350 Restarting at 5").Transfer("new");
    Begin();
    test::WriteFileBytes(In("refused.bin"), "HELLO");
    for (const char* name : {"gone.bin", "refused.bin"}) {
        SCOPED_TRACE(name);
        test::WriteFileBytes(In("a.bin"), "OLD CONTENT");
        session.restartOffset = 1;
        EXPECT_EQ(Resume(name, kImage), name == std::string("gone.bin") ? 550 : 599);
        EXPECT_FALSE(session.restartRequested);
        EXPECT_EQ(Get({1}, kImage), 226);
        EXPECT_EQ(test::ReadFileBytes(In("a.bin")), "new");
        EXPECT_EQ(database.GetRestartField(kRestartFieldOperation), "Gi");
    }
    EXPECT_EQ(test::ReadFileBytes(In("refused.bin")), "HELLO");
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "RETR a.bin", "PASV", "REST 5", "RETR refused.bin",
                             "PASV", "RETR a.bin"}));
    Lines notes = Notes();
    EXPECT_NE(std::find(notes.begin(), notes.end(), "*** restart failed on gone.bin"), notes.end());
}

}  // namespace
}  // namespace qvex
