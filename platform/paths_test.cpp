#include "platform/paths.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

// Permission bits of a path, or -1 when it does not exist.
int ModeOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return static_cast<int>(info.st_mode & 07777);
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The home folder of the passwd entry, or "" when there is none.
std::string PasswdHome() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

TEST(Paths, DataFolderFollowsXdgDataHome) {
    test::TempEnv env;
    const std::string folder = DataFolder();
    EXPECT_EQ(folder, env.root() + "/data/VbKs/Qvex/");
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_EQ(ModeOf(folder), 0700);
    EXPECT_EQ(ModeOf(env.root() + "/data/VbKs"), 0700);
    EXPECT_EQ(ModeOf(env.root() + "/data"), 0700);
}

TEST(Paths, DataFolderAgainReturnsTheSameFolder) {
    test::TempEnv env;
    const std::string first = DataFolder();
    test::WriteFileBytes(first + "QvexMRU.txt", "kept");
    EXPECT_EQ(DataFolder(), first);
    EXPECT_EQ(test::ReadFileBytes(first + "QvexMRU.txt"), "kept");
}

TEST(Paths, DataFolderWithoutXdgDataHomeIsBelowHome) {
    test::TempEnv env;
    ::unsetenv("XDG_DATA_HOME");
    const std::string folder = DataFolder();
    EXPECT_EQ(folder, env.root() + "/.local/share/VbKs/Qvex/");
    EXPECT_TRUE(IsFolder(folder));
    EXPECT_EQ(ModeOf(folder), 0700);
    EXPECT_EQ(ModeOf(env.root() + "/.local"), 0700);
}

TEST(Paths, EmptyOrRelativeXdgDataHomeIsIgnored) {
    for (const char* value : {"", "relative/data"}) {
        SCOPED_TRACE(value);
        test::TempEnv env;
        ::setenv("XDG_DATA_HOME", value, 1);
        EXPECT_EQ(DataFolder(), env.root() + "/.local/share/VbKs/Qvex/");
    }
}

TEST(Paths, XdgDataHomeWithTrailingSeparator) {
    test::TempEnv env;
    ::setenv("XDG_DATA_HOME", (env.root() + "/data/").c_str(), 1);
    EXPECT_EQ(DataFolder(), env.root() + "/data/VbKs/Qvex/");
}

// No data folder at all then, never the program's folder.
TEST(Paths, NoDataFolderWhenItCannotBeMade) {
    test::TempEnv env;
    test::WriteFileBytes(env.path("plainfile"), "x");
    for (const std::string& base : {env.path("plainfile"), env.path("plainfile/below")}) {
        SCOPED_TRACE(base);
        ::setenv("XDG_DATA_HOME", base.c_str(), 1);
        EXPECT_EQ(DataFolder(), "");
        EXPECT_EQ(DataFolderPath(), base + "/VbKs/Qvex/");
    }
    EXPECT_EQ(test::ReadFileBytes(env.path("plainfile")), "x");
}

TEST(Paths, RegistryFileBelowXdgConfigHome) {
    test::TempEnv env;
    EXPECT_EQ(ConfigFolder(), env.root() + "/config/VbKs/Qvex/");
    EXPECT_EQ(RegistryFilePath(), env.root() + "/config/VbKs/Qvex/registry.reg");
    // Made by the registry file's first write, not by asking for the path.
    EXPECT_FALSE(test::FileExists(env.root() + "/config"));
}

TEST(Paths, RegistryFileWithoutXdgConfigHomeIsBelowHome) {
    test::TempEnv env;
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(RegistryFilePath(), env.root() + "/.config/VbKs/Qvex/registry.reg");
}

// Without a usable HOME the passwd entry names the home folder; a shared folder such as
// /tmp would let other users see or replace the files.
TEST(Paths, WithoutHomeThePasswdHomeIsUsed) {
    const std::string home = PasswdHome();
    if (home.empty() || home[0] != '/') {
        GTEST_SKIP() << "no passwd entry for this user";
    }
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative"}) {
        SCOPED_TRACE(value == nullptr ? "unset" : value);
        test::TempEnv env;
        ::unsetenv("XDG_CONFIG_HOME");
        if (value == nullptr) {
            ::unsetenv("HOME");
        } else {
            ::setenv("HOME", value, 1);
        }
        EXPECT_EQ(ConfigFolder(), (home == "/" ? "" : home) + "/.config/VbKs/Qvex/");
    }
}

TEST(Paths, ProgramPathAndFolder) {
    const std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    const std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), kPathSeparator);
    EXPECT_EQ(path.substr(0, folder.size()), folder);
    EXPECT_EQ(path.find(kPathSeparator, folder.size()), std::string::npos);
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
}

TEST(Paths, MakeFolders) {
    test::TempEnv env;
    const std::string nested = env.path("a/b/c");
    EXPECT_TRUE(MakeFolders(nested, 0700));
    EXPECT_TRUE(IsFolder(nested));
    EXPECT_EQ(ModeOf(env.path("a")), 0700);
    EXPECT_TRUE(MakeFolders(nested, 0700));  // already there
    EXPECT_TRUE(MakeFolders(nested + "/", 0700));

    test::WriteFileBytes(env.path("file"), "x");
    EXPECT_FALSE(MakeFolders(env.path("file"), 0700));
    EXPECT_FALSE(MakeFolders(env.path("file/below"), 0700));
    EXPECT_FALSE(MakeFolders("", 0700));
}

}  // namespace
}  // namespace qvex::platform
