#include "platform/mapped_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstring>
#include <string>

#include "platform/file_lock.h"
#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

using CreateResult = GrowableMapping::CreateResult;

// Size on disk, or -1 when the file is missing.
long long FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

bool AllZero(const char* data, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        if (data[i] != '\0') {
            return false;
        }
    }
    return true;
}

class MappedFileTest : public ::testing::Test {
  protected:
    test::TempEnv env_;
    std::string path_ = env_.path("QvexRdb.dat");
};

TEST_F(MappedFileTest, CreateFileMakesZeroFilledFileOfTheSize) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 10000), CreateResult::Created);
    EXPECT_TRUE(mapping.mapped());
    EXPECT_TRUE(mapping.fileBacked());
    ASSERT_NE(mapping.data(), nullptr);
    EXPECT_EQ(mapping.size(), 10000u);
    EXPECT_TRUE(AllZero(mapping.data(), 0, 10000));
    EXPECT_EQ(FileSize(path_), 10000);
    EXPECT_EQ(test::ReadFileBytes(path_), std::string(10000, '\0'));

    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // Disk space is reserved, not left to the first write through the mapping.
    EXPECT_GE(info.st_blocks * 512, 10000);
    ASSERT_TRUE(mapping.Grow(70000));
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_GE(info.st_blocks * 512, 70000);
}

// A running copy's file is locked for as long as it is open: nobody else removes it.
TEST_F(MappedFileTest, ACreatedFileCanBeRemovedOnlyOnceClosed) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 4096), CreateResult::Created);
    GrowableMapping viewer;
    ASSERT_TRUE(viewer.OpenReadOnly(path_));
    EXPECT_EQ(RemoveUnlessLocked(path_), RemoveResult::InUse);
    EXPECT_TRUE(test::FileExists(path_));
    mapping.Close(10);
    EXPECT_EQ(RemoveUnlessLocked(path_), RemoveResult::Removed) << "a viewer holds no lock";
    EXPECT_FALSE(test::FileExists(path_));
    EXPECT_EQ(RemoveUnlessLocked(path_), RemoveResult::Failed);
}

// The copy that writes a log cuts it at exit: a view of it must not fault afterwards.
TEST_F(MappedFileTest, AReadOnlyViewOutlivesACutOfItsFile) {
    GrowableMapping writer;
    ASSERT_EQ(writer.CreateFile(path_, 65536), CreateResult::Created);
    std::memcpy(writer.data(), "line\r\n", 6);
    GrowableMapping viewer;
    ASSERT_TRUE(viewer.OpenReadOnly(path_));
    writer.Close(6);
    ASSERT_EQ(FileSize(path_), 6);
    ASSERT_EQ(viewer.size(), 65536u);
    EXPECT_EQ(std::string(viewer.data(), 6), "line\r\n");
    EXPECT_TRUE(AllZero(viewer.data(), 6, viewer.size()));
}

// Mappings of `path` in this process (/proc/self/maps names the file of each).
int MappingsOf(const std::string& path) {
    const std::string maps = test::ReadFileBytes("/proc/self/maps");
    int count = 0;
    for (size_t at = maps.find(path); at != std::string::npos; at = maps.find(path, at + 1)) {
        ++count;
    }
    return count;
}

// A saved log nobody writes is viewed through a mapping (no memory of its own); one that a
// running copy still holds is copied, and the copy stays whole when the writer cuts it.
TEST_F(MappedFileTest, AViewMapsOnlyAFileNoRunningCopyHolds) {
    GrowableMapping writer;
    ASSERT_EQ(writer.CreateFile(path_, 65536), CreateResult::Created);
    std::memcpy(writer.data(), "line\r\n", 6);
    ASSERT_EQ(MappingsOf(path_), 1);
    GrowableMapping heldView;
    ASSERT_TRUE(heldView.OpenReadOnly(path_));
    EXPECT_EQ(MappingsOf(path_), 1) << "the writer's own mapping only";
    writer.Close(6);
    EXPECT_EQ(MappingsOf(path_), 0);

    GrowableMapping savedView;
    ASSERT_TRUE(savedView.OpenReadOnly(path_));
    EXPECT_EQ(MappingsOf(path_), 1);
    ASSERT_EQ(savedView.size(), 6u);
    EXPECT_EQ(std::string(savedView.data(), 6), "line\r\n");
    EXPECT_EQ(RemoveUnlessLocked(path_), RemoveResult::Removed) << "a viewer holds no lock";
    EXPECT_EQ(std::string(savedView.data(), 6), "line\r\n");
    savedView.Close(0);
    EXPECT_EQ(MappingsOf(path_), 0);
    EXPECT_EQ(heldView.size(), 65536u);
}

// Memory takes over from a file that can grow no more; the file keeps the text it had.
TEST_F(MappedFileTest, MoveToMemoryKeepsTheTextAndLeavesTheFileCut) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 4096), CreateResult::Created);
    std::memcpy(mapping.data(), "kept", 4);
    ASSERT_TRUE(mapping.MoveToMemory(8192, 4));
    EXPECT_FALSE(mapping.fileBacked());
    EXPECT_EQ(mapping.size(), 8192u);
    EXPECT_EQ(std::string(mapping.data(), 4), "kept");
    EXPECT_TRUE(AllZero(mapping.data(), 4, 8192));
    std::memcpy(mapping.data() + 4, " more", 5);
    ASSERT_TRUE(mapping.Grow(16384));
    EXPECT_EQ(RemoveUnlessLocked(path_), RemoveResult::InUse) << "still this copy's file";
    mapping.Close(9);
    EXPECT_EQ(test::ReadFileBytes(path_), "kept");
}

TEST_F(MappedFileTest, WritesThroughTheMappingReachTheFile) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 64), CreateResult::Created);
    std::memcpy(mapping.data() + 10, "QvexRdb", 7);
    std::string expected(64, '\0');
    expected.replace(10, 7, "QvexRdb");
    // A shared mapping: another reader of the file sees the bytes at once.
    EXPECT_EQ(test::ReadFileBytes(path_), expected);
    mapping.Close(mapping.size());
    EXPECT_EQ(test::ReadFileBytes(path_), expected);
}

TEST_F(MappedFileTest, CreateFileRefusesAnExistingFile) {
    test::WriteFileBytes(path_, "already here");
    GrowableMapping mapping;
    EXPECT_EQ(mapping.CreateFile(path_, 4096), CreateResult::Exists);
    EXPECT_FALSE(mapping.mapped());
    EXPECT_FALSE(mapping.fileBacked());
    EXPECT_EQ(mapping.size(), 0u);
    EXPECT_EQ(test::ReadFileBytes(path_), "already here");
}

TEST_F(MappedFileTest, CreateFileFailsInMissingFolder) {
    GrowableMapping mapping;
    EXPECT_EQ(mapping.CreateFile(env_.path("missing/QvexRdb.dat"), 4096), CreateResult::Failed);
    EXPECT_FALSE(mapping.mapped());
}

TEST_F(MappedFileTest, EmptyFileCannotBeMappedAndIsNotLeftBehind) {
    GrowableMapping mapping;
    EXPECT_EQ(mapping.CreateFile(path_, 0), CreateResult::Failed);
    EXPECT_FALSE(mapping.mapped());
    EXPECT_FALSE(test::FileExists(path_));
}

TEST_F(MappedFileTest, GrowKeepsBytesAndExtendsTheFile) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 100), CreateResult::Created);
    for (size_t i = 0; i < 100; ++i) {
        mapping.data()[i] = static_cast<char>('a' + i % 26);
    }
    const std::string before(mapping.data(), 100);

    ASSERT_TRUE(mapping.Grow(200'000));
    EXPECT_EQ(mapping.size(), 200'000u);
    EXPECT_EQ(std::string(mapping.data(), 100), before);
    EXPECT_TRUE(AllZero(mapping.data(), 100, 200'000));
    EXPECT_EQ(FileSize(path_), 200'000);

    mapping.data()[199'999] = 'z';
    const std::string onDisk = test::ReadFileBytes(path_);
    ASSERT_EQ(onDisk.size(), 200'000u);
    EXPECT_EQ(onDisk.substr(0, 100), before);
    EXPECT_EQ(onDisk[199'999], 'z');
}

TEST_F(MappedFileTest, GrowNeverShrinks) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 8192), CreateResult::Created);
    mapping.data()[8191] = 'x';
    EXPECT_FALSE(mapping.Grow(4096));
    EXPECT_FALSE(mapping.Grow(8192));
    EXPECT_EQ(mapping.size(), 8192u);
    EXPECT_EQ(mapping.data()[8191], 'x');
    EXPECT_EQ(FileSize(path_), 8192);
}

TEST_F(MappedFileTest, GrowWithoutMappingFails) {
    GrowableMapping mapping;
    EXPECT_FALSE(mapping.Grow(4096));
    EXPECT_FALSE(mapping.mapped());
}

TEST_F(MappedFileTest, CloseCutsTheFileToTheKeptBytes) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 8192), CreateResult::Created);
    std::memcpy(mapping.data(), "0123456789", 10);
    mapping.Close(6);
    EXPECT_FALSE(mapping.mapped());
    EXPECT_FALSE(mapping.fileBacked());
    EXPECT_EQ(mapping.size(), 0u);
    EXPECT_EQ(test::ReadFileBytes(path_), "012345");
}

TEST_F(MappedFileTest, CloseNeverExtendsTheFile) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 4096), CreateResult::Created);
    mapping.Close(1'000'000);
    EXPECT_EQ(FileSize(path_), 4096);
}

TEST_F(MappedFileTest, DestructionKeepsTheWholeFile) {
    {
        GrowableMapping mapping;
        ASSERT_EQ(mapping.CreateFile(path_, 4096), CreateResult::Created);
        ASSERT_TRUE(mapping.Grow(12'288));
        mapping.data()[12'287] = 'e';
    }
    const std::string onDisk = test::ReadFileBytes(path_);
    ASSERT_EQ(onDisk.size(), 12'288u);
    EXPECT_EQ(onDisk.back(), 'e');
}

TEST_F(MappedFileTest, MemoryMappingIsZeroedAndGrows) {
    GrowableMapping mapping;
    ASSERT_TRUE(mapping.MapMemory(4096));
    EXPECT_TRUE(mapping.mapped());
    EXPECT_FALSE(mapping.fileBacked());
    EXPECT_EQ(mapping.size(), 4096u);
    EXPECT_TRUE(AllZero(mapping.data(), 0, 4096));
    std::memcpy(mapping.data(), "log line", 8);
    mapping.data()[4095] = 'T';

    ASSERT_TRUE(mapping.Grow(1 << 20));
    EXPECT_EQ(mapping.size(), size_t{1} << 20);
    EXPECT_EQ(std::string(mapping.data(), 8), "log line");
    EXPECT_EQ(mapping.data()[4095], 'T');
    EXPECT_TRUE(AllZero(mapping.data(), 4096, size_t{1} << 20));
    EXPECT_FALSE(mapping.Grow(4096));
    EXPECT_EQ(mapping.size(), size_t{1} << 20);

    mapping.Close(0);
    EXPECT_FALSE(mapping.mapped());
}

TEST_F(MappedFileTest, NewMappingReplacesTheOld) {
    GrowableMapping mapping;
    ASSERT_TRUE(mapping.MapMemory(4096));
    ASSERT_EQ(mapping.CreateFile(path_, 8192), CreateResult::Created);
    EXPECT_TRUE(mapping.fileBacked());
    EXPECT_EQ(mapping.size(), 8192u);
    mapping.data()[0] = 'f';
    ASSERT_TRUE(mapping.MapMemory(4096));
    EXPECT_FALSE(mapping.fileBacked());
    EXPECT_TRUE(AllZero(mapping.data(), 0, 4096));
    // The file was closed whole when the memory mapping replaced it.
    EXPECT_EQ(FileSize(path_), 8192);
    EXPECT_EQ(test::ReadFileBytes(path_)[0], 'f');
}

TEST_F(MappedFileTest, ReadOnlyMappingShowsTheWholeFileAndLeavesItAlone) {
    const std::string bytes = std::string("line one\r\nline two\r\n") + std::string(5000, '\0');
    test::WriteFileBytes(path_, bytes);
    GrowableMapping mapping;
    ASSERT_TRUE(mapping.OpenReadOnly(path_));
    EXPECT_TRUE(mapping.mapped());
    EXPECT_TRUE(mapping.readOnly());
    ASSERT_EQ(mapping.size(), bytes.size());
    EXPECT_EQ(std::string(mapping.data(), mapping.size()), bytes);
    // A saved log never grows and is never cut.
    EXPECT_FALSE(mapping.Grow(bytes.size() + 65536));
    EXPECT_EQ(mapping.size(), bytes.size());
    mapping.Close(3);
    EXPECT_FALSE(mapping.mapped());
    EXPECT_FALSE(mapping.readOnly());
    EXPECT_EQ(test::ReadFileBytes(path_), bytes);
}

TEST_F(MappedFileTest, ReadOnlyMappingOfAnEmptyFileHoldsNothing) {
    test::WriteFileBytes(path_, "");
    GrowableMapping mapping;
    ASSERT_TRUE(mapping.OpenReadOnly(path_));
    EXPECT_TRUE(mapping.mapped());
    EXPECT_EQ(mapping.size(), 0u);
    EXPECT_FALSE(mapping.Grow(65536));
    mapping.Close(0);
    EXPECT_TRUE(test::FileExists(path_));
}

TEST_F(MappedFileTest, ReadOnlyMappingFailsForMissingFilesAndFolders) {
    GrowableMapping mapping;
    EXPECT_FALSE(mapping.OpenReadOnly(env_.path("missing.txt")));
    EXPECT_FALSE(mapping.mapped());
    EXPECT_FALSE(mapping.OpenReadOnly(env_.root()));
    EXPECT_FALSE(mapping.mapped());
}

TEST_F(MappedFileTest, ReadOnlyMappingReplacesAWritableOneWithoutCuttingIt) {
    GrowableMapping mapping;
    ASSERT_EQ(mapping.CreateFile(path_, 4096), CreateResult::Created);
    std::memcpy(mapping.data(), "abc", 3);
    ASSERT_TRUE(mapping.OpenReadOnly(path_));
    EXPECT_EQ(mapping.size(), 4096u);
    EXPECT_EQ(std::string(mapping.data(), 3), "abc");
    // And a writable mapping made afterwards is writable again.
    ASSERT_TRUE(mapping.MapMemory(4096));
    EXPECT_FALSE(mapping.readOnly());
    EXPECT_TRUE(mapping.Grow(8192));
}

}  // namespace
}  // namespace qvex::platform
