#include "platform/inherited_section.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

using namespace std::string_literals;

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// What a started program reads from the descriptor it inherited.
std::string ReadInChild(int fd) {
    int out[2];
    if (::pipe(out) != 0) {
        return "pipe failed";
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        std::string source = "/proc/self/fd/" + std::to_string(fd);
        ::execlp("cat", "cat", source.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string bytes;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(out[0], buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<size_t>(got));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? bytes : "child failed";
}

TEST(NameList, EncodesEachNameWithItsNul) {
    EXPECT_EQ(EncodeNameList({"a.txt", "sub/b c"}), "a.txt\0sub/b c\0"s);
    EXPECT_EQ(EncodeNameList({}), ""s);
    EXPECT_FALSE(EncodeNameList({"a", ""}).has_value());
    EXPECT_FALSE(EncodeNameList({"a\0b"s}).has_value());
    InheritedSection section;
    EXPECT_FALSE(section.Create({"a", ""}));
    EXPECT_EQ(section.descriptor(), -1);
}

TEST(NameList, DecodesUpToAnEmptyNameOrTheEnd) {
    struct Row {
        const char* what;
        std::string bytes;
        std::vector<std::string> names;
    };
    const std::vector<Row> rows = {
        {"two names", "a\0b c\0"s, {"a", "b c"}},
        {"zero padding after the list", "a\0b\0\0\0\0"s, {"a", "b"}},
        {"an empty name ends the list", "a\0\0b\0"s, {"a"}},
        {"the end of the section ends the last name", "a\0bc"s, {"a", "bc"}},
        {"empty section", ""s, {}},
        {"empty first name", "\0a\0"s, {}},
        {"8-bit names", "caf\xe9\0"s, {"caf\xe9"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(DecodeNameList(row.bytes), row.names);
    }
}

TEST(InheritedSection, AStartedProgramReadsTheList) {
    InheritedSection section;
    ASSERT_TRUE(section.Create({"one", "two words", "sub/three"}));
    ASSERT_GE(section.descriptor(), 0);
    std::string text = section.HandleText();
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(std::stoi(text, nullptr, 16), section.descriptor());
    EXPECT_EQ(ReadInChild(section.descriptor()), "one\0two words\0sub/three\0"s);
    // Sealed: nobody changes the list once it is handed over.
    EXPECT_EQ(::write(section.descriptor(), "x", 1), -1);
    EXPECT_EQ(::ftruncate(section.descriptor(), 1), -1);
    int fd = section.descriptor();
    section.Close();
    EXPECT_FALSE(IsOpen(fd));
}

TEST(TakeInheritedNames, CopiesTheNamesAndClosesTheSection) {
    InheritedSection section;
    ASSERT_TRUE(section.Create({"alpha", "beta gamma"}));
    int created = section.Release();
    // A descriptor whose number has hexadecimal letters, written in upper case.
    ASSERT_EQ(::dup2(created, 0xab), 0xab);
    ::close(created);
    std::optional<std::vector<std::string>> names = TakeInheritedNames("AB");
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(*names, (std::vector<std::string>{"alpha", "beta gamma"}));
    EXPECT_FALSE(IsOpen(0xab));
    EXPECT_FALSE(TakeInheritedNames("ab").has_value());
}

TEST(TakeInheritedNames, AnEmptyListIsNoNames) {
    InheritedSection section;
    ASSERT_TRUE(section.Create({}));
    std::string handle = section.HandleText();
    int fd = section.Release();
    std::optional<std::vector<std::string>> names = TakeInheritedNames(handle);
    ASSERT_TRUE(names.has_value());
    EXPECT_TRUE(names->empty());
    EXPECT_FALSE(IsOpen(fd));
}

TEST(TakeInheritedNames, LeavesOtherDescriptorsAlone) {
    test::TempFolder folder;
    test::WriteFileBytes(folder.path("names"), "a\0b\0"s);
    int file = ::open(folder.path("names").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    for (int fd : {file, pipeFds[0], pipeFds[1], 1}) {
        SCOPED_TRACE(fd);
        char text[16];
        std::snprintf(text, sizeof text, "%x", fd);
        EXPECT_FALSE(TakeInheritedNames(text).has_value());
        EXPECT_TRUE(IsOpen(fd));
    }
    ::close(file);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(TakeInheritedNames, RefusesTextThatIsNoHandle) {
    for (const char* text : {"", "zz", "-1", "0x3", "123456789", " 3", "3 "}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(TakeInheritedNames(text).has_value());
    }
}

}  // namespace
}  // namespace qvex::platform
