#include "diag/network_tools.h"

#include <optional>
#include <string>
#include <utility>

#include "log/log_sink.h"
#include "state/url_grammar.h"

namespace qvex {

NetworkTools::NetworkTools(DiagObserver& pingPane, DiagObserver& tracePane, IcmpBinding icmp,
                           NameService names)
    : icmp_(std::move(icmp)), names_(std::move(names)), ping_(pingPane), trace_(tracePane) {}

NetworkTools::~NetworkTools() {
    ping_.stop = true;
    trace_.stop = true;
    Finish(ping_);
    Finish(trace_);
}

StartResult NetworkTools::StartPing(std::string_view urlText) {
    return Start(ping_, RunPing, urlText);
}

StartResult NetworkTools::StartTraceroute(std::string_view urlText) {
    return Start(trace_, RunTraceroute, urlText);
}

void NetworkTools::Finish(Tool& tool) {
    if (tool.thread.joinable()) {
        tool.thread.join();
    }
}

StartResult NetworkTools::Start(Tool& tool, Worker worker, std::string_view urlText) {
    if (!icmp_.loaded) {
        return StartResult::Unavailable;
    }
    if (tool.running) {
        return StartResult::Running;
    }
    std::optional<SessionRequest> request = ParseUrl(urlText);
    if (!request) {
        logExt("*** malformed URL");
        return StartResult::MalformedUrl;
    }
    // The last run has told its pane that it ended; only its thread is left to collect.
    Finish(tool);
    tool.stop = false;
    tool.running = true;
    uint32_t timeout = echoTimeout_;
    tool.thread = std::thread([this, &tool, worker, host = request->host, timeout] {
        DiagRun run{icmp_, names_, tool.stop, tool.observer, timeout};
        worker(host, run);
        // Cleared before the pane hears of the end, so a start it answers with is taken.
        tool.running = false;
        tool.observer.OnEnded();
    });
    return StartResult::Started;
}

}  // namespace qvex
