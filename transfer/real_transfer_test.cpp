// Downloads and uploads against real servers from Debian (pyftpdlib, vsftpd): every file
// compared byte for byte with its source, trees, Update-ONLY with real file times, a broken
// transfer resumed in a new session, and an abort in the middle of a download.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "state/restart_database.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_env.h"
#include "transfer/download.h"
#include "transfer/listing_cache.h"
#include "transfer/navigation.h"
#include "transfer/transfer_handlers.h"
#include "transfer/transfer_queue.h"
#include "transfer/transfer_type.h"
#include "transfer/upload.h"

namespace qvex {
namespace {

namespace fs = std::filesystem;
using test::FileTime;
using test::FtpServer;
using test::FtpServerKind;
using test::FtpServerOptions;
using test::NowSeconds;
using test::RandomBytes;
using test::ReadFileBytes;
using test::SetFileTime;
using test::TreeOf;
using test::WriteFileBytes;

// Text lines of printable ASCII, each ended by `lineEnd`, at least `size` bytes.
std::string TextLines(size_t size, const std::string& lineEnd) {
    std::string text;
    for (int line = 0; text.size() < size; ++line) {
        text += "line " + std::to_string(line) + " of some text to move" + lineEnd;
    }
    return text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

uint64_t SizeOr0(const std::string& path) {
    std::error_code error;
    auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

// The last lines of a log, for failure messages.
std::string Tail(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t index = lines.size() > 12 ? lines.size() - 12 : 0; index < lines.size(); ++index) {
        text += lines[index] + "\n";
    }
    return text;
}

size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

class OutcomeRecorder : public SessionObserver {
  public:
    void OnOutcome(uint32_t bits) override { outcome |= bits; }
    void OnSessionEnded(int) override { ended = true; }
    std::atomic<uint32_t> outcome{0};
    std::atomic<bool> ended{false};
};

class ServerCase : public ::testing::TestWithParam<FtpServerKind> {
  protected:
    void SetUp() override {
        // Both servers list UTC wall-clock times, which the listing reads as local times.
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

std::string ServerName(const ::testing::TestParamInfo<FtpServerKind>& info) {
    return info.param == FtpServerKind::PyFtpd ? "pyftpdlib" : "vsftpd";
}

// One logged-in session driven directly on the test's thread.
class RealTransfers : public ServerCase {
  protected:
    void SetUp() override {
        ServerCase::SetUp();
        FtpServerOptions options;
        options.asciiText = true;
        server = test::StartFtpServer(GetParam(), options);
        ASSERT_TRUE(server->started()) << server->problem();
        session.request.user = FtpServer::kUser;
        session.request.password = FtpServer::kPassword;
        session.passive = 1;
        session.observer = &recorder;
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", server->port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
        ASSERT_TRUE(Login(session));
        // pyftpdlib offers MLST and UTF8 and is listed with MLSD, vsftpd with LIST.
        AskFeatures(session);
        ASSERT_EQ(session.features.mlst, GetParam() == FtpServerKind::PyFtpd);
        ASSERT_EQ(printWorkingDirectory(session, session.workingDirectory), 257);
    }

    // A fresh listing of a server folder ("" for the root); its cache id.
    int32_t List(const std::string& path = {}) {
        SessionCommand list;
        list.text = path.empty() ? session.workingDirectory : "/" + path;
        list.b = kListRefresh;
        int32_t id = -1;
        int code = listDirectory(session, cache, list, &id);
        EXPECT_EQ(code / 100, 2) << server->output();
        return id;
    }

    int Get(int32_t directory, const std::vector<std::string>& names, const std::string& folder,
            TransferType type, bool updateOnly = false) {
        std::vector<int32_t> positions;
        for (const std::string& name : names) {
            positions.push_back(cache.FindEntry(directory, name));
            EXPECT_GE(positions.back(), 0) << name;
        }
        SessionCommand command;
        command.kind = kCommandGet;
        command.text = folder;
        command.b = makeTransferFlags(type, updateOnly, 0);
        command.c = directory;
        command.object = std::make_unique<PositionList>(cache, directory, std::move(positions));
        return getFiles(session, cache, command);
    }

    int Put(int32_t directory, std::vector<std::string> paths, TransferType type,
            bool updateOnly = false) {
        SessionCommand command;
        command.kind = kCommandPut;
        command.b = makeTransferFlags(type, updateOnly, 3);
        command.c = directory;
        command.object = std::make_unique<NameList>(std::move(paths));
        return putFiles(session, cache, command);
    }

    test::LogCapture log;
    std::unique_ptr<FtpServer> server;
    OutcomeRecorder recorder;
    SessionWorker session;
    ListingCache cache;
    test::TempFolder local;
};

TEST_P(RealTransfers, EveryEdgeSizeGoesUpAndComesBackIdentical) {
    const std::vector<size_t> sizes = {0, 1, 16383, 16384, 16385, 3 * 1024 * 1024 + 7};
    std::vector<std::string> paths;
    fs::create_directories(local.path("up"));
    for (size_t size : sizes) {
        paths.push_back(local.path("up/file" + std::to_string(size) + ".bin"));
        WriteFileBytes(paths.back(), RandomBytes(size, static_cast<unsigned>(size)));
    }
    int32_t root = List();
    EXPECT_EQ(Put(root, paths, TransferType::Image), 226) << server->output();
    for (size_t index = 0; index < sizes.size(); ++index) {
        std::string name = fs::path(paths[index]).filename().string();
        EXPECT_EQ(ReadFileBytes(server->path(name)), ReadFileBytes(paths[index])) << name;
    }
    EXPECT_EQ(recorder.outcome.load(), kOutcomeUploaded);

    root = List();
    fs::create_directories(local.path("down"));
    std::vector<std::string> names;
    for (const std::string& path : paths) {
        names.push_back(fs::path(path).filename().string());
    }
    EXPECT_EQ(Get(root, names, local.path("down"), TransferType::Image), 226) << server->output();
    for (const std::string& name : names) {
        EXPECT_EQ(ReadFileBytes(local.path("down/" + name)),
                  ReadFileBytes(local.path("up/" + name)))
            << name;
    }
    EXPECT_EQ(recorder.outcome.load(), kOutcomeUploaded | kOutcomeDownloaded);
    std::vector<std::string> lines = log.TakeTexts();
    // One TYPE I for all uploads, one for all downloads (the listing between went as ASCII).
    EXPECT_EQ(Count(lines, "<TYPE I"), 2u);
    EXPECT_EQ(Count(lines, "... received "), sizes.size());
    EXPECT_EQ(Count(lines, "... sent "), sizes.size());
}

TEST_P(RealTransfers, SmartDownloadsConvertByTheFirstBlock) {
    const std::string unix = TextLines(40000, "\n");
    const std::string dos = TextLines(40000, "\r\n");
    const std::string mac = TextLines(100, "\r");
    std::string binary = TextLines(100, "\n");
    binary[10] = static_cast<char>(0xE9);
    ASSERT_TRUE(server->PutFile("unix.txt", unix));
    ASSERT_TRUE(server->PutFile("dos.txt", dos));
    ASSERT_TRUE(server->PutFile("mac.txt", mac));
    ASSERT_TRUE(server->PutFile("latin.txt", binary));
    ASSERT_TRUE(server->PutFile("paper.pdf", unix));
    ASSERT_TRUE(server->PutFile("empty.txt", ""));
    int32_t root = List();
    EXPECT_EQ(Get(root, {"unix.txt", "dos.txt", "mac.txt", "latin.txt", "paper.pdf", "empty.txt"},
                  local.root(), TransferType::Smart),
              226)
        << server->output();
    EXPECT_EQ(ReadFileBytes(local.path("unix.txt")), unix);
    EXPECT_EQ(ReadFileBytes(local.path("dos.txt")), Replace(dos, "\r\n", "\n"));
    EXPECT_EQ(ReadFileBytes(local.path("mac.txt")), Replace(mac, "\r", "\n"));
    EXPECT_EQ(ReadFileBytes(local.path("latin.txt")), binary);
    EXPECT_EQ(ReadFileBytes(local.path("paper.pdf")), unix);
    EXPECT_EQ(ReadFileBytes(local.path("empty.txt")), "");
    std::vector<std::string> lines = log.TakeTexts();
    const std::string detected = "... auto-detected \"effective\" transfer type: ";
    std::vector<std::string> kinds;
    for (const std::string& line : lines) {
        if (line.rfind(detected, 0) == 0) {
            kinds.push_back(line.substr(detected.size()));
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"Local-ASCII", "DOS-ASCII", "Mac-ASCII", "Image",
                                               "Image", "Image"}));
    EXPECT_EQ(Count(lines, "<TYPE I"), 1u);
}

// Both servers keep text with LF and send it as CR LF under TYPE A: LF text goes there and
// back unchanged.
TEST_P(RealTransfers, SmartUploadsSendOnlyLfTextAsText) {
    const std::string dos = TextLines(20000, "\r\n");
    const std::string unix = TextLines(20000, "\n");
    WriteFileBytes(local.path("dos.txt"), dos);
    WriteFileBytes(local.path("unix.txt"), unix);
    WriteFileBytes(local.path("table.pdf"), unix);
    int32_t root = List();
    EXPECT_EQ(Put(root, {local.path("dos.txt"), local.path("unix.txt"), local.path("table.pdf")},
                  TransferType::Smart),
              226)
        << server->output();
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(Count(lines, "... auto-detected transfer type: Local-ASCII"), 1u);
    EXPECT_EQ(Count(lines, "... auto-detected transfer type: Image"), 2u);
    EXPECT_EQ(Count(lines, "<TYPE A N"), 1u);
    EXPECT_EQ(ReadFileBytes(server->path("unix.txt")), unix);
    EXPECT_EQ(ReadFileBytes(server->path("dos.txt")), dos);
    EXPECT_EQ(ReadFileBytes(server->path("table.pdf")), unix);
}

TEST_P(RealTransfers, TextModeKeepsLfTextBothWays) {
    const std::string unix = TextLines(100000, "\n");
    WriteFileBytes(local.path("up.txt"), unix);
    ASSERT_TRUE(server->PutFile("down.txt", unix));
    int32_t root = List();
    EXPECT_EQ(Put(root, {local.path("up.txt")}, TransferType::Text), 226) << server->output();
    EXPECT_EQ(ReadFileBytes(server->path("up.txt")), unix);
    root = List();
    fs::create_directories(local.path("down"));
    EXPECT_EQ(Get(root, {"down.txt", "up.txt"}, local.path("down"), TransferType::Text), 226)
        << server->output();
    EXPECT_EQ(ReadFileBytes(local.path("down/down.txt")), unix);
    EXPECT_EQ(ReadFileBytes(local.path("down/up.txt")), unix);
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(Count(lines, "<TYPE"), 0u)
        << "a session starts in ASCII: no TYPE before the first image transfer";
}

TEST_P(RealTransfers, TreesThreeLevelsDeepWithSpacesGoBothWays) {
    ASSERT_TRUE(server->PutFile("my tree/top file.txt", "top\n"));
    ASSERT_TRUE(server->PutFile("my tree/level one/one.bin", RandomBytes(20000, 1)));
    ASSERT_TRUE(
        server->PutFile("my tree/level one/level two/deep file.bin", RandomBytes(70000, 2)));
    ASSERT_TRUE(server->PutFolder("my tree/level one/empty folder"));
    int32_t root = List();
    EXPECT_EQ(Get(root, {"my tree"}, local.root(), TransferType::Image), 226) << server->output();
    EXPECT_EQ(TreeOf(local.path("my tree")), TreeOf(server->path("my tree")));
    EXPECT_EQ(recorder.outcome.load(), kOutcomeDownloaded);

    // The same tree up again under another name, and once more: the second time every
    // folder exists already and no MKD is sent.
    fs::rename(local.path("my tree"), local.path("copy of tree"));
    (void)log.TakeTexts();
    root = List();
    EXPECT_EQ(Put(root, {local.path("copy of tree")}, TransferType::Image), 226)
        << server->output();
    EXPECT_EQ(TreeOf(server->path("copy of tree")), TreeOf(local.path("copy of tree")));
    EXPECT_EQ(Count(log.TakeTexts(), "<MKD "), 4u);
    root = List();
    EXPECT_EQ(Put(root, {local.path("copy of tree")}, TransferType::Image), 226);
    EXPECT_EQ(Count(log.TakeTexts(), "<MKD "), 0u);
    EXPECT_EQ(TreeOf(server->path("copy of tree")), TreeOf(local.path("copy of tree")));
}

TEST_P(RealTransfers, ReplaceSpacesStoresBlanksAsUnderscores) {
    session.replaceSpaces = true;
    WriteFileBytes(local.path("my file.txt"), "spaced\r\n");
    int32_t root = List();
    EXPECT_EQ(Put(root, {local.path("my file.txt")}, TransferType::Image), 226);
    EXPECT_EQ(ReadFileBytes(server->path("my_file.txt")), "spaced\r\n");
    EXPECT_FALSE(test::FileExists(server->path("my file.txt")));
    EXPECT_GE(cache.FindEntry(root, "my_file.txt"), 0) << "the cache shows the upload at once";
}

TEST_P(RealTransfers, UpdateOnlyFollowsRealFileTimes) {
    const int64_t now = NowSeconds();
    ASSERT_TRUE(server->PutFile("newer.txt", "remote, newer"));
    ASSERT_TRUE(server->PutFile("older.txt", "remote, older but longer than the local copy"));
    SetFileTime(server->path("newer.txt"), now - 2 * 86400);
    SetFileTime(server->path("older.txt"), now - 4 * 86400);
    WriteFileBytes(local.path("newer.txt"), "local, old");
    WriteFileBytes(local.path("older.txt"), "local, new");
    SetFileTime(local.path("newer.txt"), now - 4 * 86400);
    SetFileTime(local.path("older.txt"), now - 2 * 86400);
    // Newer by 15 seconds within one minute: LIST cannot tell, MLSD and MDTM can.
    const int64_t minute = (now - 3 * 86400) / 60 * 60;
    ASSERT_TRUE(server->PutFile("seconds newer.txt", "remote, seconds newer"));
    SetFileTime(server->path("seconds newer.txt"), minute + 20);
    WriteFileBytes(local.path("seconds newer.txt"), "local");
    SetFileTime(local.path("seconds newer.txt"), minute + 5);

    int32_t root = List();
    EXPECT_EQ(Get(root, {"newer.txt", "older.txt", "seconds newer.txt"}, local.root(),
                  TransferType::Image, true),
              226);
    EXPECT_EQ(ReadFileBytes(local.path("newer.txt")), "remote, newer");
    EXPECT_EQ(ReadFileBytes(local.path("older.txt")), "local, new");
    EXPECT_EQ(ReadFileBytes(local.path("seconds newer.txt")), "remote, seconds newer");
    EXPECT_EQ(recorder.outcome.load(), kOutcomeDownloaded | kOutcomeDownloadSkipped);
    std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(Count(lines, "!!! Update-ONLY; skipping GET of " + local.path("older.txt")), 1u);
    // The fetched file carries the exact time: from MLSD, or from MDTM under Update-ONLY.
    EXPECT_EQ(FileTime(local.path("newer.txt")), now - 2 * 86400);
    EXPECT_EQ(FileTime(local.path("seconds newer.txt")), minute + 20);

    // Upload: the local copy of older.txt is newer than the server's and goes up; the
    // server's newer.txt is now as new as the local one and stays.
    recorder.outcome = 0;
    root = List();
    EXPECT_EQ(
        Put(root, {local.path("older.txt"), local.path("newer.txt")}, TransferType::Image, true),
        200);
    EXPECT_EQ(ReadFileBytes(server->path("older.txt")), "local, new");
    EXPECT_EQ(ReadFileBytes(server->path("newer.txt")), "remote, newer");
    EXPECT_EQ(recorder.outcome.load(), kOutcomeUploaded | kOutcomeUploadSkipped);
    EXPECT_EQ(Count(log.TakeTexts(), "!!! Update-ONLY; skipping PUT of " + local.path("newer.txt")),
              1u);
}

// Names in UTF-8 go up and come back byte for byte, listed by MLSD or by LIST.
TEST_P(RealTransfers, Utf8NamesGoBothWaysByteForByte) {
    const bool pyftpd = GetParam() == FtpServerKind::PyFtpd;
    const std::vector<std::string> names = {"Grüße aus Köln.txt", "日本語のファイル",
                                            "ελληνικά ✓ – €.bin"};
    std::vector<std::string> paths;
    fs::create_directories(local.path("up"));
    for (size_t index = 0; index < names.size(); ++index) {
        paths.push_back(local.path("up/" + names[index]));
        WriteFileBytes(paths.back(), RandomBytes(70'000 + index, static_cast<unsigned>(index)));
    }
    int32_t root = List();
    EXPECT_EQ(Put(root, paths, TransferType::Image), 226) << server->output();
    for (size_t index = 0; index < names.size(); ++index) {
        EXPECT_EQ(ReadFileBytes(server->path(names[index])), ReadFileBytes(paths[index]))
            << names[index];
    }
    root = List();
    fs::create_directories(local.path("down"));
    EXPECT_EQ(Get(root, names, local.path("down"), TransferType::Image), 226) << server->output();
    for (size_t index = 0; index < names.size(); ++index) {
        EXPECT_EQ(ReadFileBytes(local.path("down/" + names[index])), ReadFileBytes(paths[index]))
            << names[index];
    }
    const std::vector<std::string> lines = log.TakeTexts();
    EXPECT_EQ(Count(lines, "<OPTS UTF8 ON"), pyftpd ? 1u : 0u);
    EXPECT_EQ(Count(lines, "<MLSD"), pyftpd ? 2u : 0u) << Tail(lines);
    EXPECT_EQ(Count(lines, "<LIST"), pyftpd ? 0u : 2u) << Tail(lines);
    EXPECT_EQ(Count(lines, "<RETR " + names[1]), 1u);
}

TEST_P(RealTransfers, ARefusedDownloadLeavesTheLocalFileAlone) {
    ASSERT_TRUE(server->PutFile("gone.txt", "soon gone"));
    int32_t root = List();
    fs::remove(server->path("gone.txt"));
    WriteFileBytes(local.path("gone.txt"), "the user's own copy");
    EXPECT_EQ(Get(root, {"gone.txt"}, local.root(), TransferType::Image), 599);
    EXPECT_EQ(ReadFileBytes(local.path("gone.txt")), "the user's own copy");
    EXPECT_EQ(recorder.outcome.load(), kOutcomeDownloadFailed);
}

// A longer file is emptied in place and rewritten: a second name of it sees the new bytes,
// and nothing of the old tail is left.
TEST_P(RealTransfers, AnOverwrittenLongerFileHoldsExactlyTheNewBytesUnderEveryName) {
    const std::string source = RandomBytes(3 * 1024 * 1024 + 7, 13);
    ASSERT_TRUE(server->PutFile("new.bin", source));
    WriteFileBytes(local.path("new.bin"), RandomBytes(5 * 1024 * 1024, 14));
    fs::create_hard_link(local.path("new.bin"), local.path("second name.bin"));
    WriteFileBytes(local.path("empty.bin"), "");
    ASSERT_TRUE(server->PutFile("empty.bin", "now with bytes"));

    int32_t root = List();
    EXPECT_EQ(Get(root, {"new.bin", "empty.bin"}, local.root(), TransferType::Image), 226)
        << server->output();
    EXPECT_EQ(ReadFileBytes(local.path("new.bin")), source);
    EXPECT_EQ(ReadFileBytes(local.path("second name.bin")), source);
    EXPECT_EQ(ReadFileBytes(local.path("empty.bin")), "now with bytes");
    EXPECT_EQ(recorder.outcome.load(), kOutcomeDownloaded);
}

INSTANTIATE_TEST_SUITE_P(BothServers, RealTransfers,
                         ::testing::Values(FtpServerKind::PyFtpd, FtpServerKind::Vsftpd),
                         ServerName);

// Whole sessions on worker threads, as the program runs them.
class RealSessions : public ServerCase {
  protected:
    void TearDown() override {
        for (auto& [session, thread] : running_) {
            CancelConnect(*session);
            SetQuitWhenDone(*session, true);
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

    std::shared_ptr<SessionWorker> Start(const FtpServer& server, RestartDatabase* restart,
                                         OutcomeRecorder& recorder) {
        SessionRequest request;
        request.scheme = "ftp";
        request.user = FtpServer::kUser;
        request.password = FtpServer::kPassword;
        request.host = "127.0.0.1";
        request.port = std::to_string(server.port());
        SessionOptions options;
        options.restart = restart != nullptr;
        options.restartDatabase = restart;
        options.observer = &recorder;
        // Each session starts with an empty cache, as a new connection does.
        caches_.push_back(std::make_unique<ListingCache>());
        cache_ = caches_.back().get();
        InstallTransferHandlers(options.handlers, *cache_);
        std::shared_ptr<SessionWorker> session = CreateSession(request, std::move(options));
        running_.emplace_back(session, std::thread([session] { (void)SessionThread(session); }));
        return session;
    }

    void Finish(const std::shared_ptr<SessionWorker>& session) {
        SetQuitWhenDone(*session, true);
        for (auto& [running, thread] : running_) {
            if (running == session && thread.joinable()) {
                thread.join();
            }
        }
    }

    // Lines so far, kept across calls.
    const std::vector<std::string>& Lines() {
        for (std::string& line : log.TakeTexts()) {
            lines_.push_back(std::move(line));
        }
        return lines_;
    }
    bool Logged(const std::string& prefix) { return Count(Lines(), prefix) > 0; }

    // A session whose first listing (of the root) is in its cache; null when it did not
    // come within the time.
    std::shared_ptr<SessionWorker> StartListed(const FtpServer& server, RestartDatabase* restart,
                                               OutcomeRecorder& recorder) {
        auto session = Start(server, restart, recorder);
        bool listed = WaitUntil(
            [&] { return Cache().FindPath("/") >= 0 && Cache().IsComplete(Cache().FindPath("/")); },
            std::chrono::seconds(20));
        return listed ? session : nullptr;
    }

    // Kills the slow server once `path` has grown past 300 KiB; true when the session then
    // ended.
    bool BreakWhenUnderWay(FtpServer& server, const std::string& path, OutcomeRecorder& recorder) {
        if (!WaitUntil([&] { return SizeOr0(path) > 300 * 1024; }, std::chrono::seconds(30))) {
            return false;
        }
        server.Kill();
        return WaitUntil([&] { return recorder.ended.load(); }, std::chrono::seconds(30));
    }

    // The cache of the session started last.
    ListingCache& Cache() { return *cache_; }

    test::LogCapture log;
    test::TempFolder local;
    test::TempFolder served;
    test::TempFolder data;

  private:
    std::vector<std::unique_ptr<ListingCache>> caches_;
    ListingCache* cache_ = nullptr;
    std::vector<std::pair<std::shared_ptr<SessionWorker>, std::thread>> running_;
    std::vector<std::string> lines_;
};

constexpr uint64_t kSlowRate = 256 * 1024;
constexpr size_t kBigFile = 3 * 1024 * 1024;

TEST_P(RealSessions, ABrokenDownloadResumesWithRestInTheNextSession) {
    const std::string source = RandomBytes(kBigFile, 7);
    WriteFileBytes(served.path("big.bin"), source);
    RestartDatabase restart(data.root() + "/");
    ASSERT_GT(restart.ClaimRestartSlot(true), 0);

    auto slow = test::StartFtpServer(GetParam(), FtpServerOptions{served.root(), kSlowRate});
    ASSERT_TRUE(slow->started()) << slow->problem();
    OutcomeRecorder first;
    auto session = StartListed(*slow, &restart, first);
    ASSERT_TRUE(session) << slow->output();
    int32_t root = Cache().FindPath("/");
    PostCommand(*session, kCommandGet, local.root(), 0,
                makeTransferFlags(TransferType::Image, false, 0), root,
                std::make_unique<PositionList>(
                    Cache(), root, std::vector<int32_t>{Cache().FindEntry(root, "big.bin")}));
    ASSERT_TRUE(BreakWhenUnderWay(*slow, local.path("big.bin"), first))
        << Tail(Lines()) << slow->output();
    EXPECT_TRUE(Logged("*** Network error, queue flushed"));
    EXPECT_EQ(first.outcome.load() & kOutcomeDownloadFailed, kOutcomeDownloadFailed);
    const uint64_t partial = SizeOr0(local.path("big.bin"));
    ASSERT_GT(partial, 0u);
    ASSERT_LT(partial, source.size());
    EXPECT_EQ(restart.GetRestartPending(), 1u);
    EXPECT_EQ(restart.GetRestartField(kRestartFieldOperation), "Gi");
    EXPECT_EQ(restart.GetRestartField(kRestartFieldRemoteName), "big.bin");
    EXPECT_EQ(restart.GetRestartField(kRestartFieldLocal), local.root());

    auto fast = test::StartFtpServer(GetParam(), FtpServerOptions{served.root(), 0});
    ASSERT_TRUE(fast->started()) << fast->problem();
    OutcomeRecorder second;
    auto resumed = Start(*fast, &restart, second);
    // The first session's summary line is there already; the second one's follows.
    ASSERT_TRUE(
        WaitUntil([&] { return Count(Lines(), "... received ") == 2; }, std::chrono::seconds(30)))
        << fast->output();
    Finish(resumed);
    EXPECT_TRUE(Logged("Restarting GET of big.bin"));
    EXPECT_TRUE(Logged("<REST " + std::to_string(partial))) << fast->output();
    EXPECT_EQ(ReadFileBytes(local.path("big.bin")), source);
    EXPECT_EQ(second.outcome.load(), kOutcomeDownloaded);
    EXPECT_EQ(restart.GetRestartPending(), 0u);
}

TEST_P(RealSessions, ABrokenUploadResumesWithAppeInTheNextSession) {
    const std::string source = RandomBytes(kBigFile, 9);
    WriteFileBytes(local.path("big up.bin"), source);
    RestartDatabase restart(data.root() + "/");
    ASSERT_GT(restart.ClaimRestartSlot(true), 0);

    auto slow = test::StartFtpServer(GetParam(), FtpServerOptions{served.root(), kSlowRate});
    ASSERT_TRUE(slow->started()) << slow->problem();
    OutcomeRecorder first;
    auto session = StartListed(*slow, &restart, first);
    ASSERT_TRUE(session) << slow->output();
    PostCommand(*session, kCommandPut, local.path("big up.bin"), 0,
                makeTransferFlags(TransferType::Image, false, 1), Cache().FindPath("/"));
    ASSERT_TRUE(BreakWhenUnderWay(*slow, served.path("big up.bin"), first))
        << Tail(Lines()) << slow->output();
    EXPECT_TRUE(Logged("*** Network error, queue flushed"));
    const uint64_t partial = SizeOr0(served.path("big up.bin"));
    ASSERT_LT(partial, source.size());
    EXPECT_EQ(restart.GetRestartPending(), 1u);
    EXPECT_EQ(restart.GetRestartField(kRestartFieldOperation), "Pi");
    EXPECT_EQ(restart.GetRestartField(kRestartFieldLocal), local.path("big up.bin"));

    auto fast = test::StartFtpServer(GetParam(), FtpServerOptions{served.root(), 0});
    ASSERT_TRUE(fast->started()) << fast->problem();
    OutcomeRecorder second;
    auto resumed = Start(*fast, &restart, second);
    ASSERT_TRUE(
        WaitUntil([&] { return Count(Lines(), "... sent ") == 2; }, std::chrono::seconds(30)))
        << fast->output();
    Finish(resumed);
    EXPECT_TRUE(Logged("Restarting PUT of big up.bin"));
    EXPECT_TRUE(Logged("<APPE big up.bin")) << fast->output();
    EXPECT_EQ(ReadFileBytes(served.path("big up.bin")), source);
    EXPECT_EQ(second.outcome.load(), kOutcomeUploaded);
    EXPECT_EQ(restart.GetRestartPending(), 0u);
}

TEST_P(RealSessions, StopDuringADownloadAbortsOnceAndTheSessionGoesOn) {
    const std::string source = RandomBytes(kBigFile, 11);
    WriteFileBytes(served.path("slow.bin"), source);
    auto slow = test::StartFtpServer(GetParam(), FtpServerOptions{served.root(), kSlowRate});
    ASSERT_TRUE(slow->started()) << slow->problem();
    OutcomeRecorder recorder;
    auto session = StartListed(*slow, nullptr, recorder);
    ASSERT_TRUE(session) << slow->output();
    int32_t root = Cache().FindPath("/");
    PostCommand(*session, kCommandGet, local.root(), 0,
                makeTransferFlags(TransferType::Image, false, 0), root,
                std::make_unique<PositionList>(
                    Cache(), root, std::vector<int32_t>{Cache().FindEntry(root, "slow.bin")}));
    PostCommand(*session, kCommandPrintDirectory);
    ASSERT_TRUE(WaitUntil([&] { return SizeOr0(local.path("slow.bin")) > 200 * 1024; },
                          std::chrono::seconds(30)));
    abortTransfers(*session);
    abortTransfers(*session);
    // The outcome is the download's last word.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return !session->transferActive.load() && Logged("... received ") &&
                   recorder.outcome.load() != 0;
        },
        std::chrono::seconds(30)))
        << Tail(Lines()) << slow->output();
    EXPECT_TRUE(Logged("Transfer terminated, queue flushed"));
    EXPECT_EQ(Count(Lines(), "<ABOR"), 1u);
    // The session's own first PWD; the one queued behind the download went with the flush.
    EXPECT_EQ(Count(Lines(), "<PWD"), 1u);
    const uint64_t partial = SizeOr0(local.path("slow.bin"));
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, source.size());
    EXPECT_EQ(ReadFileBytes(local.path("slow.bin")), source.substr(0, partial));
    EXPECT_EQ(recorder.outcome.load(), kOutcomeDownloadFailed);

    // The session is still there and answers the next command.
    PostCommand(*session, kCommandPrintDirectory);
    ASSERT_TRUE(WaitUntil([&] { return Count(Lines(), ">257") == 2; }, std::chrono::seconds(20)));
    Finish(session);
    EXPECT_FALSE(Logged("*** Network error"));
}

INSTANTIATE_TEST_SUITE_P(BothServers, RealSessions,
                         ::testing::Values(FtpServerKind::PyFtpd, FtpServerKind::Vsftpd),
                         ServerName);

}  // namespace
}  // namespace qvex
