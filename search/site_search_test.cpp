// The walk over cached trees, and over folders a scripted server lists on the way (exact
// conversations); the real-server runs are in real_search_test.cpp.
#include "search/site_search.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/scripted_peer.h"
#include "transfer/listing_cache.h"

namespace qvex {
namespace {

using Lines = std::vector<std::string>;

RemoteEntry Named(std::string name, uint32_t flags = 0) {
    RemoteEntry entry;
    entry.name = std::move(name);
    entry.flags = flags;
    return entry;
}

// Records every call as "match /path/name" or "end folders files"; on a match it may set
// the abort flag, or leave its receivers.
class Recorder : public SearchObserver {
  public:
    explicit Recorder(const ListingCache& cache) : cache_(cache) {}
    void OnSearchMatch(int32_t folderId, int32_t index) override {
        events.push_back("match " + cache_.PathOf(folderId).value_or("?") + "/" +
                         cache_.Entry(folderId, index).value_or(RemoteEntry{}).name);
        if (abortOnMatch != nullptr) {
            *abortOnMatch = true;
        }
        if (leave != nullptr) {
            leave->Remove(number);
        }
    }
    void OnSearchEnded(int32_t folders, int32_t files) override {
        events.push_back("end " + std::to_string(folders) + " " + std::to_string(files));
    }
    Lines events;
    std::atomic<bool>* abortOnMatch = nullptr;
    SearchReceivers* leave = nullptr;
    int32_t number = 0;

  private:
    const ListingCache& cache_;
};

SessionCommand Search(std::string pattern, int32_t flags, int32_t folder, int32_t receiver = 0) {
    SessionCommand command;
    command.kind = kCommandSiteSearch;
    command.text = std::move(pattern);
    command.a = receiver;
    command.b = flags;
    command.c = folder;
    return command;
}

class Walk : public ::testing::Test {
  public:
    int32_t Folder(const std::string& path, int32_t parent, int32_t position,
                   std::vector<RemoteEntry> entries) {
        int32_t id = cache.FindOrCreate(path, parent, position, false);
        for (RemoteEntry& entry : entries) {
            EXPECT_GE(cache.AppendEntry(id, std::move(entry)), 0);
        }
        cache.MarkComplete(id, 0, false);
        return id;
    }
    // /pub: . .. a.gif docs/ (nameless) latest@ b.GIF old.gif/ x.gif.txt, all in the cache.
    void CachedTree() {
        pub = Folder("/pub", kNoDirectory, kNoPosition,
                     {Named(".", kEntryDirectory), Named("..", kEntryDirectory), Named("a.gif"),
                      Named("docs", kEntryDirectory), Named(""), Named("latest", kEntrySymLink),
                      Named("b.GIF"), Named("old.gif", kEntryDirectory), Named("x.gif.txt")});
        docs = Folder("/pub/docs", pub, 3,
                      {Named("readme.txt"), Named("c.gif"), Named("deep", kEntryDirectory)});
        (void)Folder("/pub/docs/deep", docs, 2, {Named("d.gif")});
        (void)Folder("/pub/old.gif", pub, 7, {Named("e.gif")});
    }
    Lines Run(const SessionCommand& command, int expected = 200) {
        Recorder recorder(cache);
        EXPECT_EQ(SiteSearch(session, cache, command, recorder), expected);
        return recorder.events;
    }

    test::LogCapture log;
    SessionWorker session;
    ListingCache cache;
    int32_t pub = -1, docs = -1;
};

TEST_F(Walk, MatchesInListingOrderThenTheFolderAndFileCounts) {
    CachedTree();
    struct Row {
        std::string pattern;
        int32_t flags;
        Lines events;
    };
    const std::vector<Row> rows = {
        {"*.gif",
         kSearchSubfolders,
         {"match /pub/a.gif", "match /pub/docs/c.gif", "match /pub/docs/deep/d.gif",
          "match /pub/old.gif", "match /pub/old.gif/e.gif", "match /pub/x.gif.txt", "end 4 8"}},
        {"*.gif", 0, {"match /pub/a.gif", "match /pub/old.gif", "match /pub/x.gif.txt", "end 1 4"}},
        {"^[a-e]\\.gif$",
         kSearchSubfolders | kSearchPcre,
         {"match /pub/a.gif", "match /pub/docs/c.gif", "match /pub/docs/deep/d.gif",
          "match /pub/old.gif/e.gif", "end 4 8"}},
        // Empty patterns match every name; "." and ".." are never examined.
        {"",
         0,
         {"match /pub/a.gif", "match /pub/docs", "match /pub/latest", "match /pub/b.GIF",
          "match /pub/old.gif", "match /pub/x.gif.txt", "end 1 4"}},
        {"(", kSearchSubfolders | kSearchPcre, {"end 0 -1"}},
        {"*", kSearchPcre, {"end 0 -1"}},
        {std::string(512, '*'), kSearchSubfolders, {"end 0 -1"}},
        {std::string(511, '?'), kSearchSubfolders, {"end 4 8"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pattern.substr(0, 16));
        EXPECT_EQ(Run(Search(row.pattern, row.flags, pub), row.events[0] == "end 0 -1" ? 599 : 200),
                  row.events);
    }
    EXPECT_EQ(Run(Search("*", kSearchSubfolders, 99)), (Lines{"end 0 0"})) << "unknown folder";
}

TEST_F(Walk, AnAbortStopsAtOnceAndUnfinishedFoldersAreNotCounted) {
    CachedTree();
    Recorder recorder(cache);
    recorder.abortOnMatch = &session.abortRequested;
    EXPECT_EQ(SiteSearch(session, cache, Search("d.gif", kSearchSubfolders, pub), recorder), 200);
    EXPECT_EQ(recorder.events, (Lines{"match /pub/docs/deep/d.gif", "end 0 4"}));
}

TEST_F(Walk, LargeFoldersAreExaminedInOrderAcrossBatches) {
    std::vector<RemoteEntry> entries;
    Lines expected;
    for (int i = 0; i < 1000; ++i) {
        std::string name =
            i == 600 ? "sub.gif" : "f" + std::to_string(i) + (i % 7 ? ".txt" : ".gif");
        entries.push_back(Named(name, i == 600 ? kEntryDirectory : 0));
        if (i % 7 == 0 || i == 600) {
            expected.push_back("match /big/" + name);
        }
        if (i == 600) {
            expected.push_back("match /big/sub.gif/inner.gif");
        }
    }
    int32_t big = Folder("/big", kNoDirectory, kNoPosition, std::move(entries));
    (void)Folder("/big/sub.gif", big, 600, {Named("inner.gif")});
    expected.push_back("end 2 1000");
    EXPECT_EQ(Run(Search("*.gif", kSearchSubfolders, big)), expected);
}

TEST_F(Walk, TheInstalledHandlerDeliversToItsReceiverWhileItIsRegistered) {
    CachedTree();
    SearchReceivers receivers;
    CommandHandlers handlers;
    InstallSearchHandler(handlers, cache, receivers);
    EXPECT_FALSE(handlers[kCommandList]) << "only kind 9 is installed";
    Recorder other(cache);
    Recorder leaving(cache);
    (void)receivers.Add(other);
    leaving.leave = &receivers;
    leaving.number = receivers.Add(leaving);

    SessionCommand command = Search("*.gif", kSearchSubfolders, pub, leaving.number);
    EXPECT_EQ(handlers[kCommandSiteSearch](session, command), 200);
    // Gone from inside its first call: the walk went on, its messages found nobody.
    EXPECT_EQ(leaving.events, (Lines{"match /pub/a.gif"}));
    EXPECT_EQ(other.events, Lines{});
    EXPECT_NE(receivers.Add(leaving), leaving.number) << "a number is not handed out again";

    PostSiteSearch(session, {"*.txt", kSearchPcre, 7, 3});
    ASSERT_EQ(session.queue.size(), 1u);
    const SessionCommand& queued = session.queue.front();
    EXPECT_EQ(Lines({std::to_string(queued.kind), queued.text, std::to_string(queued.a),
                     std::to_string(queued.b), std::to_string(queued.c)}),
              (Lines{"9", "*.txt", "3", "32", "7"}));
}

// The server is in /pub, whose listing the cache holds; its sub-folders are unknown.
TEST_F(Walk, UnlistedFoldersAreListedOnceAndFoldersThatFailAreSkipped) {
    pub = Folder("/pub", kNoDirectory, kNoPosition,
                 {Named("a.gif"), Named("sub", kEntryDirectory), Named("gone", kEntryDirectory),
                  Named("loop", kEntryDirectory), Named("z.gif")});
    session.currentDirectory = "/pub";
    test::ScriptedPeer control, data;
    data.Send(
            "-rw-r--r-- 1 u g 5 Jan 15 10:42 inner.gif\r\n"
            "drwxr-xr-x 2 u g 4096 Mar  3  2004 more\r\n")
        .Close();
    ASSERT_TRUE(data.Start());
    // sub: entered and listed; sub/more and gone: refused; loop: the server reports /pub,
    // which is being walked already. Then the same search again, and a lost connection.
    for (const std::string& reply :
         Lines{"250 OK", "257 \"/pub/sub\"",
               "227 Entering Passive Mode (127,0,0,1," + std::to_string(data.port() >> 8) + "," +
                   std::to_string(data.port() & 0xFF) + ")",
               "150 Here\r\n226 Done", "550 No", "550 No", "250 OK", "257 \"/pub\"", "550 No",
               "550 No", "250 OK", "257 \"/pub\"", "421 Closing"}) {
        control.ReadLine().SendLine(reply);
    }
    control.ReadToEnd();
    ASSERT_TRUE(control.Start());
    ASSERT_TRUE(session.control.Create());
    ASSERT_TRUE(session.control.Connect("127.0.0.1", control.port()));
    ASSERT_TRUE(session.control.SetBuffer(4096));
    session.passive = 1;

    const Lines found = {"match /pub/a.gif", "match /pub/sub/inner.gif", "match /pub/z.gif",
                         "end 2 3"};
    EXPECT_EQ(Run(Search("*.gif", kSearchSubfolders, pub)), found);
    EXPECT_EQ(Run(Search("*.gif", kSearchSubfolders, pub)), found);
    session.currentDirectory = "/elsewhere";
    cache.DropListing(cache.FindPath("/pub/sub"));
    EXPECT_EQ(Run(Search("*.gif", kSearchSubfolders, pub), 421),
              (Lines{"match /pub/a.gif", "end 0 1"}));
    session.control.Close();
    ASSERT_TRUE(control.Wait());
    EXPECT_EQ(control.lines(),
              (Lines{"CWD sub", "PWD", "PASV", "LIST", "CWD more", "CWD /pub/gone", "CWD /pub/loop",
                     "PWD",
                     // again: only the folders that could not be listed cost a command
                     "CWD /pub/sub/more", "CWD gone", "CWD loop", "PWD",
                     // the listing of sub was dropped
                     "CWD /pub/sub"}));
}

}  // namespace
}  // namespace qvex
