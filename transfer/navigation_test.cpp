// Exact conversations with a scripted server: navigation and listings, and the remote
// operations that enter cached directories (the real-server runs are in
// remote_operations_test.cpp).
#include "transfer/navigation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/session_worker.h"
#include "platform/locale.h"
#include "state/restart_database.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_env.h"
#include "transfer/download.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_language.h"
#include "transfer/listing_parser.h"
#include "transfer/remote_operations.h"
#include "transfer/transfer_handlers.h"
#include "transfer/transfer_type.h"

namespace qvex {
namespace {

using test::LogCapture;
using test::ScriptedPeer;
using Lines = std::vector<std::string>;

const std::string kFile = "-rw-r--r--   1 ftp  ftp   1234 Jan 15 10:42 read me.txt";
const std::string kLink = "lrwxrwxrwx   1 ftp  ftp     11 Jan  1 00:00 latest -> release/1.2";
std::string Folder(const std::string& name) {
    return "drwxr-xr-x   2 ftp  ftp   4096 Mar  3  2004 " + name + "\r\n";
}
std::string File(const std::string& name) {
    return "-rw-r--r-- 1 u g 5 Jan 15 10:42 " + name + "\r\n";
}

RemoteEntry Named(std::string name, uint32_t flags = 0) {
    RemoteEntry entry;
    entry.name = std::move(name);
    entry.flags = flags;
    return entry;
}

SessionCommand Command(int32_t directory, std::string text = {}, int32_t b = 0,
                       int32_t a = kNoPosition) {
    SessionCommand command;
    command.text = std::move(text);
    command.a = a;
    command.b = b;
    command.c = directory;
    return command;
}

// A command on entries of `directory`, queued as the view shows them now.
SessionCommand Operation(const ListingCache& cache, int32_t directory, std::string text, int32_t b,
                         std::vector<int32_t> positions) {
    SessionCommand command = Command(directory, std::move(text), b);
    command.object = std::make_unique<PositionList>(cache, directory, std::move(positions));
    return command;
}

class Outcomes : public SessionObserver {
  public:
    void OnOutcome(uint32_t bits) override { word |= bits; }
    uint32_t word = 0;
};

class Notices : public DirectoryObserver {
  public:
    void OnEntryAdded(int32_t, int32_t position) override {
        if (abortAfterFirst && position == 0) {
            session->abortRequested = true;
        }
    }
    void OnListingReady(int32_t id, int32_t flags, bool aborted) override {
        lines.push_back((aborted ? "aborted " : "ready ") + std::to_string(id) + " " +
                        std::to_string(flags));
    }
    void OnRenameFailed(int32_t id, int32_t at) override {
        lines.push_back("rename failed " + std::to_string(id) + " " + std::to_string(at));
    }
    void OnListingFileWritten(const std::string& path) override { lines.push_back("file " + path); }
    Lines lines;
    bool abortAfterFirst = false;
    SessionWorker* session = nullptr;
};

// The server's side of the control connection is scripted reply by reply; each listing
// gets a scripted data peer. The server starts in "/", the cache knows nothing.
class Conversation : public ::testing::Test {
  public:
    void SetUp() override {
        cache.SetObserver(&notices);
        notices.session = &session;
        session.workingDirectory = session.currentDirectory = "/";
        titles = log.heap().OpenQueue("^AppTitle$");
    }
    Conversation& Answer(const std::string& reply) {
        control.ReadLine().SendLine(reply);
        return *this;
    }
    // PASV and LIST, with `bytes` on the data connection.
    Conversation& Listing(std::string bytes, const std::string& listReply = "150 Here") {
        auto& data = dataPeers.emplace_back(std::make_unique<ScriptedPeer>());
        data->Send(std::move(bytes)).Close();
        EXPECT_TRUE(data->Start());
        Answer("227 Entering Passive Mode (127,0,0,1," + std::to_string(data->port() >> 8) + "," +
               std::to_string(data->port() & 0xFF) + ").");
        control.ReadLine().SendLine(listReply);
        if (listReply[0] == '1') {
            control.SendLine("226 Transfer complete");
        }
        return *this;
    }
    void Connect() {
        control.ReadToEnd();
        ASSERT_TRUE(control.Start());
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", control.port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
        session.passive = 1;
    }
    // Ends the conversation: the command lines the server received.
    Lines Wire() {
        session.control.Close();
        EXPECT_TRUE(control.Wait());
        return control.lines();
    }
    int List(std::string text, int32_t flags, int32_t parent = kNoDirectory,
             int32_t position = kNoPosition) {
        return listDirectory(session, cache, Command(parent, std::move(text), flags, position),
                             &id);
    }
    Lines Names(int32_t directory) {
        Lines names;
        for (const RemoteEntry& entry : cache.Snapshot(directory)) {
            names.push_back(entry.name);
        }
        return names;
    }
    // The client's own lines, without data-connection notes and transfer summaries.
    Lines Notes() {
        Lines notes;
        for (const LogCapture::Line& line : log.Take()) {
            if (line.kind == "LogExt" && !line.text.starts_with("Connected to [") &&
                !line.text.starts_with("... cached ")) {
                notes.push_back(line.text);
            }
        }
        return notes;
    }
    Lines Titles() {
        Lines texts;
        while (log.heap().PendingCount(titles) > 0) {
            char topic[16];
            char text[512];
            uint32_t topicLength = sizeof topic;
            uint32_t length = sizeof text;
            EXPECT_EQ(log.heap().Receive(titles, topic, &topicLength, text, &length, kWantBoth),
                      kWantBoth);
            texts.emplace_back(text, strnlen(text, length));
        }
        return texts;
    }

    LogCapture log;
    QueueId titles = 0;
    ScriptedPeer control;
    std::vector<std::unique_ptr<ScriptedPeer>> dataPeers;
    SessionWorker session;
    ListingCache cache;
    Notices notices;
    int32_t id = -1;
};

// --- navigation ---------------------------------------------------------------------------

TEST_F(Conversation, FirstVisitEntersListsAndCachesThenTheCacheServes) {
    Answer("250 OK").Answer("257 \"/pub\" is current");
    Listing("total 3\r\n" + kFile + "\r\n" + Folder("sub") + kLink);
    Connect();
    EXPECT_EQ(List("/pub", kListFallBackToParent | kListShowUser), 226);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(List("/pub", kListShowUser), 200);
    EXPECT_EQ(Wire(), (Lines{"CWD /pub", "PWD", "PASV", "LIST"}));
    EXPECT_EQ(session.currentDirectory, "/pub");
    EXPECT_EQ(Names(0), (Lines{"read me.txt", "sub", "latest"}))
        << "a last line without a line end is a line";
    EXPECT_EQ(notices.lines, (Lines{"ready 0 5", "ready 0 4"}));
    Lines lines = log.TakeTexts();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.starts_with("... cached "); }),
        1);
}

// Every row: the server refuses the one directory command, and nothing changes.
TEST_F(Conversation, TargetIsBuiltFromTheParentUnlessTheServerIsThere) {
    struct Row {
        const char* parent;
        const char* current;
        const char* text;
        const char* sent;
    };
    for (const Row& row :
         {Row{"/pub/", "/", "name", "CWD /pub/name"}, Row{"/pub", "/", "name", "CWD /pub/name"},
          Row{"/pub", "/pub", "name", "CWD name"}, Row{"/pub", "/", "/abs", "CWD /abs"},
          Row{"/pub", "/pub", "..", "CDUP"}}) {
        SCOPED_TRACE(row.sent);
        ScriptedPeer server;
        server.ReadLine().SendLine("550 No such directory").ReadToEnd();
        ASSERT_TRUE(server.Start());
        SessionWorker worker;
        ListingCache rowCache;
        ASSERT_TRUE(worker.control.Create() && worker.control.Connect("127.0.0.1", server.port()));
        ASSERT_TRUE(worker.control.SetBuffer(4096));
        int32_t parent = rowCache.FindOrCreate(row.parent, kNoDirectory, kNoPosition, true);
        worker.currentDirectory = row.current;
        EXPECT_EQ(listDirectory(worker, rowCache, Command(parent, row.text, 0, 4), nullptr), 550);
        worker.control.Close();
        ASSERT_TRUE(server.Wait());
        EXPECT_EQ(server.lines(), Lines{row.sent});
        EXPECT_EQ(worker.currentDirectory, row.current);
        EXPECT_EQ(rowCache.DirectoryCount(), 1);
    }
}

TEST_F(Conversation, DirectoryChangesThatFailHalfWayOrFallBack) {
    struct Row {
        const char* text;
        Lines replies;
        Lines wire;
        int result;
        const char* current;  // afterwards; the directory then listed, unless the result fails
    };
    const std::vector<Row> rows = {
        {"..", {"250 OK", "257 \"/home\""}, {"CDUP", "PWD"}, 200, "/home"},
        // The server moved but its answer to PWD is unusable: the old directory is forgotten.
        {"/x", {"250 OK", "550 No PWD"}, {"CWD /x", "PWD"}, 550, ""},
        {"/pub/missing",
         {"550 No", "250 OK", "257 \"/pub\""},
         {"CWD /pub/missing", "CWD /pub", "PWD"},
         200,
         "/pub"},
        {"/missing", {"550 No", "250 OK", "257 \"/\""}, {"CWD /missing", "CWD /", "PWD"}, 200, "/"},
        {"a\\b", {"550 No", "550 No"}, {"CWD a\\b", "CWD a"}, 550, "/home/u"},
        // A bare name is looked for in the directory the server is in.
        {"missing", {"550 No"}, {"CWD missing"}, 200, "/home/u"},
    };
    for (const Row& row : rows) {
        for (const std::string& reply : row.replies) {
            Answer(reply);
        }
    }
    Connect();
    Lines wire;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        session.currentDirectory = "/home/u";
        session.workingDirectory = "/w";
        id = -1;
        EXPECT_EQ(List(row.text, kListFallBackToParent | kListCreateComplete), row.result);
        EXPECT_EQ(session.currentDirectory, row.current);
        EXPECT_EQ(id, row.result == 200 ? cache.FindPath(row.current) : -1);
        wire.insert(wire.end(), row.wire.begin(), row.wire.end());
    }
    EXPECT_EQ(Wire(), wire);
}

TEST_F(Conversation, CurrentDirectoryIsListedWithoutCwdAndARefusedListChangesNothing) {
    int32_t pub = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
    (void)cache.AppendEntry(pub, RemoteEntry{});
    session.currentDirectory = "/pub";
    Listing("", "550 Permission denied").Answer("550 No").Listing("", "450 Busy");
    Connect();
    EXPECT_EQ(List("/pub", kListRefresh), 599);
    EXPECT_EQ(List("/other", 0, pub, 3), 550);
    session.currentDirectory = "/other";
    EXPECT_EQ(List("/other", 0), 599);
    EXPECT_EQ(Wire(), (Lines{"PASV", "LIST", "CWD /other", "PASV", "LIST"}));
    EXPECT_TRUE(cache.IsComplete(pub));
    EXPECT_EQ(cache.EntryCount(pub), 1) << "a refresh keeps the listing until LIST succeeds";
    EXPECT_EQ(cache.FindPath("/other"), -1);
}

// A server that offers MLST is listed with MLSD: the folder's own line is passed over, a
// line without a name is logged and skipped, and a name that is no UTF-8 (Latin-1 "café")
// keeps its bytes, in the log too, and fetches by them. A refused MLSD is listed again with
// LIST, as is every later listing of the session. A folder with the listed folder's unique
// fact is a server-followed link back to it.
TEST_F(Conversation, MlsdWhereOfferedWithLatin1NamesAndListOnceRefused) {
    test::TempFolder local;
    const std::string latin1 = "caf\xe9.txt";
    const std::string nameless = "type=file;size=3;modify=20070115104200;";
    session.features.mlst = true;
    session.currentDirectory = "/d";
    Listing(
        "type=cdir;modify=20070115104200;unix.mode=0755;unique=803g7; /d\r\n"
        "type=file;size=5;modify=20070115104200;unix.mode=0644; " +
        latin1 + "\r\n" + nameless +
        "\r\ntype=dir;modify=20040303000000;unique=803g8; sub dir\r\n"
        "type=dir;unique=803g7; up\r\n");
    Answer("200 Type set to I").Listing("bytes", "150 Opening data");
    Answer("200 Type set to A").Listing("", "500 Unknown command.").Listing(File("listed"));
    Listing(File("again"));
    Connect();
    EXPECT_EQ(List("/d", 0), 226);
    ASSERT_EQ(Names(id), (Lines{latin1, "sub dir", "up"}));
    const std::vector<RemoteEntry> entries = cache.Snapshot(id);
    EXPECT_EQ(entries[0].size, 5);
    EXPECT_EQ(entries[0].time, 1'168'857'720) << "UTC";
    EXPECT_EQ(entryModeOf(entries[0]), 0644u);
    EXPECT_TRUE(isDirectory(entries[1]));
    EXPECT_TRUE(isSymLink(entries[2]) && !isDirectory(entries[2]));
    EXPECT_EQ(entries[2].linkTarget, "/d");
    Lines notes = Notes();
    EXPECT_EQ(
        std::count(notes.begin(), notes.end(), "!!! MLSD line skipped (no name): " + nameless), 1);

    SessionCommand get =
        Operation(cache, id, local.root(), makeTransferFlags(TransferType::Image, false, 0), {0});
    EXPECT_EQ(getFiles(session, cache, get), 226);
    EXPECT_EQ(test::ReadFileBytes(local.path(latin1)), "bytes");
    Lines commands;
    for (const LogCapture::Line& line : log.Take()) {
        if (line.kind == "LogCmd") {
            commands.push_back(line.text);
        }
    }
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "<RETR " + latin1), 1)
        << "the name's byte stays whole in the log line";

    EXPECT_EQ(List("/d", kListRefresh), 226);
    EXPECT_EQ(Names(id), Lines{"listed"});
    EXPECT_EQ(Notes(), Lines{"!!! MLSD refused; listing with LIST"});
    EXPECT_EQ(List("/d", kListRefresh), 226);
    EXPECT_EQ(Names(id), Lines{"again"});
    EXPECT_EQ(Wire(), (Lines{"PASV", "MLSD", "TYPE I", "PASV", "RETR " + latin1, "TYPE A N", "PASV",
                             "MLSD", "PASV", "LIST", "PASV", "LIST"}));
}

TEST_F(Conversation, PrintWorkingDirectoryTakesTheFirstQuotedPathOf257Only) {
    struct Row {
        const char* reply;
        int result;
        const char* path;
    };
    const Row rows[] = {
        {"257 \"/home/u\" is the current directory", 257, "/home/u"},
        {"257 \"/a b\" and \"/c\"", 257, "/a b"},
        {"257 no quotes", 599, "/old"},
        {"257 \"\"", 599, "/old"},
        {"550 Not allowed", 550, "/old"},
    };
    for (const Row& row : rows) {
        Answer(row.reply);
    }
    Connect();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        std::string out = "/old";
        session.currentDirectory = "/old";
        EXPECT_EQ(printWorkingDirectory(session, out), row.result);
        EXPECT_EQ(out, row.path);
        EXPECT_EQ(session.currentDirectory, row.path);
        EXPECT_EQ(log.TakeTexts().back() == "*** unrecognized \"257\" response format",
                  row.result == 599);
    }
    EXPECT_EQ(Wire(), Lines(5, "PWD"));
}

TEST_F(Conversation, A511CharacterLineIsParsedAndALongerOneIsSkipped) {
    const std::string prefix = "-rw-r--r-- 1 u g 5 Jan 15 10:42 ";
    const std::string longest = prefix + std::string(511 - prefix.size(), 'n');
    const std::string skipped = "!!! Listing line longer than 511 characters skipped";
    session.currentDirectory = "/d";
    session.rawListingLog = true;
    // 512 characters, then one across several reads of the data connection, then one that
    // the end of the listing cuts.
    Listing(longest + "\r\n" + kFile + "\r\n" + prefix + std::string(480, 'x') + "\r\n" +
            File("after") + prefix + std::string(9000, 'y') + "\n" + File("last") +
            std::string(600, 'z'));
    Connect();
    EXPECT_EQ(List("/d", 0), 226);
    (void)Wire();
    EXPECT_EQ(Names(id),
              (Lines{std::string(511 - prefix.size(), 'n'), "read me.txt", "after", "last"}));
    EXPECT_TRUE(cache.IsComplete(id));
    EXPECT_EQ(Notes(),
              (Lines{longest, kFile, skipped, prefix + "after", skipped, prefix + "last", skipped}))
        << "raw lines are logged as they came";
}

// A listing that never ends stops at the cache's limit (set low here): nothing of it is
// kept, and the command fails.
TEST_F(Conversation, AListingBeyondTheEntryLimitIsDropped) {
    cache.SetEntryLimit(3);
    session.currentDirectory = "/big";
    Listing("total 4\r\n" + File("1") + File("2") + File("3"))
        .Listing(File("1") + File("2") + File("3") + File("4") + File("5"), "150 Here");
    Connect();
    EXPECT_EQ(List("/big", kListRecursive), 226) << "three entries are allowed";
    EXPECT_EQ(Names(id), (Lines{"1", "2", "3"}));
    EXPECT_EQ(List("/big", kListRefresh | kListRecursive), 599);
    (void)Wire();
    EXPECT_FALSE(cache.IsComplete(id));
    EXPECT_EQ(cache.EntryCount(id), 0);
    EXPECT_TRUE(session.queue.empty());
    EXPECT_EQ(notices.lines, (Lines{"ready 0 16", "aborted 0 24"}));
    EXPECT_EQ(Notes(), Lines{"*** Listing has more than 3 entries; stopped reading it"});
}

TEST_F(Conversation, RecursiveListingQueuesEachSubdirectoryOnceUnlessAborted) {
    const std::string tree =
        Folder(".") + Folder("..") + Folder("a") + kFile + "\r\n" + Folder("b c") + kLink;
    session.currentDirectory = "/t";
    Listing(tree).Listing(tree);
    Connect();
    EXPECT_EQ(List("/t", kListRecursive | kListShowUser | kListRefresh, kNoDirectory, 0), 226);
    Lines queued;
    for (const SessionCommand& command : session.queue) {
        queued.push_back(std::to_string(command.kind) + " " + command.text + " " +
                         std::to_string(command.a) + " " + std::to_string(command.b) + " " +
                         std::to_string(command.c));
    }
    EXPECT_EQ(queued, (Lines{"0 a 2 24 0", "0 b c 4 24 0"}));

    session.queue.clear();
    notices.abortAfterFirst = true;
    EXPECT_EQ(List("/t", kListRecursive | kListRefresh), 226);
    (void)Wire();
    EXPECT_TRUE(session.queue.empty());
    EXPECT_EQ(cache.EntryCount(id), 1) << "the rest of an aborted listing is dropped";
    EXPECT_EQ(notices.lines, (Lines{"ready 0 28", "aborted 0 24"}));
}

TEST_F(Conversation, ListToFileWritesOneCrLfLinePerNamedEntry) {
    test::TempFolder folder;
    int32_t dir = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
    auto add = [&](const char* name, int64_t size, platform::CalendarTime local, uint32_t flags) {
        RemoteEntry entry = Named(name, flags);
        entry.size = size;
        EXPECT_TRUE(platform::LocalCalendarToTime(local, entry.time));
        entry.linkTarget = flags == kEntrySymLink ? "release/1.2" : "";
        (void)cache.AppendEntry(dir, std::move(entry));
    };
    add("a b.txt", 1234, {2007, 1, 15, 15, 45, 0}, 0);
    add("gone", 5, {}, 0);
    add("sub", 0, {2004, 3, 3, 0, 0, 0}, kEntryDirectory);
    add("latest", 11, {1999, 12, 31, 23, 59, 0}, kEntrySymLink);
    add("huge", 12345678901, {2020, 2, 29, 9, 5, 0}, 0);
    ASSERT_TRUE(cache.RemoveEntry(dir, 1));
    const std::string path = folder.path("list.txt");
    test::WriteFileBytes(path, std::string(4000, 'z'));
    SessionCommand command = Command(dir, path);
    EXPECT_EQ(listToFile(session, cache, command), 200);
    EXPECT_EQ(test::ReadFileBytes(path),
              "2007/01/15 15:45        1234 a b.txt\r\n"
              "2004/03/03 00:00           0 sub\r\n"
              "1999/12/31 23:59          11 latest -> release/1.2\r\n"
              "2020/02/29 09:05 12345678901 huge\r\n");
    EXPECT_EQ(notices.lines, Lines{"file " + path});

    command.text = folder.path("missing/list.txt");
    EXPECT_EQ(listToFile(session, cache, command), 599);
    EXPECT_EQ(Notes(),
              (Lines{"Listing directory to " + path, "Listing directory to " + command.text,
                     "*** Open failed on " + command.text}));
}

// Sizes wider than the usual column widen it for every line, so names stay in one column.
TEST_F(Conversation, ListToFileWidensTheSizeColumnForTheLargestSizes) {
    test::TempFolder folder;
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));
    int32_t dir = cache.FindOrCreate("/big", kNoDirectory, kNoPosition, true);
    for (const char* line :
         {"-rw-r--r-- 1 0 0 18446744073709551615 Jan 15 10:42 kcore",
          "-rw-r--r-- 1 u g 5 Jan 15 10:42 small", "lrwxrwxrwx 1 u g 7 Jan 15 10:42 bare link"}) {
        std::string pending;
        RemoteEntry entry;
        ASSERT_TRUE(parseListingLine(line, pending, entry)) << line;
        entry.time = 0;
        (void)cache.AppendEntry(dir, std::move(entry));
    }
    const std::string path = folder.path("list.txt");
    EXPECT_EQ(listToFile(session, cache, Command(dir, path)), 200);
    platform::CalendarTime epoch;
    ASSERT_TRUE(platform::TimeToLocalCalendar(0, epoch));
    char date[32];
    std::snprintf(date, sizeof date, "%04d/%02d/%02d %02d:%02d ", epoch.year, epoch.month,
                  epoch.day, epoch.hour, epoch.minute);
    const std::string day = date;
    EXPECT_EQ(test::ReadFileBytes(path), day + "9223372036854775807 kcore\r\n" + day +
                                             "                  5 small\r\n" + day +
                                             "                  7 bare link\r\n");
}

// A listing file appears only whole and only for the folder asked for: a missing folder, a
// failed data connection and a full disk (a file-size limit here) each leave no file (an
// older one stays as it was) and the failure bit. A complete listing of the folder from
// this session is written without listing it again.
TEST_F(Conversation, ListToFileOfANamedFolderWritesOnlyAWholeListing) {
    test::TempFolder local;
    Outcomes outcomes;
    session.observer = &outcomes;
    const std::string path = local.path("h.txt");
    std::string many;
    for (int file = 0; file < 40; ++file) {
        many += File("file number " + std::to_string(file));
    }
    Answer("550 No such directory");
    Answer("250 OK").Answer("257 \"/pub\"").Listing("", "425 Can't open data connection");
    Listing(many);
    Connect();
    auto run = [&] {
        SessionCommand command = Command(kNoDirectory, path);
        command.object = std::make_unique<TextPayload>("pub");
        return listToFile(session, cache, command);
    };
    EXPECT_EQ(run(), 550);
    EXPECT_FALSE(test::FileExists(path));
    EXPECT_EQ(outcomes.word, kOutcomeDownloadFailed);
    test::WriteFileBytes(path, "older listing");
    EXPECT_EQ(run(), 599);
    int full = test::RunWithFileSizeLimit(1000, run);
    EXPECT_EQ(full, 599);
    EXPECT_EQ(test::ReadFileBytes(path), "older listing");
    outcomes.word = 0;
    EXPECT_EQ(run(), 200);
    EXPECT_EQ(outcomes.word, 0u);
    const std::string written = test::ReadFileBytes(path);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 40) << written;
    EXPECT_TRUE(written.ends_with(" file number 39\r\n")) << written;
    EXPECT_FALSE(test::FileExists(path + ".part"));
    EXPECT_EQ(Wire(), (Lines{"CWD /pub", "CWD /pub", "PWD", "PASV", "LIST", "PASV", "LIST"}));
    Lines failures;
    for (const std::string& note : Notes()) {
        if (note.starts_with("*** ")) {
            failures.push_back(note);
        }
    }
    EXPECT_EQ(failures, (Lines{"*** Unable to list /pub", "*** Unable to list /pub",
                               "*** Error writing listing file: File too large"}));
}

// A server that cannot tell its folder after login: the login folder's listing is kept,
// a fetch by a name relative to it works, and no CWD pretends to lead back to it later.
TEST_F(Conversation, WithoutAPwdAnswerTheLoginFolderIsStillListedAndFetchedFrom) {
    test::TempFolder local;
    session.workingDirectory.clear();
    session.currentDirectory.clear();
    Answer("550 PWD not allowed").Listing(File("file.txt"));
    Answer("200 Type set to I").Listing("hello", "150 Opening data");
    Connect();
    CommandHandlers handlers;
    InstallTransferHandlers(handlers, cache);
    SessionCommand pwd = Command(kNoDirectory);
    EXPECT_EQ(handlers[kCommandPrintDirectory](session, pwd), 550);
    SessionCommand list = Command(kNoDirectory, {}, kListFallBackToParent | kListShowUser);
    EXPECT_EQ(handlers[kCommandList](session, list), 226);
    SessionCommand get = Command(kNoDirectory, local.root(),
                                 makeTransferFlags(TransferType::Image, false, kGetRemotePath));
    get.object = std::make_unique<TextPayload>("file.txt");
    EXPECT_EQ(handlers[kCommandGet](session, get), 226);
    EXPECT_EQ(test::ReadFileBytes(local.path("file.txt")), "hello");
    session.currentDirectory = "/elsewhere";
    EXPECT_EQ(EnterDirectory(session, cache, cache.FindPath(kUnknownLoginFolder)), 550);
    EXPECT_EQ(Wire(), (Lines{"PWD", "PASV", "LIST", "TYPE I", "PASV", "RETR file.txt"}));
    Lines notes = Notes();
    for (const char* line :
         {"!!! The server did not tell the login folder's path; it is listed as \".\"",
          "*** The login folder has no known path; unable to enter ."}) {
        EXPECT_EQ(std::count(notes.begin(), notes.end(), line), 1) << line;
    }
}

// --- remote operations --------------------------------------------------------------------

TEST_F(Conversation, EnterDirectorySendsCwdOnlyWhenTheServerIsElsewhere) {
    test::TempEnv env;
    RestartDatabase database(env.root() + "/");
    ASSERT_GT(database.ClaimRestartSlot(true), 0);
    session.restartEnabled = true;
    session.restartDatabase = &database;
    int32_t top = cache.FindOrCreate("/", kNoDirectory, kNoPosition, true);
    int32_t other = cache.FindOrCreate("/b", kNoDirectory, kNoPosition, true);
    Answer("250 OK").Answer("550 Gone");
    Connect();
    EXPECT_EQ(EnterDirectory(session, cache, top), 257);
    EXPECT_EQ(EnterDirectory(session, cache, other), 257);
    EXPECT_EQ(database.GetRestartField(kRestartFieldRemoteDirectory), "/b");
    EXPECT_EQ(EnterDirectory(session, cache, top), 550);
    EXPECT_EQ(EnterDirectory(session, cache, 9), 599);
    EXPECT_EQ(Wire(), (Lines{"CWD /b", "CWD /"}));
    EXPECT_EQ(session.currentDirectory, "/b");
    EXPECT_EQ(Notes(), Lines{"*** remote directory not in the listing cache"});
}

TEST_F(Conversation, OnlyExactly257AddsTheNewDirectory) {
    int32_t pub = cache.FindOrCreate("/pub", kNoDirectory, kNoPosition, true);
    Answer("250 OK").Answer("257 \"/pub/new\" created").Answer("250 Created");
    Connect();
    EXPECT_EQ(MakeDirectory(session, cache, Command(pub, "new")), 257);
    EXPECT_EQ(MakeDirectory(session, cache, Command(pub, "other")), 250);
    EXPECT_EQ(Wire(), (Lines{"CWD /pub", "MKD new", "MKD other"})) << "CWD only once";
    ASSERT_EQ(cache.EntryCount(pub), 1);
    EXPECT_EQ(cache.Entry(pub, 0)->name, "new");
    EXPECT_TRUE(isDirectory(*cache.Entry(pub, 0)));
    EXPECT_GT(cache.Entry(pub, 0)->time, 0);
    EXPECT_EQ(Notes(), (Lines{"CREATEing new", "... CREATEd new", "CREATEing other",
                              "*** Unable to CREATE other"}));
    EXPECT_EQ(Titles(), (Lines{"CREATE new", "", "CREATE other", ""}));
}

TEST_F(Conversation, RenameNeeds350ThenA2xx) {
    struct Row {
        Lines replies;
        std::string note;
    };
    const std::vector<Row> rows = {
        {{"350 Ready", "250 Done"}, "... RENAMEd old to new"},
        {{"200 Odd"}, "*** Unable to RENAME FROM old"},
        {{"350 Ready", "553 No"}, "*** Unable to RENAME TO new"},
    };
    for (const Row& row : rows) {
        for (const std::string& reply : row.replies) {
            Answer(reply);
        }
    }
    int32_t top = cache.FindOrCreate("/", kNoDirectory, kNoPosition, true);
    (void)cache.AppendEntry(top, Named("old"));
    (void)cache.AppendEntry(top, Named(""));
    Connect();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        (void)cache.SetEntryName(top, 0, "old");
        EXPECT_EQ(RenameEntry(session, cache, Operation(cache, top, "new", 0, {0})),
                  std::stoi(row.replies.back()));
        EXPECT_EQ(Notes(), (Lines{"RENAMEing old to new", row.note}));
        EXPECT_EQ(cache.Entry(top, 0)->name, row.note.starts_with("...") ? "new" : "old");
        EXPECT_EQ(Titles(), (Lines{"RENAME old new", ""}));
    }
    EXPECT_EQ(RenameEntry(session, cache, Operation(cache, top, "x", 0, {1})), 0)
        << "an entry without a name";
    EXPECT_EQ(Wire(), (Lines{"RNFR old", "RNTO new", "RNFR old", "RNFR old", "RNTO new"}));
    EXPECT_EQ(notices.lines, (Lines{"rename failed 0 0", "rename failed 0 0"}));
}

TEST_F(Conversation, DeleteTreeEmptiesDirectoriesDepthFirst) {
    int32_t top = cache.FindOrCreate("/top", kNoDirectory, kNoPosition, true);
    session.currentDirectory = "/top";
    (void)cache.AppendEntry(top, Named("tree", kEntryDirectory));
    (void)cache.AppendEntry(top, Named("dir", kEntryDirectory));
    (void)cache.AppendEntry(top, Named("..", kEntryDirectory));
    Answer("250 OK").Answer("257 \"/top/tree\"");
    Listing(File("f1") + Folder("sub") + Folder(".") + File("f2"));
    Answer("250 Deleted").Answer("250 OK").Answer("257 \"/top/tree/sub\"").Listing(File("g1"));
    for (int reply = 0; reply < 6; ++reply) {
        Answer("250 OK");
    }
    Answer("550 Not empty");
    Connect();
    SessionCommand command = Operation(cache, top, {}, kDeleteRecursive, {2, 0});
    EXPECT_EQ(DeleteEntries(session, cache, command), 250);
    EXPECT_EQ(command.object, nullptr);
    // Without the recursive bit a directory gets its RMD at once.
    SessionCommand plain = Operation(cache, top, {}, 0, {1});
    EXPECT_EQ(DeleteEntries(session, cache, plain), 550);
    EXPECT_EQ(Wire(), (Lines{"CWD tree", "PWD", "PASV", "LIST", "DELE f1", "CWD sub", "PWD", "PASV",
                             "LIST", "DELE g1", "CWD /top/tree", "RMD sub", "DELE f2", "CWD /top",
                             "RMD tree", "RMD dir"}));
    EXPECT_EQ(Names(top), (Lines{"", "dir", ".."}));
    EXPECT_FALSE(cache.IsComplete(cache.FindPath("/top/tree")))
        << "a deleted directory is listed again if it comes back";
    Lines notes = Notes();
    EXPECT_EQ(
        Lines(notes.end() - 4, notes.end()),
        (Lines{"DELETEing tree", "... DELETEd tree", "DELETEing dir", "*** Unable to DELETE dir"}));
    EXPECT_EQ(Titles().size(), 12u) << "a title and its clearing for each of 6 deletes";
}

// A server whose PWD names the folder it was asked to leave: the delete does not follow it
// round and round, and logs why.
TEST_F(Conversation, RecursiveDeleteEndsALoopOnTheServer) {
    int32_t top = cache.FindOrCreate("/top", kNoDirectory, kNoPosition, true);
    session.currentDirectory = "/top";
    (void)cache.AppendEntry(top, Named("tree", kEntryDirectory));
    Answer("250 OK").Answer("257 \"/top\"").Answer("550 Directory not empty");
    Connect();
    SessionCommand command = Operation(cache, top, {}, kDeleteRecursive, {0});
    EXPECT_EQ(DeleteEntries(session, cache, command), 550);
    EXPECT_EQ(Wire(), (Lines{"CWD tree", "PWD", "RMD tree"}));
    EXPECT_EQ(Notes(), (Lines{"*** Directory loop on the server; not descending into /top",
                              "DELETEing tree", "*** Unable to DELETE tree"}));
}

// Queued operations name their entries: a refresh that rebuilt the listing in between
// moves them, and they follow by name; a name that is gone is not operated on.
TEST_F(Conversation, QueuedOperationsFollowTheirEntriesThroughARebuiltListing) {
    int32_t top = cache.FindOrCreate("/top", kNoDirectory, kNoPosition, true);
    session.currentDirectory = "/top";
    for (const char* name : {"a", "b", "gone"}) {
        (void)cache.AppendEntry(top, Named(name));
    }
    SessionCommand remove = Operation(cache, top, {}, 0, {1});
    SessionCommand rename = Operation(cache, top, "z", 0, {0});
    SessionCommand chmod = Operation(cache, top, {}, 0600, {2, 0});
    Listing(File("new") + File("a") + File("b"));
    Answer("250 Deleted").Answer("350 Ready").Answer("250 Renamed").Answer("200 Done");
    Connect();
    ASSERT_EQ(List("/top", kListRefresh), 226);
    EXPECT_EQ(DeleteEntries(session, cache, remove), 250);
    EXPECT_EQ(RenameEntry(session, cache, rename), 250);
    EXPECT_EQ(SiteCommand(session, cache, chmod), 257) << "nothing sent: \"a\" is \"z\" by now";
    EXPECT_EQ(Wire(), (Lines{"PASV", "LIST", "DELE b", "RNFR a", "RNTO z"}));
    EXPECT_EQ(Names(top), (Lines{"new", "z", ""}));
    Lines notes = Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(Lines(notes.end() - 2, notes.end()),
              (Lines{"*** unable to find gone", "*** unable to find a"}));
}

TEST_F(Conversation, CommandLinesLongerThan510CharactersAreRefusedBeforeTheWire) {
    const std::string longName(507, 'n');  // "MKD " and the name make 511 characters
    const std::string refused = " not sent: it is longer than 510 characters";
    int32_t top = cache.FindOrCreate("/", kNoDirectory, kNoPosition, true);
    (void)cache.AppendEntry(top, Named(longName));
    (void)cache.AppendEntry(top, Named("short"));
    int32_t deep = cache.FindOrCreate("/" + std::string(506, 'p'), kNoDirectory, kNoPosition, true);
    Connect();
    SessionCommand remove = Operation(cache, top, {}, 0, {0});
    EXPECT_EQ(DeleteEntries(session, cache, remove), 599);
    EXPECT_EQ(MakeDirectory(session, cache, Command(top, longName)), 599);
    EXPECT_EQ(RenameEntry(session, cache, Operation(cache, top, longName, 0, {1})), 599);
    EXPECT_EQ(EnterDirectory(session, cache, deep), 599);
    EXPECT_EQ(Wire(), Lines{}) << "no RNFR without a possible RNTO";
    Lines notes = Notes();
    ASSERT_EQ(notes.size(), 10u);
    EXPECT_EQ(notes[1], "*** command DELE" + refused);
    EXPECT_EQ(notes[2], ("*** Unable to DELETE " + longName).substr(0, 511)) << "cut by the log";
    EXPECT_EQ(notes[4], "*** command MKD" + refused);
    EXPECT_EQ(notes[7], "*** command RNTO" + refused);
    EXPECT_EQ(notes[9], "*** command CWD" + refused);
    EXPECT_EQ(cache.Entry(top, 0)->name, longName);
    EXPECT_EQ(notices.lines, Lines{"rename failed 0 1"});
}

TEST_F(Conversation, SiteChmodGoesThroughEveryEntryAndATypedLineGoesAsItIs) {
    int32_t top = cache.FindOrCreate("/", kNoDirectory, kNoPosition, true);
    RemoteEntry file = Named("a");
    file.modeAndIcon = (0644u << 16) | 3u;
    (void)cache.AppendEntry(top, std::move(file));
    (void)cache.AppendEntry(top, Named(""));
    (void)cache.AppendEntry(top, Named("c"));
    Answer("200 Done").Answer("500 Not here").Answer("214 Help");
    Connect();
    SessionCommand chmod = Operation(cache, top, {}, 0755, {0, 1, 2});
    EXPECT_EQ(SiteCommand(session, cache, chmod), 500);
    EXPECT_EQ(chmod.object, nullptr);
    SessionCommand typed = Command(kNoDirectory, "SITE HELP");
    EXPECT_EQ(SiteCommand(session, cache, typed), 214);
    EXPECT_EQ(Wire(), (Lines{"SITE chmod 0755 a", "SITE chmod 0755 c", "SITE HELP"}));
    EXPECT_EQ(cache.Entry(top, 0)->modeAndIcon, (0755u << 16) | 3u);
    EXPECT_EQ(cache.Entry(top, 2)->modeAndIcon, 0u);
}

}  // namespace
}  // namespace qvex

namespace qvex {
namespace {

// The listing handler parses with the month names of the session's host language.
TEST_F(Conversation, ListingHandlerUsesTheHostsListingLanguage) {
    if (!isUsableListingLanguage(3082)) {
        GTEST_SKIP() << "es_ES is not installed (locales-all)";
    }
    Answer("250 OK").Answer("257 \"/es\" is current");
    Listing("-rw-r--r--   1 ftp  ftp   1234 ene 15 10:42 enero.txt\r\n");
    Connect();
    CommandHandlers handlers;
    InstallTransferHandlers(handlers, cache);
    session.listingLanguage = 3082;
    SessionCommand command;
    command.kind = kCommandList;
    command.text = "/es";
    command.b = kListFallBackToParent;
    command.c = kNoDirectory;
    EXPECT_EQ(handlers[kCommandList](session, command), 226);
    EXPECT_EQ(currentListingLanguage().languageId, 3082);
    EXPECT_EQ(Names(0), Lines{"enero.txt"});
    (void)Wire();
    EXPECT_TRUE(loadListingLanguage(kDefaultListingLanguage));
}

}  // namespace
}  // namespace qvex
