#include "platform/shared_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

using OpenResult = SharedFile::OpenResult;
using SizeRule = SharedFile::SizeRule;

// Size on disk, or -1 when the file is missing.
long long FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

long long AllocatedBytes(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_blocks) * 512 : -1;
}

bool AllZero(const char* data, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        if (data[i] != '\0') {
            return false;
        }
    }
    return true;
}

// A forked copy that runs `body`, tells the parent when it is ready, and stays until the
// parent kills it.
class Copy {
  public:
    explicit Copy(const std::function<bool()>& body) {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            char byte = body() ? 'r' : 'f';
            (void)!::write(fromChild[1], &byte, 1);
            (void)!::read(toChild[0], &byte, 1);  // returns when the parent lets go
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        toChild_ = toChild[1];
        fromChild_ = fromChild[0];
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;
    ~Copy() {
        if (pid_ > 0) {
            Kill();
        }
        ::close(toChild_);
        ::close(fromChild_);
    }

    // True once the body has run and succeeded.
    bool AwaitReady() const {
        char byte = 0;
        return ::read(fromChild_, &byte, 1) == 1 && byte == 'r';
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

class SharedFileTest : public ::testing::Test {
  protected:
    test::TempEnv env_;
    std::string path_ = env_.path("QvexRdb.dat");
};

TEST_F(SharedFileTest, CreatesZeroFileOfTheSizeWithOwnerOnlyMode) {
    SharedFile file;
    ASSERT_EQ(file.Open(path_, 32768), OpenResult::Created);
    EXPECT_TRUE(file.mapped());
    EXPECT_EQ(file.size(), 32768u);
    EXPECT_EQ(file.path(), path_);
    EXPECT_TRUE(AllZero(file.data(), 0, file.size()));
    EXPECT_EQ(FileSize(path_), 32768);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // Disk space is reserved, not left to the first write through the mapping.
    EXPECT_GE(info.st_blocks * 512, 32768);
    EXPECT_TRUE(test::FileExists(path_ + ".lock"));
    EXPECT_EQ(PresenceLockPath(path_), path_ + ".lock");
}

TEST_F(SharedFileTest, ExistingFileOfTheSizeKeepsItsBytes) {
    std::string bytes(4096, '\0');
    bytes.replace(100, 5, "hello");
    test::WriteFileBytes(path_, bytes);
    SharedFile file;
    ASSERT_EQ(file.Open(path_, 4096), OpenResult::Existing);
    EXPECT_EQ(std::string(file.data(), file.size()), bytes);
}

TEST_F(SharedFileTest, FileOfAnotherSizeGetsTheWantedSize) {
    struct Row {
        const char* name;
        size_t found;
        size_t wanted;
    };
    const Row rows[] = {{"short", 1000, 4096}, {"long", 10000, 4096}, {"empty", 0, 4096}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::WriteFileBytes(path_, std::string(row.found, 'x'));
        SharedFile file;
        ASSERT_EQ(file.Open(path_, row.wanted), OpenResult::Resized);
        EXPECT_EQ(file.size(), row.wanted);
        EXPECT_EQ(FileSize(path_), static_cast<long long>(row.wanted));
        const size_t kept = std::min(row.found, row.wanted);
        EXPECT_EQ(std::string(file.data(), kept), std::string(kept, 'x'));
        EXPECT_TRUE(AllZero(file.data(), kept, row.wanted));
    }
}

// A file that an older copy made with a hole: its pages get their disk space before they
// are mapped.
TEST_F(SharedFileTest, AnExistingSparseFileIsReservedWhenOpened) {
    ASSERT_EQ(::close(::open(path_.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    ASSERT_EQ(::truncate(path_.c_str(), 16384), 0);
    ASSERT_LT(AllocatedBytes(path_), 16384);
    SharedFile file;
    ASSERT_EQ(file.Open(path_, 16384), OpenResult::Existing);
    EXPECT_GE(AllocatedBytes(path_), 16384);
    EXPECT_FALSE(file.outOfRoom());
}

TEST_F(SharedFileTest, KeepOwnMapsTheFileAtItsSize) {
    test::WriteFileBytes(path_, std::string(16384, 'y'));
    SharedFile file;
    ASSERT_EQ(file.Open(path_, 8192, SizeRule::KeepOwn), OpenResult::Existing);
    EXPECT_EQ(file.size(), 16384u);
    EXPECT_EQ(FileSize(path_), 16384);
    file.Close();

    test::WriteFileBytes(path_, "");
    ASSERT_EQ(file.Open(path_, 8192, SizeRule::KeepOwn), OpenResult::Resized);
    EXPECT_EQ(file.size(), 8192u);
    file.Close();

    const std::string fresh = env_.path("QvexSdb.dat");
    ASSERT_EQ(file.Open(fresh, 8192, SizeRule::KeepOwn), OpenResult::Created);
    EXPECT_EQ(FileSize(fresh), 8192);
}

TEST_F(SharedFileTest, FailuresLeaveNothingOpen) {
    SharedFile file;
    EXPECT_EQ(file.Open(env_.path("missing/QvexRdb.dat"), 4096), OpenResult::Failed);
    EXPECT_FALSE(file.mapped());
    EXPECT_EQ(file.data(), nullptr);
    EXPECT_EQ(file.size(), 0u);

    EXPECT_EQ(file.Open(path_, 0), OpenResult::Failed);
    EXPECT_FALSE(file.mapped());

    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
    EXPECT_EQ(file.Open(path_, 4096), OpenResult::Failed);
    EXPECT_FALSE(file.mapped());
    // The presence lock went with the failure.
    FileLock probe;
    EXPECT_TRUE(probe.TryAcquire(path_ + ".lock", FileLock::Mode::Exclusive));
    EXPECT_FALSE(file.Alone());
    EXPECT_FALSE(file.Flush());
    EXPECT_FALSE(file.Resize(8192));
    EXPECT_FALSE(file.Refresh());
}

TEST_F(SharedFileTest, TwoMappingsSeeTheSameBytesAndTheFileGetsThem) {
    SharedFile first;
    SharedFile second;
    ASSERT_EQ(first.Open(path_, 4096), OpenResult::Created);
    ASSERT_EQ(second.Open(path_, 4096), OpenResult::Existing);
    std::memcpy(first.data() + 10, "abc", 3);
    EXPECT_EQ(std::string(second.data() + 10, 3), "abc");
    std::memcpy(second.data() + 4093, "xyz", 3);
    EXPECT_EQ(std::string(first.data() + 4093, 3), "xyz");
    EXPECT_TRUE(first.Flush());
    const std::string disk = test::ReadFileBytes(path_);
    ASSERT_EQ(disk.size(), 4096u);
    EXPECT_EQ(disk.substr(10, 3), "abc");
    EXPECT_EQ(disk.substr(4093, 3), "xyz");
}

TEST_F(SharedFileTest, AloneOnlyWhileNoOtherObjectHasTheFileOpen) {
    SharedFile first;
    ASSERT_EQ(first.Open(path_, 4096), OpenResult::Created);
    EXPECT_TRUE(first.Alone());
    // Still shared after the test: a second copy opens without waiting and is not alone.
    SharedFile second;
    ASSERT_EQ(second.Open(path_, 4096), OpenResult::Existing);
    EXPECT_FALSE(first.Alone());
    EXPECT_FALSE(second.Alone());
    second.Close();
    EXPECT_FALSE(second.mapped());
    EXPECT_TRUE(first.Alone());
}

TEST_F(SharedFileTest, KilledProcessLeavesItsBytesAndItsPresenceGoes) {
    Copy copy([&] {
        static SharedFile theirs;
        if (theirs.Open(path_, 4096) != OpenResult::Created) {
            return false;
        }
        std::memcpy(theirs.data() + 2000, "written before death", 20);
        return true;
    });
    ASSERT_TRUE(copy.AwaitReady());
    SharedFile file;
    ASSERT_EQ(file.Open(path_, 4096), OpenResult::Existing);
    EXPECT_FALSE(file.Alone());
    copy.Kill();
    EXPECT_TRUE(file.Alone());
    EXPECT_EQ(std::string(file.data() + 2000, 20), "written before death");
}

TEST_F(SharedFileTest, ResizeGrowsAndShrinksKeepingTheBytes) {
    SharedFile file;
    ASSERT_EQ(file.Open(path_, 8192), OpenResult::Created);
    std::memcpy(file.data() + 8000, "end of block", 12);
    ASSERT_TRUE(file.Resize(3 * 8192));
    EXPECT_EQ(file.size(), 3u * 8192);
    EXPECT_EQ(FileSize(path_), 3 * 8192);
    EXPECT_GE(AllocatedBytes(path_), 3 * 8192) << "the new bytes' disk space is reserved";
    EXPECT_EQ(std::string(file.data() + 8000, 12), "end of block");
    EXPECT_TRUE(AllZero(file.data(), 8192, 3 * 8192));
    std::memcpy(file.data() + 3 * 8192 - 4, "last", 4);
    EXPECT_EQ(test::ReadFileBytes(path_).substr(3 * 8192 - 4), "last");

    EXPECT_TRUE(file.Resize(3 * 8192));
    ASSERT_TRUE(file.Resize(8192));
    EXPECT_EQ(file.size(), 8192u);
    EXPECT_EQ(FileSize(path_), 8192);
    EXPECT_EQ(std::string(file.data() + 8000, 12), "end of block");
    EXPECT_FALSE(file.Resize(0));
    EXPECT_EQ(file.size(), 8192u);
}

TEST_F(SharedFileTest, RefreshFollowsAResizeByAnotherCopy) {
    SharedFile grower;
    SharedFile other;
    ASSERT_EQ(grower.Open(path_, 8192), OpenResult::Created);
    ASSERT_EQ(other.Open(path_, 8192, SizeRule::KeepOwn), OpenResult::Existing);
    ASSERT_TRUE(grower.Resize(2 * 8192));
    std::memcpy(grower.data() + 8192 + 5, "new block", 9);
    EXPECT_EQ(other.size(), 8192u);
    ASSERT_TRUE(other.Refresh());
    EXPECT_EQ(other.size(), 2u * 8192);
    EXPECT_EQ(std::string(other.data() + 8192 + 5, 9), "new block");
    EXPECT_TRUE(other.Refresh());  // nothing changed
    EXPECT_EQ(other.size(), 2u * 8192);
}

}  // namespace
}  // namespace qvex::platform
