// The launcher as a menu item runs it: against a program that records what it was given,
// then against the real Qvex3.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/process_run.h"
#include "tests/support/temp_env.h"

namespace {

namespace fs = std::filesystem;
using qvex::test::FileExists;
using qvex::test::ProgramResult;
using qvex::test::ReadFileBytes;
using qvex::test::RunToEnd;
using qvex::test::TempEnv;
using qvex::test::WriteFileBytes;

// Writes its arguments (each followed by a NUL), its folder and the bytes of the section
// named after "-@", then "done".
constexpr const char* kRecorder = R"(#!/usr/bin/python3
import os, sys
out = os.environ["QVEX_RECORD"]
args = sys.argv[1:]
section = b""
if "-@" in args:
    fd = int(args[args.index("-@") + 1], 16)
    while True:
        chunk = os.pread(fd, 65536, len(section))
        if not chunk:
            break
        section += chunk
open(out + ".argv", "wb").write(b"".join(os.fsencode(a) + b"\0" for a in args))
open(out + ".cwd", "wb").write(os.fsencode(os.getcwd()))
open(out + ".section", "wb").write(section)
open(out + ".done", "w").write("done")
)";

std::string Joined(const std::vector<std::string>& parts) {
    std::string bytes;
    for (const std::string& part : parts) {
        bytes += part;
        bytes.push_back('\0');
    }
    return bytes;
}

class Launcher : public ::testing::Test {
  protected:
    void SetUp() override {
        record = env.path("record");
        ::setenv("QVEX_RECORD", record.c_str(), 1);
        recorder = env.path("prog dir/record \"it\".py");
        WriteFileBytes(recorder, kRecorder);
        fs::permissions(recorder, fs::perms(0755));
        SetAppFile(recorder);
        WriteFileBytes(env.path("data/VbKs/Qvex/QvexMRU.txt"),
                       "ftp://one.example/\r\nftp://h/$(touch pwned)`touch pwned`;x\\\r\n");
    }
    void TearDown() override { ::unsetenv("QVEX_RECORD"); }

    void SetAppFile(const std::string& path) {
        std::string escaped;
        for (char c : path) {
            if (c == '\\' || c == '"') {
                escaped.push_back('\\');
            }
            escaped.push_back(c);
        }
        WriteFileBytes(env.path("config/VbKs/Qvex/registry.reg"),
                       "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings]\n"
                       "\"AppFile\"=\"" +
                           escaped + "\"\n");
    }

    // Run in the folder "/", as a file manager may.
    ProgramResult Launch(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/bin/env", "--chdir=/", QVEXSX2_LAUNCHER});
        return RunToEnd(argv);
    }

    // What the recording program was given, once it has written it all.
    bool Recorded() {
        for (int i = 0; i < 2000 && !FileExists(record + ".done"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return FileExists(record + ".done");
    }

    TempEnv env;
    std::string record;
    std::string recorder;
};

struct VerbRow {
    std::string verb;
    std::vector<std::string> items;     // below the folder "sel/"
    std::vector<std::string> expected;  // "F" stands for the common folder
};

TEST_F(Launcher, EveryVerbGivesTheDesignedArguments) {
    const std::string sel = env.path("sel") + "/";
    const std::vector<VerbRow> rows = {
        {"r", {"b/x.txt", "c/y.txt"}, {"-d", "Fb/", "-r"}},
        {"p0",
         {"b/x.txt", "c/y.txt"},
         {"-u", "ftp://one.example/", "-d", "F", "-p", "b/x.txt", "c/y.txt"}},
        {"p1",
         {"b/one two.txt"},
         {"-u", "ftp://h/$(touch pwned)`touch pwned`;x\\", "-d", "Fb/", "-p", "one two.txt"}},
        {"5m",
         {"b/x.txt", "b/q\"uote's", "b/new\nline"},
         {"-d", "Fb/", "-5m", "x.txt", "q\"uote's", "new\nline"}},
        {"5s", {"b/dir/"}, {"-d", "Fb/", "-5s", "dir"}},
        {"5S", {"b/x"}, {"-d", "Fb/", "-5S", "x"}},
        {"52", {"b/x"}, {"-d", "Fb/", "-52", "x"}},
        {"53", {"b/x"}, {"-d", "Fb/", "-53", "x"}},
        {"55", {"b/x"}, {"-d", "Fb/", "-55", "x"}},
        {"5w", {"b/x", "bb/y"}, {"-d", "F", "-5w", "b/x", "bb/y"}},
        {"6", {"b/md5sums"}, {"-d", "Fb/", "-6", "md5sums"}},
        {"6w", {"b/sums.txt"}, {"-d", "Fb/", "-6w", "sums.txt"}},
    };
    for (const VerbRow& row : rows) {
        SCOPED_TRACE(row.verb);
        fs::remove(record + ".done");
        std::vector<std::string> argv{row.verb};
        for (const std::string& item : row.items) {
            argv.push_back(sel + item);
        }
        ProgramResult run = Launch(argv);
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_TRUE(Recorded());
        std::vector<std::string> expected = row.expected;
        for (std::string& argument : expected) {
            if (argument.starts_with("F")) {
                argument = sel + argument.substr(1);
            }
        }
        EXPECT_EQ(ReadFileBytes(record + ".argv"), Joined(expected));
        EXPECT_EQ(ReadFileBytes(record + ".cwd"), "/");
        EXPECT_EQ(ReadFileBytes(record + ".section"), "");
    }
    EXPECT_FALSE(FileExists("/pwned"));
    EXPECT_FALSE(FileExists(fs::current_path().string() + "/pwned"));
    EXPECT_FALSE(FileExists(env.path("pwned")));
}

// Files dropped on a shortcut go to its URL, by their full paths, in the launcher's folder.
TEST_F(Launcher, UploadToAShortcutStartsTheProgramWithItsUrl) {
    const std::string sel = env.path("sel") + "/";
    WriteFileBytes(sel + "Site.qvex", "[QvexShortcut]\nURL=ftp://one.example/in/\n");
    ProgramResult run = Launch({"upload-to-shortcut", sel + "a b.txt", sel + "Site.qvex"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(Recorded());
    EXPECT_EQ(ReadFileBytes(record + ".argv"),
              Joined({"-u", "ftp://one.example/in/", sel + "a b.txt"}));
    EXPECT_EQ(ReadFileBytes(record + ".cwd"), "/");
}

TEST_F(Launcher, LongSelectionsAndOptionLikeNamesGoThroughTheSection) {
    const std::string sel = env.path("sel") + "/";
    // 300 names of 120 characters: far past the length of a command line's item list.
    std::vector<std::string> argv{"5m"};
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        std::string name = std::to_string(1000 + i) + std::string(116, 'n');
        names.push_back(name);
        argv.push_back(sel + "d/" + name);
    }
    ProgramResult run = Launch(argv);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(Recorded());
    std::string args = ReadFileBytes(record + ".argv");
    const std::string head = Joined({"-d", sel + "d/", "-5m", "-@"});
    ASSERT_TRUE(args.starts_with(head)) << args.substr(0, 200);
    const std::string handle = args.substr(head.size(), args.size() - head.size() - 1);
    EXPECT_EQ(handle.find_first_not_of("0123456789abcdef"), std::string::npos) << handle;
    // Compared whole, without printing 36 KB when they differ.
    EXPECT_TRUE(ReadFileBytes(record + ".section") == Joined(names));

    // A name that would read as an option never goes on the command line.
    fs::remove(record + ".done");
    run = Launch({"p0", sel + "-v", sel + "--", sel + "x"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(Recorded());
    args = ReadFileBytes(record + ".argv");
    EXPECT_TRUE(args.starts_with(Joined({"-u", "ftp://one.example/", "-d", sel, "-p", "-@"})))
        << args;
    EXPECT_EQ(ReadFileBytes(record + ".section"), Joined({"-v", "--", "x"}));
}

struct FailureRow {
    const char* what;
    std::vector<std::string> argv;
    std::string message;
};

TEST_F(Launcher, RefusalsAreReportedAndStartNothing) {
    const std::string sel = env.path("sel") + "/";
    const std::vector<FailureRow> rows = {
        {"two sums files",
         {"6", sel + "a", sel + "b"},
         "qvexsx2: Verify takes exactly one selected sums file\n"},
        {"no such recent host",
         {"p2", sel + "a"},
         "qvexsx2: No recent host on line 3 (Qvex3 lists the hosts it connected to)\n"},
        {"no selection", {"5m"}, "qvexsx2: No file or folder was selected\n"},
        // Relative to the folder "/" (below), so no part of the path can name a sums file.
        {"not a sums file",
         {"6", "notes.txt"},
         "qvexsx2: Verify cryptographic checksum(s) takes a sums file whose path holds MD5 or "
         "SHA (Verify As takes any file)\n"},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.what);
        ProgramResult run = Launch(row.argv);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, row.message);
    }
    ProgramResult unknown = Launch({"x", sel + "a"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.err.starts_with("Usage: qvexsx2 VERB FILE...\n")) << unknown.err;

    SetAppFile(env.path("no such program"));
    ProgramResult missing = Launch({"r", sel + "a"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "qvexsx2: Unable to start " + env.path("no such program") +
                               ": No such file or directory\n");

    fs::remove(env.path("config/VbKs/Qvex/registry.reg"));
    ProgramResult none = Launch({"r", sel + "a"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "qvexsx2: Qvex3 has not recorded where it is (no \"AppFile\" in " +
                            env.path("config/VbKs/Qvex/registry.reg") + "): start Qvex3 once\n");
    EXPECT_FALSE(FileExists(record + ".done"));
}

// Runs the launcher and reads its output and that of the program it started (which keeps
// the same pipe) to the end.
std::string OutputToTheEnd(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return "pipe failed";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        std::vector<char*> pointers;
        for (const std::string& argument : argv) {
            pointers.push_back(const_cast<char*>(argument.c_str()));
        }
        pointers.push_back(nullptr);
        ::execv(pointers[0], pointers.data());
        std::_Exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    return out;
}

TEST_F(Launcher, StartsTheRealProgramOnAComputeAndAVerify) {
    if (!qvex::test::ExecutableExists("/usr/bin/md5sum")) {
        GTEST_SKIP() << "md5sum is not installed";
    }
    SetAppFile(QVEX3_PROGRAM);
    // Without a display Qvex3 does the work without its window and ends.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        ::unsetenv(name);
    }
    const std::string sel = env.path("sel") + "/";
    WriteFileBytes(sel + "a.txt", "alpha\n");
    WriteFileBytes(sel + "sub dir/b c.bin", qvex::test::RandomBytes(70000, 3));

    std::string computed = OutputToTheEnd({QVEXSX2_LAUNCHER, "5m", sel + "a.txt", sel + "sub dir"});
    ProgramResult a = RunToEnd({"/usr/bin/md5sum", sel + "a.txt"});
    ProgramResult b = RunToEnd({"/usr/bin/md5sum", sel + "sub dir/b c.bin"});
    const std::string lineA = a.out.substr(0, 32) + "  a.txt\n";
    const std::string lineB = b.out.substr(0, 32) + "  sub dir/b c.bin\n";
    EXPECT_NE(computed.find(lineA), std::string::npos) << computed;
    EXPECT_NE(computed.find(lineB), std::string::npos) << computed;

    WriteFileBytes(sel + "md5sums", lineA + lineB);
    WriteFileBytes(sel + "a.txt", "changed\n");
    std::string verified = OutputToTheEnd({QVEXSX2_LAUNCHER, "6", sel + "md5sums"});
    EXPECT_NE(verified.find("a.txt: Bad\n"), std::string::npos) << verified;
    EXPECT_NE(verified.find("sub dir/b c.bin: Good\n"), std::string::npos) << verified;
    EXPECT_NE(verified.find("1 Good  0 Unknown  1 Bad\n"), std::string::npos) << verified;
}

TEST_F(Launcher, UploadsToARecentHostOfARealServer) {
    std::unique_ptr<qvex::test::FtpServer> server =
        qvex::test::StartFtpServer(qvex::test::FtpServerKind::PyFtpd);
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    ASSERT_TRUE(server->PutFolder("inbox"));
    using qvex::test::FtpServer;
    const std::string url = std::string("ftp://") + FtpServer::kUser + ":" + FtpServer::kPassword +
                            "@127.0.0.1:" + std::to_string(server->port()) + "/inbox/";
    WriteFileBytes(env.path("data/VbKs/Qvex/QvexMRU.txt"),
                   "ftp://other.example/\r\n" + url + "\r\n");
    SetAppFile(QVEX3_PROGRAM);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        ::unsetenv(name);
    }
    const std::string sel = env.path("sel") + "/";
    WriteFileBytes(sel + "one.txt", "first file\n");
    WriteFileBytes(sel + "two words.bin", qvex::test::RandomBytes(70000, 5));
    // A name that begins with "-" takes the whole list through the inherited section.
    WriteFileBytes(sel + "-dash.bin", qvex::test::RandomBytes(1000, 6));

    const std::string output = OutputToTheEnd(
        {QVEXSX2_LAUNCHER, "p1", sel + "one.txt", sel + "two words.bin", sel + "-dash.bin"});
    for (const char* name : {"one.txt", "two words.bin", "-dash.bin"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(ReadFileBytes(server->path(std::string("inbox/") + name)) ==
                    ReadFileBytes(sel + name))
            << output << server->output();
    }
}

}  // namespace
