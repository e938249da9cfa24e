// Every remote operation against a real pyftpdlib server, with the listing cache checked
// after each; the exact conversations are in navigation_test.cpp.
#include "transfer/remote_operations.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "engine/session.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "transfer/listing_cache.h"
#include "transfer/navigation.h"
#include "transfer/transfer_handlers.h"

namespace qvex {
namespace {

using test::FtpServer;

SessionCommand Command(int32_t directory, std::string text = {}, int32_t b = 0) {
    SessionCommand command;
    command.text = std::move(text);
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

class RealServerOperations : public ::testing::Test {
  public:
    void SetUp() override {
        server = test::StartFtpServer(test::FtpServerKind::PyFtpd);
        if (!server->started()) {
            GTEST_SKIP() << server->problem();
        }
        session.request.user = FtpServer::kUser;
        session.request.password = FtpServer::kPassword;
        ASSERT_TRUE(session.control.Create());
        ASSERT_TRUE(session.control.Connect("127.0.0.1", server->port()));
        ASSERT_TRUE(session.control.SetBuffer(4096));
        ASSERT_TRUE(Login(session));
        session.passive = 1;
    }
    int32_t Position(int32_t directory, const std::string& name) {
        return cache.FindEntry(directory, name);
    }
    std::string Output() { return server->output(); }

    test::LogCapture log;
    std::unique_ptr<FtpServer> server;
    SessionWorker session;
    ListingCache cache;
};

TEST_F(RealServerOperations, EveryOperationKeepsTheCacheInStepWithTheServer) {
    namespace fs = std::filesystem;
    ASSERT_TRUE(server->PutFile("tree/l1/l2/deep.txt", "3"));
    ASSERT_TRUE(server->PutFile("tree/l1/mid.txt", "2"));
    ASSERT_TRUE(server->PutFile("tree/top.txt", "1"));
    ASSERT_TRUE(server->PutFile("plain.txt", "hello"));
    ASSERT_EQ(printWorkingDirectory(session, session.workingDirectory), 257);
    EXPECT_EQ(session.workingDirectory, "/");
    SessionCommand list;
    list.b = kListShowUser;
    int32_t root = -1;
    ASSERT_EQ(listDirectory(session, cache, list, &root), 226) << Output();
    ASSERT_GE(Position(root, "tree"), 0);

    EXPECT_EQ(MakeDirectory(session, cache, Command(root, "made")), 257) << Output();
    EXPECT_TRUE(fs::is_directory(server->path("made")));
    int32_t made = Position(root, "made");
    ASSERT_GE(made, 0);
    EXPECT_TRUE(isDirectory(*cache.Entry(root, made)));

    SessionCommand rename = Operation(cache, root, "renamed", 0, {made});
    EXPECT_EQ(RenameEntry(session, cache, rename), 250) << Output();
    EXPECT_TRUE(fs::is_directory(server->path("renamed")));
    EXPECT_EQ(Position(root, "renamed"), made);
    EXPECT_EQ(Position(root, "made"), -1);

    int32_t plain = Position(root, "plain.txt");
    SessionCommand chmod = Operation(cache, root, {}, 0640, {plain});
    EXPECT_EQ(SiteCommand(session, cache, chmod), 200) << Output();
    EXPECT_EQ(fs::status(server->path("plain.txt")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(entryModeOf(*cache.Entry(root, plain)), 0640u);

    SessionCommand tree = Operation(cache, root, {}, kDeleteRecursive, {Position(root, "tree")});
    EXPECT_EQ(DeleteEntries(session, cache, tree), 250) << Output();
    EXPECT_FALSE(fs::exists(server->path("tree")));
    EXPECT_EQ(Position(root, "tree"), -1);
    EXPECT_EQ(session.currentDirectory, "/");

    SessionCommand files = Operation(cache, root, {}, 0, {plain, Position(root, "renamed")});
    EXPECT_EQ(DeleteEntries(session, cache, files), 250) << Output();
    EXPECT_FALSE(fs::exists(server->path("plain.txt")));
    EXPECT_FALSE(fs::exists(server->path("renamed")));
    EXPECT_EQ(Position(root, "plain.txt"), -1);

    // A refused CWD leaves everything as it was.
    int32_t directories = cache.DirectoryCount();
    list.text = "/missing";
    EXPECT_EQ(listDirectory(session, cache, list, nullptr), 550);
    EXPECT_EQ(session.currentDirectory, "/");
    EXPECT_EQ(cache.DirectoryCount(), directories);

    // A fresh listing agrees with what the cache kept.
    auto named = [&] {
        std::vector<std::string> names;
        for (const RemoteEntry& entry : cache.Snapshot(root)) {
            if (!entry.name.empty()) {
                names.push_back(entry.name);
            }
        }
        return names;
    };
    std::vector<std::string> kept = named();
    list.text = "/";
    list.b = kListRefresh;
    ASSERT_EQ(listDirectory(session, cache, list, nullptr), 226);
    EXPECT_EQ(named(), kept);
}

class QuitAfterMakingADirectory : public SessionObserver {
  public:
    void OnConnected(const std::string&, const std::string&) override {
        // The start directory is the first the cache sees: id 0.
        PostCommand(*session, kCommandMakeDirectory, "fresh", 0, 0, 0);
        SetQuitWhenDone(*session, true);
    }
    std::shared_ptr<SessionWorker> session;
};

TEST_F(RealServerOperations, TheInstalledHandlersRunAWholeSession) {
    ASSERT_TRUE(server->PutFile("pub/readme.txt", "x"));
    SessionRequest request;
    request.user = FtpServer::kUser;
    request.password = FtpServer::kPassword;
    request.host = "127.0.0.1";
    request.port = std::to_string(server->port());
    request.path = "pub";
    QuitAfterMakingADirectory observer;
    SessionOptions options;
    options.observer = &observer;
    options.restart = false;
    InstallTransferHandlers(options.handlers, cache);
    auto whole = CreateSession(request, std::move(options));
    ASSERT_NE(whole, nullptr);
    observer.session = whole;
    auto result = std::async(std::launch::async, [whole] { return SessionThread(whole); });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(result.get(), kExitProgram);
    EXPECT_EQ(whole->workingDirectory, "/");
    EXPECT_EQ(cache.PathOf(0), "/pub");
    EXPECT_GE(cache.FindEntry(0, "readme.txt"), 0);
    EXPECT_GE(cache.FindEntry(0, "fresh"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(server->path("pub/fresh"))) << Output();
}

}  // namespace
}  // namespace qvex
