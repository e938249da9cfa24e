#include "tests/support/peer_program.h"

#include <signal.h>

#include <thread>

#include "tests/support/temp_env.h"

namespace qvex::test {

PeerProgram::PeerProgram(std::string program, std::string outputFile, std::chrono::seconds patience)
    : program_(std::move(program)), output_(std::move(outputFile)), patience_(patience) {}

bool PeerProgram::Start(const std::string& folder, const std::vector<std::string>& commands) {
    std::vector<std::string> argv{program_, folder};
    argv.insert(argv.end(), commands.begin(), commands.end());
    return process_.Start(argv, output_);
}

std::optional<std::string> PeerProgram::Next(const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + patience_;
    while (true) {
        const bool ended = !process_.running();
        const std::string text = ReadFileBytes(output_);
        size_t index = 0;
        for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos;
             begin = end + 1, ++index) {
            const std::string line = text.substr(begin, end - begin);
            if (index >= consumed_ && line.rfind(prefix, 0) == 0) {
                consumed_ = index + 1;
                return line.substr(prefix.size());
            }
        }
        if (ended || std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool PeerProgram::AwaitExit() {
    const auto deadline = std::chrono::steady_clock::now() + patience_;
    while (process_.running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool PeerProgram::KillHard() {
    bool killed = process_.pid() > 0 && ::kill(process_.pid(), SIGKILL) == 0;
    process_.Stop();  // reaps it
    return killed;
}

}  // namespace qvex::test
