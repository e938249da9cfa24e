#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvex::test {

// A program started by a test fixture (a real server from Debian). Its output goes to a
// file the test can show when something fails. The process is killed and reaped on
// destruction.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    [[nodiscard]] bool Start(const std::vector<std::string>& argv, const std::string& outputFile);
    void Stop();
    bool running();
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
};

// Whether an executable exists at `path`.
bool ExecutableExists(const std::string& path);
// A port on 127.0.0.1 that was free a moment ago (for servers that must be told a port).
uint16_t FreeLoopbackPort();
// Waits (bounded) until something accepts connections on 127.0.0.1:port.
bool WaitForLoopbackPort(uint16_t port, int seconds = 20);

}  // namespace qvex::test
