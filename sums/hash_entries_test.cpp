#include "sums/hash_entries.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/inherited_section.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

const std::string kMd5(32, 'a');

// Each entry as "relative path|full path".
std::vector<std::string> Describe(const std::vector<HashEntry>& entries) {
    std::vector<std::string> rows;
    for (const HashEntry& entry : entries) {
        rows.push_back(std::string(entry.relativePath()) + "|" + entry.fullPath);
    }
    return rows;
}

TEST(JoinBaseFolder, OneSeparatorBetween) {
    struct Row {
        const char* folder;
        const char* name;
        const char* fullPath;
        uint32_t offset;
    };
    const std::vector<Row> rows = {
        {"/data", "a.txt", "/data/a.txt", 6},
        {"/data/", "a.txt", "/data/a.txt", 6},
        {"", "a.txt", "a.txt", 0},
        {"", "/abs/a.txt", "/abs/a.txt", 0},
        {"/data", "/abs/a.txt", "/abs/a.txt", 0},
        {"/data", "back\\slash", "/data/back\\slash", 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.folder) + " + " + row.name);
        JoinedPath joined = JoinBaseFolder(row.folder, row.name);
        EXPECT_EQ(joined.fullPath, row.fullPath);
        EXPECT_EQ(joined.relativeOffset, row.offset);
    }
}

class EntriesTest : public ::testing::Test {
  protected:
    void Write(const std::string& relative, const std::string& bytes = "x") {
        test::WriteFileBytes(folder_.path(relative), bytes);
    }
    std::string root() const { return folder_.root(); }
    std::string path(const std::string& relative) const { return folder_.path(relative); }

    test::TempFolder folder_;
};

TEST_F(EntriesTest, WalksFoldersDepthFirstInNameOrder) {
    Write("top/b.txt");
    Write("top/a.txt");
    Write("top/m/z.txt");
    Write("top/m/deeper/y.txt");
    Write("top/c.txt");
    Write("top/empty/.hidden");
    Write("single.bin");
    std::vector<HashEntry> entries = EntriesFromNames(root(), {"top", "single.bin"});
    std::string base = root() + "/";
    EXPECT_EQ(Describe(entries), (std::vector<std::string>{
                                     "top/a.txt|" + base + "top/a.txt",
                                     "top/b.txt|" + base + "top/b.txt",
                                     "top/c.txt|" + base + "top/c.txt",
                                     "top/empty/.hidden|" + base + "top/empty/.hidden",
                                     "top/m/deeper/y.txt|" + base + "top/m/deeper/y.txt",
                                     "top/m/z.txt|" + base + "top/m/z.txt",
                                     "single.bin|" + base + "single.bin",
                                 }));
    for (const HashEntry& entry : entries) {
        EXPECT_TRUE(entry.result.empty());
    }
}

TEST_F(EntriesTest, NothingIsFilteredButFolderLinksAreNotFollowed) {
    Write("tree/file");
    Write("outside/far");
    ASSERT_EQ(::mkfifo(path("tree/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("file", path("tree/file-link").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", path("tree/dangling").c_str()), 0);
    // A loop back to the tree, and a way out of it: neither is walked.
    ASSERT_EQ(::symlink("..", path("tree/loop").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", path("tree/out").c_str()), 0);
    std::vector<HashEntry> entries = EntriesFromNames(root(), {"tree"});
    std::vector<std::string> relative;
    for (const HashEntry& entry : entries) {
        relative.emplace_back(entry.relativePath());
    }
    EXPECT_EQ(relative, (std::vector<std::string>{"tree/dangling", "tree/fifo", "tree/file",
                                                  "tree/file-link"}));
}

TEST_F(EntriesTest, ANamedLinkToAFolderIsWalkedAndAMissingNameKept) {
    Write("real/inside");
    ASSERT_EQ(::symlink("real", path("named").c_str()), 0);
    std::vector<HashEntry> entries = EntriesFromNames(root(), {"named", "gone", ""});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].relativePath(), "named/inside");
    EXPECT_EQ(entries[1].fullPath, path("gone"));
}

TEST_F(EntriesTest, SumsFileEntriesAreRelativeToItsFolder) {
    Write("data/sub/x.bin");
    Write("data/sub/y z.bin");
    Write("abs.bin");
    std::string text = kMd5 + "  sub/x.bin\r\n" + "MD5 (sub/y z.bin) = " + std::string(32, 'B') +
                       "\r\n" + "junk line\r\n" + kMd5 + "  " + path("abs.bin") + "\r\n";
    Write("data/md5sums", text);
    CollectedEntries collected = EntriesFromSumsFile(path("data/md5sums"), HashAlgorithm::None);
    EXPECT_EQ(collected.algorithm, HashAlgorithm::Md5);
    EXPECT_EQ(collected.baseFolder, path("data/"));
    ASSERT_EQ(collected.entries.size(), 3u);
    EXPECT_EQ(collected.entries[0].fullPath, path("data/sub/x.bin"));
    EXPECT_EQ(collected.entries[0].relativePath(), "sub/x.bin");
    EXPECT_EQ(collected.entries[0].result, kMd5);
    EXPECT_EQ(collected.entries[1].fullPath, path("data/sub/y z.bin"));
    EXPECT_EQ(collected.entries[1].result, std::string(32, 'B'));
    // A name written as a full path is taken as it is.
    EXPECT_EQ(collected.entries[2].fullPath, path("abs.bin"));
    EXPECT_EQ(collected.entries[2].relativePath(), path("abs.bin"));
}

TEST_F(EntriesTest, BackslashNamesAreFoundUnderSlashes) {
    Write("data/sub/x.bin");
    Write("data/odd\\name");
    std::string text = kMd5 + "  sub\\x.bin\n" + kMd5 + "  odd\\name\n" + kMd5 + "  no\\such\n";
    Write("data/md5sums", text);
    CollectedEntries collected = EntriesFromSumsFile(path("data/md5sums"), HashAlgorithm::Md5);
    ASSERT_EQ(collected.entries.size(), 3u);
    EXPECT_EQ(collected.entries[0].fullPath, path("data/sub/x.bin"));
    // A name that exists as written keeps its backslash.
    EXPECT_EQ(collected.entries[1].fullPath, path("data/odd\\name"));
    EXPECT_EQ(collected.entries[2].fullPath, path("data/no\\such"));
}

TEST(HashRequestFromCommandLine, KindsSixAndSeven) {
    std::optional<HashRequest> compute =
        HashRequestFromCommandLine(6, 'm', kCommandLineHashJob, {"", "/base/", "a", "b c"});
    ASSERT_TRUE(compute.has_value());
    EXPECT_EQ(compute->mode, HashMode::Compute);
    EXPECT_EQ(compute->letter, 'm');
    EXPECT_EQ(compute->baseFolder, "/base/");
    EXPECT_EQ(compute->names, (std::vector<std::string>{"a", "b c"}));

    std::optional<HashRequest> verify =
        HashRequestFromCommandLine(7, 0, kCommandLineHashJob, {"", "/base/", "x.md5", "extra"});
    ASSERT_TRUE(verify.has_value());
    EXPECT_EQ(verify->mode, HashMode::Verify);
    EXPECT_EQ(verify->letter, 0);
    EXPECT_EQ(verify->names, (std::vector<std::string>{"x.md5"}));

    std::optional<HashRequest> bare = HashRequestFromCommandLine(6, 'w', 0, {});
    ASSERT_TRUE(bare.has_value());
    EXPECT_TRUE(bare->baseFolder.empty());
    EXPECT_TRUE(bare->names.empty());

    for (int kind : {0, 1, 2, 3, 4, 5, 8}) {
        SCOPED_TRACE(kind);
        EXPECT_FALSE(HashRequestFromCommandLine(kind, 'm', 0, {"", "/b", "n"}).has_value());
    }
}

TEST(HashRequestFromCommandLine, NamesFromTheInheritedSection) {
    platform::InheritedSection section;
    const std::vector<std::string> names = {"one", "sub/two", "three four"};
    ASSERT_TRUE(section.Create(names));
    std::string handle = section.HandleText();
    int fd = section.Release();
    std::optional<HashRequest> request = HashRequestFromCommandLine(
        6, '2', kCommandLineHashJob | kCommandLineSharedNames, {"", "/base/", handle});
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->names, names);
    EXPECT_EQ(request->letter, '2');
    // The section was closed after it was read.
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

    EXPECT_FALSE(HashRequestFromCommandLine(6, '2', kCommandLineSharedNames, {"", "/base/", "zz"})
                     .has_value());
    EXPECT_FALSE(
        HashRequestFromCommandLine(6, '2', kCommandLineSharedNames, {"", "/base/"}).has_value());
}

}  // namespace
}  // namespace qvex
