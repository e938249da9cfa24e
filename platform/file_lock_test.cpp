#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

using Mode = FileLock::Mode;

// A forked process that runs `body` and exits with its result. The two pipes let the test
// wait until the child holds its lock and tell it when to go on.
class Child {
  public:
    class Side {
      public:
        Side(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}
        void Ready() const {
            char byte = 'r';
            (void)!::write(writeFd_, &byte, 1);
        }
        void AwaitGo() const {
            char byte = 0;
            (void)!::read(readFd_, &byte, 1);
        }

      private:
        int readFd_;
        int writeFd_;
    };

    explicit Child(const std::function<int(const Side&)>& body) {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::_exit(body(Side(toChild[0], fromChild[1])));
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        toChild_ = toChild[1];
        fromChild_ = fromChild[0];
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            (void)Wait();
        }
        ::close(toChild_);
        ::close(fromChild_);
    }

    bool started() const { return pid_ > 0; }
    // True once the child has said it is ready (false when it ended first).
    bool AwaitReady() const {
        char byte = 0;
        return ::read(fromChild_, &byte, 1) == 1;
    }
    void Go() const {
        char byte = 'g';
        (void)!::write(toChild_, &byte, 1);
    }
    void Kill() const { ::kill(pid_, SIGKILL); }
    // The exit code, or -1 when the child did not exit normally.
    int Wait() {
        int status = 0;
        pid_t waited = ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

// Child exit codes: one bit per lock the child managed to take.
constexpr int kGotExclusive = 1;
constexpr int kGotShared = 2;

int TryBoth(const std::string& path) {
    int got = 0;
    FileLock lock;
    if (lock.TryAcquire(path, Mode::Exclusive)) {
        got |= kGotExclusive;
        lock.Release();
    }
    if (lock.TryAcquire(path, Mode::Shared)) {
        got |= kGotShared;
    }
    return got;
}

class FileLockTest : public ::testing::Test {
  protected:
    test::TempEnv env_;
    std::string path_ = env_.path("QvexRMap");
};

TEST_F(FileLockTest, CreatesLockFileWithOwnerOnlyMode) {
    FileLock lock;
    ASSERT_TRUE(lock.TryAcquire(path_, Mode::Exclusive));
    EXPECT_TRUE(lock.held());
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(FileLockTest, FailsInMissingFolder) {
    FileLock lock;
    EXPECT_FALSE(lock.TryAcquire(env_.path("missing/lock"), Mode::Shared));
    EXPECT_FALSE(lock.held());
    EXPECT_FALSE(lock.Acquire(env_.path("missing/lock"), Mode::Exclusive));
    EXPECT_FALSE(lock.held());
}

// Locks belong to the open file description, so two objects of one process
// exclude each other just as two processes do.
TEST_F(FileLockTest, ExclusiveExcludesOthersInOneProcess) {
    FileLock first;
    FileLock second;
    ASSERT_TRUE(first.TryAcquire(path_, Mode::Exclusive));
    EXPECT_FALSE(second.TryAcquire(path_, Mode::Exclusive));
    EXPECT_FALSE(second.held());
    EXPECT_FALSE(second.TryAcquire(path_, Mode::Shared));
    first.Release();
    EXPECT_FALSE(first.held());
    EXPECT_TRUE(second.TryAcquire(path_, Mode::Exclusive));
}

TEST_F(FileLockTest, SharedHoldersCoexistAndKeepExclusiveOut) {
    FileLock first;
    FileLock second;
    FileLock third;
    ASSERT_TRUE(first.TryAcquire(path_, Mode::Shared));
    EXPECT_TRUE(second.TryAcquire(path_, Mode::Shared));
    EXPECT_FALSE(third.TryAcquire(path_, Mode::Exclusive));
    first.Release();
    EXPECT_FALSE(third.TryAcquire(path_, Mode::Exclusive));
    second.Release();
    EXPECT_TRUE(third.TryAcquire(path_, Mode::Exclusive));
}

TEST_F(FileLockTest, ExclusiveExcludesAnotherProcess) {
    FileLock lock;
    ASSERT_TRUE(lock.TryAcquire(path_, Mode::Exclusive));
    Child whileHeld([&](const Child::Side&) { return TryBoth(path_); });
    ASSERT_TRUE(whileHeld.started());
    EXPECT_EQ(whileHeld.Wait(), 0);

    lock.Release();
    Child afterRelease([&](const Child::Side&) { return TryBoth(path_); });
    ASSERT_TRUE(afterRelease.started());
    EXPECT_EQ(afterRelease.Wait(), kGotExclusive | kGotShared);
}

TEST_F(FileLockTest, SharedAdmitsSharedOfAnotherProcessOnly) {
    FileLock lock;
    ASSERT_TRUE(lock.TryAcquire(path_, Mode::Shared));
    Child child([&](const Child::Side&) { return TryBoth(path_); });
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(), kGotShared);
}

TEST_F(FileLockTest, ChildExclusiveKeepsParentOut) {
    Child child([&](const Child::Side& side) {
        FileLock lock;
        if (!lock.TryAcquire(path_, Mode::Exclusive)) {
            return 1;
        }
        side.Ready();
        side.AwaitGo();
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.AwaitReady());
    FileLock lock;
    EXPECT_FALSE(lock.TryAcquire(path_, Mode::Exclusive));
    EXPECT_FALSE(lock.TryAcquire(path_, Mode::Shared));
    child.Go();
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_TRUE(lock.TryAcquire(path_, Mode::Exclusive));
}

TEST_F(FileLockTest, LockOfKilledProcessIsReleased) {
    Child child([&](const Child::Side& side) {
        FileLock lock;
        if (!lock.TryAcquire(path_, Mode::Exclusive)) {
            return 1;
        }
        side.Ready();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.AwaitReady());
    FileLock lock;
    EXPECT_FALSE(lock.TryAcquire(path_, Mode::Exclusive));
    child.Kill();
    EXPECT_EQ(child.Wait(), -1);
    EXPECT_TRUE(lock.TryAcquire(path_, Mode::Exclusive));
}

TEST_F(FileLockTest, AcquireWaitsForHolderToLetGo) {
    Child child([&](const Child::Side& side) {
        FileLock lock;
        if (!lock.TryAcquire(path_, Mode::Exclusive)) {
            return 1;
        }
        side.Ready();
        side.AwaitGo();
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.AwaitReady());
    FileLock lock;
    bool acquired = false;
    std::thread waiter([&] { acquired = lock.Acquire(path_, Mode::Exclusive); });
    child.Go();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(FileLockTest, ConvertToExclusiveFailsWhileAnotherProcessShares) {
    FileLock lock;
    ASSERT_TRUE(lock.TryAcquire(path_, Mode::Shared));
    Child child([&](const Child::Side& side) {
        FileLock shared;
        if (!shared.TryAcquire(path_, Mode::Shared)) {
            return 1;
        }
        side.Ready();
        side.AwaitGo();
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.AwaitReady());
    EXPECT_FALSE(lock.TryConvert(Mode::Exclusive));
    EXPECT_TRUE(lock.held());
    child.Go();
    EXPECT_EQ(child.Wait(), 0);

    // The failed conversion must have left the shared lock in place.
    FileLock other;
    EXPECT_FALSE(other.TryAcquire(path_, Mode::Exclusive));
    EXPECT_TRUE(other.TryAcquire(path_, Mode::Shared));
    other.Release();

    EXPECT_TRUE(lock.TryConvert(Mode::Exclusive));
    EXPECT_FALSE(other.TryAcquire(path_, Mode::Shared));
    EXPECT_TRUE(lock.TryConvert(Mode::Shared));
    EXPECT_TRUE(other.TryAcquire(path_, Mode::Shared));
}

TEST_F(FileLockTest, ConvertToExclusiveInOneProcess) {
    FileLock first;
    FileLock second;
    FileLock probe;
    ASSERT_TRUE(first.TryAcquire(path_, Mode::Shared));
    ASSERT_TRUE(second.TryAcquire(path_, Mode::Shared));
    EXPECT_FALSE(first.TryConvert(Mode::Exclusive));
    second.Release();
    // Still shared after the refused conversion.
    EXPECT_FALSE(probe.TryAcquire(path_, Mode::Exclusive));
    EXPECT_TRUE(first.TryConvert(Mode::Exclusive));
    EXPECT_FALSE(probe.TryAcquire(path_, Mode::Shared));
}

TEST_F(FileLockTest, ConvertWithoutLockFails) {
    FileLock lock;
    EXPECT_FALSE(lock.TryConvert(Mode::Exclusive));
    EXPECT_FALSE(lock.TryConvert(Mode::Shared));
}

TEST_F(FileLockTest, DestructionAndMoveHandOverTheLock) {
    FileLock probe;
    {
        FileLock scoped;
        ASSERT_TRUE(scoped.TryAcquire(path_, Mode::Exclusive));
        FileLock moved(std::move(scoped));
        EXPECT_FALSE(scoped.held());
        EXPECT_TRUE(moved.held());
        EXPECT_FALSE(probe.TryAcquire(path_, Mode::Shared));
        FileLock assigned;
        assigned = std::move(moved);
        EXPECT_FALSE(moved.held());
        EXPECT_TRUE(assigned.held());
        EXPECT_FALSE(probe.TryAcquire(path_, Mode::Shared));
    }
    EXPECT_TRUE(probe.TryAcquire(path_, Mode::Exclusive));
}

TEST_F(FileLockTest, AcquiringAnotherFileReleasesTheFirst) {
    const std::string otherPath = env_.path("QvexSMap");
    FileLock lock;
    ASSERT_TRUE(lock.TryAcquire(path_, Mode::Exclusive));
    ASSERT_TRUE(lock.TryAcquire(otherPath, Mode::Exclusive));
    FileLock probe;
    EXPECT_TRUE(probe.TryAcquire(path_, Mode::Exclusive));
    EXPECT_FALSE(probe.TryAcquire(otherPath, Mode::Exclusive));
}

}  // namespace
}  // namespace qvex::platform
