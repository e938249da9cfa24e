// Searches over a tree that a real pyftpdlib serves, checked against a walk of the served
// folder on disk.
#include "search/site_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/session.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "transfer/listing_cache.h"
#include "transfer/navigation.h"

namespace qvex {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::vector<std::string> kFileNames = {
    "main1.html", "main2.htm", "mainX.htm", "main12.html",   "main3.htm.old", "index.html",
    "img_01.png", "img_2.png", "img_x.png", "img_3.png.txt", "photo.gif",     "Photo.GIF",
    "notes.txt",  "README",    "a b.gif",   "page.html.bak",
};
const Lines kLevelNames[3] = {{"alpha", "beta", "icons.gif"}, {"src", "doc", "img"}, {"x1", "x2"}};

// Levels of three, three and two folders below the root, most file names in every folder.
bool BuildTree(const test::FtpServer& server, const std::string& folder, size_t depth,
               size_t& serial) {
    const size_t n = serial++;
    for (size_t i = 0; i < kFileNames.size(); ++i) {
        if ((n + i) % 4 != 0 && !server.PutFile(folder + kFileNames[i], std::to_string(n + i))) {
            return false;
        }
    }
    for (size_t i = 0; depth < 3 && i < kLevelNames[depth].size(); ++i) {
        if (!BuildTree(server, folder + kLevelNames[depth][i] + "/", depth + 1, serial)) {
            return false;
        }
    }
    return true;
}

class Collect : public SearchObserver {
  public:
    explicit Collect(const ListingCache& cache) : cache_(cache) {}
    void OnSearchMatch(int32_t folderId, int32_t index) override {
        std::string folder = cache_.PathOf(folderId).value_or("?");
        matches.push_back((folder == "/" ? "" : folder) + "/" +
                          cache_.Entry(folderId, index).value_or(RemoteEntry{}).name);
        std::sort(matches.begin(), matches.end());
    }
    void OnSearchEnded(int32_t folderCount, int32_t fileCount) override {
        ends.push_back({folderCount, fileCount});
    }
    Lines matches;  // sorted
    std::vector<std::pair<int32_t, int32_t>> ends;

  private:
    const ListingCache& cache_;
};

TEST(RealServerSearch, PatternsOverTheTreeListEachFolderOnceThenUseTheCache) {
    test::LogCapture log;
    auto server = test::StartFtpServer(test::FtpServerKind::PyFtpd);
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    size_t serial = 0;
    ASSERT_TRUE(BuildTree(*server, "", 0, serial));
    ASSERT_TRUE(server->PutFolder("alpha/empty"));
    // The served tree as the server shows it ("/alpha/src"), and the counts a search of the
    // whole tree and of the top folder give (the start folder is a folder too).
    Lines entries;
    int32_t folders = 1, files = 0, topFiles = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(server->root())) {
        entries.push_back("/" + fs::relative(entry.path(), server->root()).generic_string());
        ++(entry.is_directory() ? folders : files);
        topFiles += !entry.is_directory() && entries.back().rfind('/') == 0 ? 1 : 0;
    }
    ASSERT_GT(entries.size(), 300u);

    SessionWorker session;
    ListingCache cache;
    session.request.user = test::FtpServer::kUser;
    session.request.password = test::FtpServer::kPassword;
    ASSERT_TRUE(session.control.Create());
    ASSERT_TRUE(session.control.Connect("127.0.0.1", server->port()));
    ASSERT_TRUE(session.control.SetBuffer(4096));
    ASSERT_TRUE(Login(session));
    session.passive = 1;
    ASSERT_EQ(printWorkingDirectory(session, session.workingDirectory), 257);
    SessionCommand list;
    int32_t root = -1;
    ASSERT_EQ(listDirectory(session, cache, list, &root), 226) << server->output();
    (void)log.Take();

    const auto containsGif = [](const std::string& name) {
        return name.find(".gif") != std::string::npos;
    };
    const std::vector<std::tuple<std::string, int32_t, std::function<bool(const std::string&)>>>
        rows = {
            {"*.htm", kSearchSubfolders,
             [](const std::string& name) { return name.find(".htm") != std::string::npos; }},
            // "main", one character, ".htm", and at least one more character.
            {"main?.htm*", kSearchSubfolders,
             [](const std::string& name) {
                 return name.size() > 9 && name.starts_with("main") && name.substr(5, 4) == ".htm";
             }},
            {"^img_[0-9]+\\.png$", kSearchSubfolders | kSearchPcre,
             [](const std::string& name) {
                 return name.starts_with("img_") && name.ends_with(".png") && name.size() > 8 &&
                        std::all_of(name.begin() + 4, name.end() - 4,
                                    [](char c) { return c >= '0' && c <= '9'; });
             }},
            // Folder names match too ("icons.gif"); case counts.
            {"\\.gif", kSearchPcre, containsGif},
            {"*.gif", 0, containsGif},
        };
    for (const auto& [pattern, flags, rule] : rows) {
        SCOPED_TRACE(pattern);
        const bool subfolders = (flags & kSearchSubfolders) != 0;
        Lines expected;
        for (const std::string& path : entries) {
            if ((subfolders || path.rfind('/') == 0) && rule(path.substr(path.rfind('/') + 1))) {
                expected.push_back(path);
            }
        }
        std::sort(expected.begin(), expected.end());
        SessionCommand command;
        command.text = pattern;
        command.b = flags;
        command.c = root;
        Collect found(cache);
        EXPECT_EQ(SiteSearch(session, cache, command, found), 200) << server->output();
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(found.matches, expected);
        EXPECT_EQ(found.ends,
                  (std::vector<std::pair<int32_t, int32_t>>{subfolders ? std::pair{folders, files}
                                                                       : std::pair{1, topFiles}}));
        Lines sent;
        for (const test::LogCapture::Line& line : log.Take()) {
            if (line.kind == "LogCmd" && line.text.starts_with("<")) {
                sent.push_back(line.text);
            }
        }
        if (pattern == "*.htm") {
            EXPECT_EQ(std::count(sent.begin(), sent.end(), "<LIST"), folders - 1)
                << "every folder below the start folder listed once";
        } else {
            EXPECT_EQ(sent, Lines{}) << "the cache served every folder";
        }
    }
}

}  // namespace
}  // namespace qvex
