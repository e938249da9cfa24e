#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <thread>

#include "diag/ping_trace.h"

namespace qvex {

enum class StartResult {
    Started,
    Unavailable,   // no echo service: the buttons stay disabled, nothing is logged
    Running,       // that tool's worker has not ended yet
    MalformedUrl,  // logged as "*** malformed URL"; the window selects the field's text
};

// The Host page's ping and traceroute: one worker thread each, each with its own pane
// (observer) and stop flag, so both can run at the same time. Start and stop are called on
// the user-interface thread.
class NetworkTools {
  public:
    NetworkTools(DiagObserver& pingPane, DiagObserver& tracePane,
                 IcmpBinding icmp = LoadIcmpBinding(), NameService names = NameService());
    NetworkTools(const NetworkTools&) = delete;
    NetworkTools& operator=(const NetworkTools&) = delete;
    // Stops both workers and waits for them.
    ~NetworkTools();

    // Whether the ping and traceroute buttons are enabled at all.
    bool available() const { return icmp_.loaded; }

    // Takes the host of the URL in the URL field and starts that tool's worker on it.
    [[nodiscard]] StartResult StartPing(std::string_view urlText);
    [[nodiscard]] StartResult StartTraceroute(std::string_view urlText);
    // Sets the stop flag; the worker sees it before its next echo.
    void StopPing() { ping_.stop = true; }
    void StopTraceroute() { trace_.stop = true; }

    bool pingRunning() const { return ping_.running; }
    bool tracerouteRunning() const { return trace_.running; }

    // Milliseconds each echo waits for its answer, for runs started from now on.
    void SetEchoTimeout(uint32_t milliseconds) { echoTimeout_ = milliseconds; }

  private:
    using Worker = void (*)(const std::string& hostText, const DiagRun& run);

    struct Tool {
        explicit Tool(DiagObserver& pane) : observer(pane) {}
        DiagObserver& observer;
        std::atomic<bool> stop{false};
        std::atomic<bool> running{false};
        std::thread thread;
    };

    StartResult Start(Tool& tool, Worker worker, std::string_view urlText);
    void Finish(Tool& tool);

    const IcmpBinding icmp_;
    const NameService names_;
    std::atomic<uint32_t> echoTimeout_{kEchoTimeout};
    Tool ping_;
    Tool trace_;
};

}  // namespace qvex
