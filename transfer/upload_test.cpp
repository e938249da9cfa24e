// Uploads over a scripted server: the exact commands, the bytes the data connection
// carries, the outcome bits, the log lines and the cached listing afterwards.
#include "transfer/upload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/session_worker.h"
#include "platform/local_file.h"
#include "state/restart_database.h"
#include "tests/support/scripted_session.h"
#include "tests/support/temp_env.h"
#include "transfer/listing_cache.h"
#include "transfer/transfer_queue.h"
#include "transfer/transfer_type.h"

namespace qvex {
namespace {

using test::ScriptedPeer;
using Lines = std::vector<std::string>;

constexpr int64_t kModified = 1'500'000'000;  // the local files' time
const int32_t kImage = makeTransferFlags(TransferType::Image, false, 0);

int32_t Source(int32_t kind) {
    return kind << kTransferSourceShift;
}

// Outcome bits; optionally the user's stop (pressed twice) at the first progress step.
class Outcomes : public SessionObserver {
  public:
    void OnOutcome(uint32_t bits) override { word |= bits; }
    void OnTransferProgress(uint32_t) override {
        if (stopping != nullptr) {
            abortTransfers(*stopping);
            abortTransfers(*stopping);
        }
    }
    uint32_t word = 0;
    SessionWorker* stopping = nullptr;
};

// The server starts in "/pub", whose listing the cache holds; local files live in `folder`.
class Upload : public test::ScriptedSessionTest {
  public:
    void SetUp() override {
        session.observer = &outcomes;
        session.workingDirectory = session.currentDirectory = "/pub";
        pub = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
    }

    std::string Local(const std::string& name, const std::string& bytes) {
        std::string path = folder.path(name);
        test::WriteFileBytes(path, bytes);
        EXPECT_TRUE(platform::SetLocalModificationTime(path, kModified));
        return path;
    }
    void Cached(const std::string& name, int64_t size, int64_t time, uint32_t flags = 0) {
        RemoteEntry entry;
        entry.name = name;
        entry.size = size;
        entry.time = time;
        entry.flags = flags;
        (void)cache.AppendEntry(pub, std::move(entry));
    }

    Upload& Answer(const std::string& reply) {
        peer.ReadLine().SendLine(reply);
        return *this;
    }
    // PASV answered with a new data peer's port: the peer sends `bytes` and closes (a
    // listing), or without them records what it is sent.
    ScriptedPeer& Passive(std::optional<std::string> bytes) {
        auto& data = *dataPeers.emplace_back(std::make_unique<ScriptedPeer>());
        if (bytes) {
            data.Send(std::move(*bytes)).Close();
        } else {
            data.ReadToEnd();
        }
        EXPECT_TRUE(data.Start());
        Answer("227 Entering Passive Mode (127,0,0,1," + std::to_string(data.port() >> 8) + "," +
               std::to_string(data.port() & 0xFF) + ").");
        return data;
    }
    void Listing(std::string bytes) {
        (void)Passive(std::move(bytes));
        Answer("150 Here comes the listing");
        peer.SendLine("226 Directory send OK");
    }
    // PASV and the store command; the data connection records what it is sent. Without a
    // final reply the script goes on right after the opening one.
    ScriptedPeer& Store(const std::string& final = "226 Transfer complete",
                        const std::string& opening = "150 Ok to send data") {
        ScriptedPeer& data = Passive(std::nullopt);
        Answer(opening);
        if (opening[0] == '1' && !final.empty()) {
            peer.SendLine(final);
        }
        return data;
    }
    void Begin() {
        peer.ReadToEnd();
        Connect();
        session.passive = 1;
    }
    Lines Wire() {
        std::string bytes = WireBytes();
        Lines lines;
        size_t start = 0;
        for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.push_back(bytes.substr(start, end - start));
        }
        return lines;
    }
    // What each data connection received, after the conversation.
    std::string Sent(size_t transfer) {
        EXPECT_TRUE(dataPeers.at(transfer)->Wait());
        return dataPeers.at(transfer)->received(0);
    }

    int Put(int32_t flags, std::vector<std::string> paths, std::string text = {}) {
        SessionCommand command;
        command.kind = kCommandPut;
        command.text = std::move(text);
        command.b = flags;
        command.c = pub;
        command.object = std::make_unique<NameList>(std::move(paths));
        return putFiles(session, cache, command);
    }
    int PutOne(int32_t flags, const std::string& path) { return Put(flags | Source(1), {}, path); }
    std::optional<RemoteEntry> Remote(const std::string& name, int32_t directory = -1) {
        directory = directory < 0 ? pub : directory;
        int32_t position = cache.FindEntry(directory, name);
        return position < 0 ? std::nullopt : cache.Entry(directory, position);
    }
    // The client's failure, skip and choice lines.
    Lines Notes() {
        Lines notes;
        for (const auto& line : log.Take()) {
            const std::string& text = line.text;
            if (line.kind != "LogCmd" &&
                (text.starts_with("@@@ ") || text.starts_with("*** ") || text.starts_with("!!! ") ||
                 text.starts_with("... auto"))) {
                notes.push_back(text);
            }
        }
        return notes;
    }

    test::TempFolder folder;
    std::vector<std::unique_ptr<ScriptedPeer>> dataPeers;
    ListingCache cache;
    Outcomes outcomes;
    int32_t pub = -1;
};

// --- files ---------------------------------------------------------------------------------

// Every source kind names its files its own way; each goes up byte for byte.
TEST_F(Upload, StorSendsTheFileByteForByteForEverySourceKind) {
    std::string binary;
    for (int index = 0; index < 20000; ++index) {
        binary.push_back(static_cast<char>(index * 7 % 256));
    }
    const std::string big = Local("big.bin", binary);
    (void)Local("a.txt", "a\n");
    (void)Local("b.txt", "b\r\n");
    session.localBias = 7200;
    session.serverBias = 3600;
    Answer("200 Type set to I");
    for (int transfer = 0; transfer < 5; ++transfer) {
        (void)Store();
    }
    Begin();
    EXPECT_EQ(PutOne(kImage, big), 226);
    EXPECT_EQ(Put(kImage | Source(2), {"a.txt", "b.txt"}, folder.root()), 226);
    EXPECT_EQ(Put(kImage | Source(2), {"a.txt"}, folder.root() + "/"), 226);
    EXPECT_EQ(Put(kImage | Source(3), {folder.path("b.txt")}), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR big.bin", "PASV", "STOR a.txt", "PASV",
                             "STOR b.txt", "PASV", "STOR a.txt", "PASV", "STOR b.txt"}));
    EXPECT_EQ(Sent(0), binary);
    EXPECT_EQ(Sent(1), "a\n");
    EXPECT_EQ(Sent(2), "b\r\n");
    EXPECT_EQ(Sent(3), "a\n");
    EXPECT_EQ(Sent(4), "b\r\n");
    EXPECT_EQ(outcomes.word, kOutcomeUploaded);
    std::optional<RemoteEntry> stored = Remote("big.bin");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size, 20000);
    EXPECT_EQ(stored->time, kModified + 3600) << "local time plus the local bias less the server's";
    EXPECT_NE(stored->flags & kEntryTimeValid, 0u);
    EXPECT_FALSE(isDirectory(*stored));
    EXPECT_EQ(cache.EntryCount(pub), 3) << "a second upload replaces the cached entry";
    Lines lines = log.TakeTexts();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "PUTing " + big), lines.end());
}

TEST_F(Upload, AnEmptyFileIsStoredWithoutData) {
    const std::string empty = Local("empty.txt", "");
    Answer("200 Type set to I");
    (void)Store();
    Begin();
    EXPECT_EQ(PutOne(kImage, empty), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR empty.txt"}));
    EXPECT_EQ(Sent(0), "");
    ASSERT_TRUE(Remote("empty.txt"));
    EXPECT_EQ(Remote("empty.txt")->size, 0);
    EXPECT_EQ(outcomes.word, kOutcomeUploaded);
}

// With "ReplaceSpaces" the remote name, and so the Update-ONLY look-up, has "_" for blanks.
TEST_F(Upload, ReplaceSpacesNamesTheRemoteFileAndItsUpdateCheck) {
    const std::string path = Local("my file.txt", "text");
    session.replaceSpaces = true;
    Cached("my file.txt", 4, kModified + 600);  // newer, but not the name looked up
    Answer("200 Type set to I");
    (void)Store();
    Begin();
    EXPECT_EQ(PutOne(kImage | kTransferUpdateOnly, path), 226);
    Cached("my_file.txt", 4, kModified + 600);
    EXPECT_EQ(PutOne(kImage | kTransferUpdateOnly, path), 200);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR my_file.txt"}));
    EXPECT_EQ(Sent(0), "text");
    EXPECT_EQ(Notes(), Lines{"!!! Update-ONLY; skipping PUT of " + path});
    EXPECT_EQ(outcomes.word, kOutcomeUploaded | kOutcomeUploadSkipped);
    EXPECT_EQ(remoteNameOf("/x/a b  c.txt", true), "a_b__c.txt");
    EXPECT_EQ(remoteNameOf("/x/a b.txt", false), "a b.txt");
}

// Update-ONLY sends a file only over an older (or absent) remote copy; sizes do not count.
TEST_F(Upload, UpdateOnlyComparesTheCachedRemoteTime) {
    struct Row {
        const char* name;
        int64_t remoteTime;  // 0: not in the listing
        uint32_t flags;
        bool sent;
    };
    const int64_t bias = 3600;
    const Row rows[] = {
        {"older.txt", kModified - bias - 60, kEntryTimeValid, true},
        {"absent.txt", 0, 0, true},
        {"equal.txt", kModified - bias, kEntryTimeValid, false},
        {"newer.txt", kModified - bias + 60, kEntryTimeValid, false},
        {"year-newer.txt", kModified + 60, 0, false},
        {"year-older.txt", kModified - 60, 0, true},
    };
    session.serverBias = bias;
    std::vector<std::string> paths;
    Lines wire = {"TYPE I"};
    Answer("200 Type set to I");
    for (const Row& row : rows) {
        paths.push_back(Local(row.name, "12345"));
        if (row.remoteTime != 0) {
            Cached(row.name, 999, row.remoteTime, row.flags);
        }
        if (row.sent) {
            (void)Store();
            wire.insert(wire.end(), {"PASV", std::string("STOR ") + row.name});
        }
    }
    Begin();
    EXPECT_EQ(Put(kImage | kTransferUpdateOnly | Source(3), paths), 226);
    EXPECT_EQ(Wire(), wire);
    Lines skips;
    for (size_t index = 0; index < std::size(rows); ++index) {
        if (!rows[index].sent) {
            skips.push_back("!!! Update-ONLY; skipping PUT of " + paths[index]);
        }
    }
    EXPECT_EQ(Notes(), skips);
    EXPECT_EQ(outcomes.word, kOutcomeUploaded | kOutcomeUploadSkipped);
    EXPECT_EQ(Remote("equal.txt")->size, 999) << "a skipped file leaves the listing alone";
}

// Smart uploads go as text only for LF text that is not a PDF, with CR LF on the wire; other
// files go unchanged as image.
TEST_F(Upload, SmartUploadsChooseTheTypeFromTheFirstBlock) {
    struct Row {
        const char* name;
        std::string bytes;
        bool text;
        std::string wire;
    };
    // More than one block, with a CR LF split between the first two.
    std::string longText;
    std::string longWire;
    while (longText.size() < 8000) {
        std::string line = "line " + std::to_string(longText.size());
        longText += line + "\n";
        longWire += line + "\r\n";
    }
    const size_t pad = kUploadBlockSize - 1 - longText.size();
    longText += std::string(pad, 'x') + "\r\nnext\n";
    longWire += std::string(pad, 'x') + "\r\nnext\r\n";
    const Row rows[] = {
        {"unix.txt", "one\ntwo\n", true, "one\r\ntwo\r\n"},
        {"long.txt", longText, true, longWire},
        {"dos.txt", "one\r\ntwo\r\n", false, "one\r\ntwo\r\n"},
        {"mac.txt", "one\rtwo\r", false, "one\rtwo\r"},
        {"manual.pdf", "one\ntwo\n", false, "one\ntwo\n"},
        {"bytes.bin", "one\ntwo\xE9\n", false, "one\ntwo\xE9\n"},
        {"empty.txt", "", false, ""},
        {"plain.txt", "no line end", false, "no line end"},
    };
    std::vector<std::string> paths;
    for (const Row& row : rows) {
        paths.push_back(Local(row.name, row.bytes));
    }
    Lines wire;
    Lines choices;
    for (const Row& row : rows) {
        // Each row starts from the other type, so its TYPE always goes out.
        Answer("200 Type set");
        (void)Store();
        wire.insert(wire.end(),
                    {row.text ? "TYPE A N" : "TYPE I", "PASV", std::string("STOR ") + row.name});
        choices.push_back(std::string("... auto-detected transfer type: ") +
                          (row.text ? "Local-ASCII" : "Image"));
    }
    Begin();
    for (size_t index = 0; index < std::size(rows); ++index) {
        SCOPED_TRACE(rows[index].name);
        session.currentType = rows[index].text ? 1 : 0;
        EXPECT_EQ(PutOne(makeTransferFlags(TransferType::Smart, false, 0), paths[index]), 226);
    }
    EXPECT_EQ(Wire(), wire);
    for (size_t index = 0; index < std::size(rows); ++index) {
        EXPECT_EQ(Sent(index), rows[index].wire) << rows[index].name;
    }
    EXPECT_EQ(Notes(), choices);
}

// Text mode sends any file under "TYPE A N" with its LF as CR LF; a CR LF stays one line end.
TEST_F(Upload, TextModeSendsLfAsCrLf) {
    const std::string path = Local("notes.txt", "one\ntwo\r\nthree\rfour");
    session.currentType = 1;
    Answer("200 Type set to A");
    (void)Store();
    Begin();
    EXPECT_EQ(PutOne(makeTransferFlags(TransferType::Text, false, 0), path), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE A N", "PASV", "STOR notes.txt"}));
    EXPECT_EQ(Sent(0), "one\r\ntwo\r\nthree\rfour");
    EXPECT_EQ(Remote("notes.txt")->size, 19) << "the listing counts the file's bytes";
}

TEST_F(Upload, AMissingLocalPathFailsThatItemOnly) {
    const std::string missing = folder.path("missing.txt");
    const std::string present = Local("present.txt", "here");
    Answer("200 Type set to I");
    (void)Store();
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {missing, present}), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR present.txt"}));
    EXPECT_EQ(Sent(0), "here");
    Lines failures;
    for (const auto& line : log.Take()) {
        if (line.text.starts_with("@@@ ")) {
            failures.push_back(line.kind + " " + line.text);
        }
    }
    EXPECT_EQ(failures, Lines{"LogRaw @@@ Unable to get status for " + missing});
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed | kOutcomeUploaded);
}

// A name no command line can carry is skipped before the server hears of it, a file or a
// folder alike; the files after it still go.
TEST_F(Upload, NamesWithLineBreaksOrNulAreSkippedAndTheRestGoes) {
    const std::string first = Local("first.txt", "1");
    const std::string broken = Local("evil\r\nDELE x", "2");
    const std::string fed = Local("line\nfeed", "3");
    ASSERT_TRUE(platform::MakeLocalFolder(folder.path("folder\r")));
    (void)Local("folder\r/inside.txt", "4");
    const std::string last = Local("last.txt", "5");
    Answer("200 Type set to I");
    (void)Store();
    (void)Store();
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {first, broken, fed, folder.path("folder\r"), last}), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR first.txt", "PASV", "STOR last.txt"}));
    EXPECT_EQ(Sent(1), "5");
    EXPECT_EQ(Notes(),
              (Lines{"@@@ Unsafe name not sent to the server: " + folder.path("evil\\r\\nDELE x"),
                     "@@@ Unsafe name not sent to the server: " + folder.path("line\\nfeed"),
                     "@@@ Unsafe name not sent to the server: " + folder.path("folder\\r")}));
    EXPECT_EQ(outcomes.word, kOutcomeUploaded | kOutcomeUploadFailed);
}

TEST_F(Upload, AFileThatCannotBeOpenedFailsBeforeTheWire) {
    ASSERT_TRUE(platform::MakeLocalFolder(folder.path("folder")));
    Begin();
    EXPECT_EQ(putFile(session, cache, pub, folder.path("folder"), kImage), 599);
    EXPECT_EQ(Wire(), Lines{});
    EXPECT_EQ(Notes(), Lines{"@@@ Open failed on " + folder.path("folder")});
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed);
}

// A file that cannot be read to its end was not sent, whatever the server answers. The
// kernel's memory file is a regular file whose first read fails.
TEST_F(Upload, ALocalReadErrorFailsTheUpload) {
    const std::string unreadable = "/proc/self/mem";
    platform::LocalFile probe;
    char byte = 0;
    if (!probe.OpenForReading(unreadable) || probe.Read(&byte, 1) != -1) {
        GTEST_SKIP() << unreadable << " is not a file whose reads fail here";
    }
    probe.Close();
    Answer("200 Type set to I");
    (void)Store();
    Begin();
    EXPECT_EQ(PutOne(kImage, unreadable), 599);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR mem"}));
    EXPECT_EQ(Sent(0), "");
    Lines notes = Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].starts_with("@@@ Error reading local file ")) << notes[0];
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed);
}

// Unlike a refused RETR, a refused STOR stops the whole command.
TEST_F(Upload, ARefusedStoreStopsTheCommand) {
    const std::string first = Local("first.txt", "1");
    const std::string second = Local("second.txt", "2");
    Answer("200 Type set to I");
    (void)Store("", "553 Not allowed");
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {first, second}), 599);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR first.txt"}));
    EXPECT_FALSE(Remote("first.txt"));
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed);
}

// --- folders -------------------------------------------------------------------------------

// A folder the listing has is entered and listed; a new one is made and entered without LIST.
TEST_F(Upload, FoldersAreMadeOnlyWhenTheListingLacksThem) {
    ASSERT_TRUE(platform::MakeLocalFolder(folder.path("docs")));
    ASSERT_TRUE(platform::MakeLocalFolder(folder.path("fresh")));
    ASSERT_TRUE(platform::MakeLocalFolder(folder.path("fresh/inner")));
    (void)Local("docs/a.txt", "a");
    (void)Local("fresh/b.txt", "b");
    (void)Local("fresh/inner/c.txt", "c");
    Cached("docs", 0, kModified, kEntryDirectory);
    Answer("250 OK").Answer("257 \"/pub/docs\"");
    Listing("-rw-r--r-- 1 u g 3 Jan 15 10:42 old.txt\r\n");
    Answer("200 Type set to I");
    (void)Store();
    Answer("250 OK").Answer("257 \"/pub/fresh\" created").Answer("250 OK");
    Answer("257 \"/pub/fresh\"");
    (void)Store();
    Answer("257 \"/pub/fresh/inner\" created").Answer("250 OK").Answer("257 \"/pub/fresh/inner\"");
    (void)Store();
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {folder.path("docs"), folder.path("fresh")}), 226);
    EXPECT_EQ(Wire(), (Lines{"CWD docs", "PWD", "PASV", "LIST", "TYPE I", "PASV", "STOR a.txt",
                             "CWD /pub", "MKD fresh", "CWD fresh", "PWD", "PASV", "STOR b.txt",
                             "MKD inner", "CWD inner", "PWD", "PASV", "STOR c.txt"}));
    EXPECT_EQ(Sent(1), "a");
    EXPECT_EQ(Sent(2), "b");
    EXPECT_EQ(Sent(3), "c");
    int32_t docs = cache.FindPath("/pub/docs");
    int32_t fresh = cache.FindPath("/pub/fresh");
    int32_t inner = cache.FindPath("/pub/fresh/inner");
    ASSERT_GE(docs, 0);
    ASSERT_GE(fresh, 0);
    ASSERT_GE(inner, 0);
    EXPECT_TRUE(Remote("old.txt", docs));
    EXPECT_TRUE(Remote("a.txt", docs));
    EXPECT_TRUE(Remote("fresh"));
    EXPECT_TRUE(Remote("b.txt", fresh));
    EXPECT_TRUE(Remote("inner", fresh));
    EXPECT_TRUE(Remote("c.txt", inner));
    EXPECT_EQ(outcomes.word, kOutcomeUploaded);
}

// Files dropped on a folder entry of the view go into that folder, which is listed first.
TEST_F(Upload, DroppedFilesGoIntoTheFolderTheyWereDroppedOn) {
    const std::string path = Local("f.txt", "dropped");
    Cached("sub", 0, kModified, kEntryDirectory);
    Answer("250 OK").Answer("257 \"/pub/sub\"");
    Listing("");
    Answer("200 Type set to I");
    (void)Store();
    Begin();
    EXPECT_EQ(Put(kImage | Source(0), {path}, "sub"), 226);
    EXPECT_EQ(Wire(), (Lines{"CWD sub", "PWD", "PASV", "LIST", "TYPE I", "PASV", "STOR f.txt"}));
    EXPECT_EQ(Sent(1), "dropped");
    EXPECT_TRUE(Remote("f.txt", cache.FindPath("/pub/sub")));
    EXPECT_FALSE(Remote("f.txt"));
}

// A local link back into the folder being sent is not followed again; blanks in a folder's
// name become "_" like a file's.
TEST_F(Upload, ALocalFolderLoopIsSentOnce) {
    const std::string tree = folder.path("my tree");
    ASSERT_TRUE(platform::MakeLocalFolder(tree));
    (void)Local("my tree/f.txt", "f");
    std::error_code error;
    std::filesystem::create_directory_symlink(tree, tree + "/again", error);
    ASSERT_FALSE(error) << error.message();
    session.replaceSpaces = true;
    Answer("257 \"/pub/my_tree\" created").Answer("250 OK").Answer("257 \"/pub/my_tree\"");
    Answer("200 Type set to I");
    (void)Store();
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {tree}), 226);
    EXPECT_EQ(Wire(), (Lines{"MKD my_tree", "CWD my_tree", "PWD", "TYPE I", "PASV", "STOR f.txt"}));
    Lines notes = Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].starts_with("@@@ ")) << notes[0];
    EXPECT_NE(notes[0].find(tree + "/again"), std::string::npos) << notes[0];
    EXPECT_EQ(outcomes.word, kOutcomeUploaded | kOutcomeUploadFailed);
}

TEST_F(Upload, ARefusedMkdStopsTheCommand) {
    ASSERT_TRUE(platform::MakeLocalFolder(folder.path("fresh")));
    (void)Local("fresh/b.txt", "b");
    const std::string after = Local("after.txt", "after");
    Answer("550 Permission denied");
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {folder.path("fresh"), after}), 550);
    EXPECT_EQ(Wire(), Lines{"MKD fresh"});
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed);
}

// --- stop and recovery ---------------------------------------------------------------------

// The user's stop: one ABOR, and the listing shows what the server got.
TEST_F(Upload, AnAbortedUploadLeavesTheSentCountInTheListing) {
    const std::string path = Local("big.bin", std::string(200 * 1024, 'u'));
    outcomes.stopping = &session;
    Answer("200 Type set to I");
    (void)Store("", "150 Ok to send data");
    peer.ReadLine().SendLine("426 Transfer aborted").SendLine("226 Abort successful");
    Begin();
    EXPECT_EQ(PutOne(kImage, path), 226);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR big.bin",
                             "\xFF\xF4\xFF\xF2"
                             "ABOR"}));
    const std::string sent = Sent(0);
    EXPECT_GE(sent.size(), 64u * 1024);
    EXPECT_LT(sent.size(), 200u * 1024);
    ASSERT_TRUE(Remote("big.bin"));
    EXPECT_EQ(Remote("big.bin")->size, static_cast<int64_t>(sent.size()));
    EXPECT_FALSE(session.abortRequested);
    // The server's 226 answers the ABOR: the file itself did not arrive whole.
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed);
    Lines lines = log.TakeTexts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<ABOR"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Transfer terminated"), 1);
}

class RecoveredUpload : public Upload {
  public:
    void SetUp() override {
        Upload::SetUp();
        ASSERT_GT(database.ClaimRestartSlot(true), 0);
        session.restartEnabled = true;
        session.restartDatabase = &database;
    }
    RestartDatabase database{folder.root() + "/"};
};

// The resumed upload appends from the size the listing shows, or the whole file when the
// listing does not have it; a Smart upload drops the block it read to choose the type. Where
// the server has SIZE, its answer decides in image type: a longer copy there is replaced.
TEST_F(RecoveredUpload, AResumptionAppendsFromTheCachedSize) {
    struct Row {
        const char* name;
        std::string bytes;
        int64_t cachedSize;  // -1: not in the listing
        int32_t flags;
        const char* type;
        std::string sent;
        const char* summary;
        const char* sizeAnswer = nullptr;  // null: the server offers no SIZE
        const char* verb = "APPE ";
    };
    const int32_t smart = makeTransferFlags(TransferType::Smart, false, 0);
    const Row rows[] = {
        {"image.bin", "HELLO WORLD!", 5, kImage, "TYPE I", " WORLD!", "... sent 7 bytes in "},
        {"absent.bin", "HELLO WORLD!", -1, kImage, nullptr, "HELLO WORLD!",
         "... sent 12 bytes in "},
        // The offset counts the file's bytes: it fits a server that stores text with LF.
        {"smart.txt", "HELLO\nWORLD\n", 6, smart, "TYPE A N", "WORLD\r\n", "... sent 6 bytes in "},
        {"smart-sized.txt", "HELLO\nWORLD\n", 6, smart, nullptr, "WORLD\r\n",
         "... sent 6 bytes in ", "213 7"},
        {"stale.bin", "HELLO WORLD!", 2, kImage, "TYPE I", " WORLD!", "... sent 7 bytes in ",
         "213 5"},
        {"unlisted.bin", "HELLO WORLD!", -1, kImage, nullptr, "D!", "... sent 2 bytes in ",
         "213 10"},
        {"longer.bin", "HELLO", 3, kImage, nullptr, "HELLO", "... sent 5 bytes in ", "213 9",
         "STOR "},
        {"refused.bin", "HELLO WORLD!", 6, kImage, nullptr, "WORLD!", "... sent 6 bytes in ",
         "550 Could not get file size."},
    };
    Lines wire;
    for (const Row& row : rows) {
        if (row.cachedSize >= 0) {
            Cached(row.name, row.cachedSize, kModified);
        }
        if (row.type != nullptr) {
            Answer("200 Type set");
            wire.push_back(row.type);
        }
        if (row.sizeAnswer != nullptr && row.flags == kImage) {
            Answer(row.sizeAnswer);
            wire.push_back(std::string("SIZE ") + row.name);
        }
        (void)Store();
        wire.insert(wire.end(), {"PASV", row.verb + std::string(row.name)});
    }
    Begin();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        session.features.size = row.sizeAnswer != nullptr;
        const std::string path = Local(row.name, row.bytes);
        session.restartOffset = 1;  // the pending flag found at connect
        database.SetRestartPending(1);
        EXPECT_EQ(PutOne(row.flags, path), 226);
        EXPECT_EQ(session.restartOffset, 0u);
        EXPECT_EQ(database.GetRestartPending(), 0u);
        Lines lines = log.TakeTexts();
        EXPECT_NE(
            std::find(lines.begin(), lines.end(), std::string("Restarting PUT of ") + row.name),
            lines.end());
        EXPECT_EQ(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.starts_with(row.summary); }),
            1);
        EXPECT_EQ(Remote(row.name)->size, static_cast<int64_t>(row.bytes.size()));
    }
    EXPECT_EQ(Wire(), wire);
    for (size_t index = 0; index < std::size(rows); ++index) {
        EXPECT_EQ(Sent(index), rows[index].sent) << rows[index].name;
    }
}

TEST_F(RecoveredUpload, TheRecordNamesTheFileAndABrokenUploadStaysPending) {
    const std::string path = Local("report.txt", "report");
    const std::string next = Local("next.txt", "next");
    Answer("200 Type set to I");
    (void)Store("451 Local error in processing");
    Begin();
    EXPECT_EQ(Put(kImage | Source(3), {path, next}), 421);
    EXPECT_EQ(Wire(), (Lines{"TYPE I", "PASV", "STOR report.txt"}));
    EXPECT_EQ(Sent(0), "report");
    EXPECT_EQ(Notes(), Lines{"*** Network error, queue flushed"});
    EXPECT_EQ(database.GetRestartField(kRestartFieldOperation), "Pi");
    EXPECT_EQ(database.GetRestartField(kRestartFieldLocal), path);
    EXPECT_EQ(database.GetRestartPending(), 1u);
    EXPECT_EQ(outcomes.word, kOutcomeUploadFailed);
    EXPECT_FALSE(session.transferActive);
}

}  // namespace
}  // namespace qvex
