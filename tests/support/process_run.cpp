#include "tests/support/process_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/support/temp_env.h"

namespace qvex::test {
namespace {

int Spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv) {
        pointers.push_back(const_cast<char*>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (outFd >= 0) {
            ::dup2(outFd, 1);
        }
        if (errFd >= 0) {
            ::dup2(errFd, 2);
        }
        ::execv(pointers[0], pointers.data());
        std::_Exit(127);
    }
    return pid;
}

int StatusOf(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

}  // namespace

ProgramResult RunToEnd(const std::vector<std::string>& argv, std::chrono::seconds limit) {
    ProgramResult result;
    TempFolder folder;
    const std::string outPath = folder.path("out");
    const std::string errPath = folder.path("err");
    int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = Spawn(argv, outFd, errFd);
    ::close(outFd);
    ::close(errFd);
    if (pid < 0) {
        return result;
    }
    auto end = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            result.status = StatusOf(raw);
            break;
        }
        if (done < 0 || std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            (void)::waitpid(pid, &raw, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.out = ReadFileBytes(outPath);
    result.err = ReadFileBytes(errPath);
    return result;
}

RunningProgram::~RunningProgram() {
    KillHard();
}

bool RunningProgram::Start(const std::vector<std::string>& argv) {
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = Spawn(argv, devNull, devNull);
    ::close(devNull);
    return pid_ > 0;
}

void RunningProgram::KillHard() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        (void)::waitpid(pid_, &raw, 0);
        pid_ = -1;
    }
}

int RunningProgram::Stop(int signal, std::chrono::seconds limit) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, signal);
    const auto end = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            return StatusOf(raw);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    KillHard();
    return -1;
}

bool RunningProgram::running() {
    if (pid_ <= 0) {
        return false;
    }
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

}  // namespace qvex::test
