// The real peers of a sums file: coreutils' md5sum ... sha512sum and Debian's rhash for
// Whirlpool. What they write verifies here, and what this program writes verifies there.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "state/shared_heap.h"
#include "sums/hash_file.h"
#include "sums/hash_job.h"
#include "sums/test_bytes.h"
#include "tests/support/temp_env.h"
#include "util/format.h"

namespace qvex {
namespace {

struct ToolRun {
    int status = -1;     // exit status; -1 when the program did not exit normally
    std::string output;  // standard output and standard error
};

// Runs a program in `folder` with its output captured.
ToolRun RunTool(const std::string& folder, const std::vector<std::string>& argv) {
    ToolRun run;
    int fds[2];
    if (::pipe(fds) != 0) {
        return run;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(126);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        run.output.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    return run;
}

struct Peer {
    HashAlgorithm algorithm;
    std::vector<std::string> command;  // prints "<hash>  <name>" lines; with "-c" checks them
};

const std::vector<Peer>& Peers() {
    static const std::vector<Peer> peers = {
        {HashAlgorithm::Md5, {"md5sum"}},
        {HashAlgorithm::Sha1, {"sha1sum"}},
        {HashAlgorithm::Sha224, {"sha224sum"}},
        {HashAlgorithm::Sha256, {"sha256sum"}},
        {HashAlgorithm::Sha384, {"sha384sum"}},
        {HashAlgorithm::Sha512, {"sha512sum"}},
        {HashAlgorithm::Whirlpool, {"rhash", "--whirlpool"}},
    };
    return peers;
}

std::vector<std::string> With(std::vector<std::string> command,
                              const std::vector<std::string>& more) {
    command.insert(command.end(), more.begin(), more.end());
    return command;
}

class NoProgress final : public HashProgress {
  public:
    bool Report(int) override { return false; }
};

class RealToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetNumberSeparatorsForTesting('.', ',');
        ASSERT_TRUE(heap_.CreateHeap());
        for (size_t i = 0; i < names_.size(); ++i) {
            test::WriteFileBytes(folder_.path(names_[i]),
                                 test::PatternBytes(sizes_[i], static_cast<uint32_t>(i)));
        }
    }

    std::string path(const std::string& relative) const { return folder_.path(relative); }

    // Verifies `sumsFile` (relative to the folder) here and gives the counts line.
    std::string VerifyHere(const std::string& sumsFile, int letter) {
        HashJobRunner runner;
        HashJob job(heap_, runner);
        HashRequest request{HashMode::Verify, letter, folder_.root(), {sumsFile}};
        EXPECT_EQ(job.Start(request, true, 2), HashStartResult::Started);
        runner.RunUntilDone(job);
        return job.CountsLine();
    }

    SharedHeap heap_;
    test::TempFolder folder_;
    const std::vector<std::string> names_ = {"empty",         "one",        "edge-1",
                                             "edge",          "edge+1",     "with space.txt",
                                             "sub/dir/x.bin", "several MiB"};
    const std::vector<size_t> sizes_ = {0, 1, 16383, 16384, 16385, 777, 4096, 5 * 1048576 + 3};
};

TEST_F(RealToolsTest, DigestsEqualTheTools) {
    for (const Peer& peer : Peers()) {
        for (const std::string& name : names_) {
            SCOPED_TRACE(peer.command[0] + " " + name);
            ToolRun run = RunTool(folder_.root(), With(peer.command, {name}));
            ASSERT_EQ(run.status, 0) << run.output;
            NoProgress progress;
            HashFileResult ours = HashFile(path(name), peer.algorithm, progress);
            ASSERT_TRUE(ours.ok);
            EXPECT_EQ(run.output.substr(0, run.output.find(' ')),
                      DigestToHex(ours.digest.data(), ours.digestSize));
        }
    }
}

TEST_F(RealToolsTest, OurSumsFilesVerifyWithTheTools) {
    for (const Peer& peer : Peers()) {
        SCOPED_TRACE(peer.command[0]);
        HashJobRunner runner;
        HashJob job(heap_, runner);
        HashRequest request{HashMode::Compute, InfoOf(peer.algorithm).letter, folder_.root(),
                            names_};
        ASSERT_EQ(job.Start(request, true, 2), HashStartResult::Started);
        runner.RunUntilDone(job);
        ASSERT_EQ(job.unknownCount(), 0u);
        ASSERT_TRUE(job.SaveSumsFile(path("ours.sums"), SumsLayout::HashRelative, true));
        ToolRun check = RunTool(folder_.root(), With(peer.command, {"-c", "ours.sums"}));
        EXPECT_EQ(check.status, 0) << check.output;
        for (const std::string& name : names_) {
            EXPECT_NE(check.output.find(name), std::string::npos) << check.output;
        }
        if (peer.algorithm == HashAlgorithm::Md5 || peer.algorithm == HashAlgorithm::Sha1) {
            // The tagged layout of these two is coreutils' own "--tag" form.
            ASSERT_TRUE(job.SaveSumsFile(path("tagged.sums"), SumsLayout::TagRelative, true));
            ToolRun tagged = RunTool(folder_.root(), With(peer.command, {"-c", "tagged.sums"}));
            EXPECT_EQ(tagged.status, 0) << tagged.output;
        }
        // A file changed since: the tool notices, so the checks above can fail.
        std::string saved = test::ReadFileBytes(path("one"));
        test::WriteFileBytes(path("one"), "2");
        ToolRun changed = RunTool(folder_.root(), With(peer.command, {"-c", "ours.sums"}));
        EXPECT_NE(changed.status, 0) << changed.output;
        test::WriteFileBytes(path("one"), saved);
    }
}

// The same text with upper-case digests and CR LF line ends.
std::string UpperCaseCrLf(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        for (size_t i = 0; i < line.size() && line[i] != ' '; ++i) {
            line[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
        }
        out += line + "\r\n";
        at = end + 1;
    }
    return out;
}

TEST_F(RealToolsTest, TheToolsSumsFilesVerifyHere) {
    for (const Peer& peer : Peers()) {
        SCOPED_TRACE(peer.command[0]);
        bool whirlpool = peer.algorithm == HashAlgorithm::Whirlpool;
        int letter = whirlpool ? 'w' : 0;
        ToolRun text = RunTool(folder_.root(), With(peer.command, names_));
        ASSERT_EQ(text.status, 0);
        test::WriteFileBytes(path("text.sums"), text.output);
        EXPECT_EQ(VerifyHere("text.sums", letter), "8 Good  0 Unknown  0 Bad") << text.output;
        test::WriteFileBytes(path("upper.sums"), UpperCaseCrLf(text.output));
        EXPECT_EQ(VerifyHere("upper.sums", letter), "8 Good  0 Unknown  0 Bad");
        if (whirlpool) {
            continue;  // rhash writes no binary marker
        }
        ToolRun binary = RunTool(folder_.root(), With(peer.command, With({"-b"}, names_)));
        ASSERT_NE(binary.output.find(" *with space.txt\n"), std::string::npos) << binary.output;
        test::WriteFileBytes(path("binary.sums"), binary.output);
        EXPECT_EQ(VerifyHere("binary.sums", 0), "8 Good  0 Unknown  0 Bad");
    }
}

TEST_F(RealToolsTest, ChangedMissingAndUnreadableFilesAgainstAToolsSumsFile) {
    ToolRun binary = RunTool(folder_.root(), With({"md5sum", "-b"}, names_));
    ASSERT_EQ(binary.status, 0);
    test::WriteFileBytes(path("md5sums"), binary.output);
    // One file changed, one gone, one replaced by a folder: Bad, Unknown, Unknown.
    test::WriteFileBytes(path("one"), "X");
    std::filesystem::remove(path("edge"));
    std::filesystem::remove(path("empty"));
    std::filesystem::create_directory(path("empty"));
    EXPECT_EQ(VerifyHere("md5sums", 0), "5 Good  2 Unknown  1 Bad");
    EXPECT_NE(RunTool(folder_.root(), {"md5sum", "-c", "md5sums"}).status, 0);
}

}  // namespace
}  // namespace qvex
