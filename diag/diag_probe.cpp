// Runs one ping or traceroute with the system's echo and name services and prints, one per
// line and tab-separated, what it reported:
//   kind <datagram|raw|none>       the socket kind an echo handle gets here
//   title <text>
//   ping <address> <time> <ttl> <status>
//   hop <n> <time> <time> <time> <host>
//   log <kind> <text>              every log line, after the run
// Usage: diag_probe ping|trace <host text> <milliseconds per echo>
// The namespace tests start it inside their own network namespaces.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diag/ping_trace.h"
#include "state/shared_heap.h"

namespace qvex {
namespace {

class PrintingObserver : public DiagObserver {
  public:
    void OnTitle(const std::string& title) override { std::printf("title\t%s\n", title.c_str()); }
    void OnPingRow(const PingRow& row) override {
        std::printf("ping\t%s\t%s\t%s\t%s\n", row.address.c_str(), row.time.c_str(),
                    row.ttl.c_str(), row.status.c_str());
    }
    void OnTraceRow(const TraceRow& row) override {
        std::printf("hop\t%d\t%s\t%s\t%s\t%s\n", row.hop, row.times[0].c_str(),
                    row.times[1].c_str(), row.times[2].c_str(), row.host.c_str());
    }
};

const char* KindName(platform::IcmpSocketKind kind) {
    switch (kind) {
        case platform::IcmpSocketKind::Datagram:
            return "datagram";
        case platform::IcmpSocketKind::Raw:
            return "raw";
        case platform::IcmpSocketKind::None:
            break;
    }
    return "none";
}

int Probe(const std::string& tool, const std::string& host, uint32_t timeout) {
    platform::IcmpHandle handle = platform::IcmpCreateFile();
    std::printf("kind\t%s\n", KindName(platform::IcmpSocketKindOf(handle)));
    platform::IcmpCloseHandle(handle);

    // A bus of its own with one queue for every log line, as the Log page has.
    SharedHeap heap;
    QueueId queue = 0;
    if (!heap.CreateHeap() || (queue = heap.OpenQueue("^Log(Cmd|Ext|Raw)$")) == 0) {
        std::fprintf(stderr, "no message bus\n");
        return 1;
    }
    InstallProcessHeap(&heap);
    IcmpBinding icmp = LoadIcmpBinding();
    NameService names;
    std::atomic<bool> stop{false};
    PrintingObserver observer;
    DiagRun run{icmp, names, stop, observer, timeout};
    if (tool == "ping") {
        RunPing(host, run);
    } else {
        RunTraceroute(host, run);
    }
    while (heap.PendingCount(queue) > 0) {
        char topic[16] = "";
        char text[1024] = "";
        uint32_t topicLength = sizeof topic;
        uint32_t textLength = sizeof text;
        if (heap.Receive(queue, topic, &topicLength, text, &textLength, kWantBoth) != kWantBoth) {
            break;
        }
        std::printf("log\t%s\t%s\n", topic, text);
    }
    InstallProcessHeap(nullptr);
    return 0;
}

}  // namespace
}  // namespace qvex

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[1]) != "ping" && std::string(argv[1]) != "trace")) {
        std::fprintf(stderr, "usage: diag_probe ping|trace <host> <milliseconds>\n");
        return 2;
    }
    return qvex::Probe(argv[1], argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
}
