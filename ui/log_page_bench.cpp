// The Log page on the window thread while a writer posts 100,000 log lines (lines shown per
// second, the longest time the window thread was busy), and the memory the page costs with
// a log of a million lines (it should cost the mapped file and its index, nothing per row).
// A program rather than a Google Benchmark: both figures come from one run of a real page.
//
//   log_page_bench   (QVEX_LOG_PAGE_LINES and QVEX_LOG_PAGE_BIG_LOG change the 100,000 lines
//                     streamed and the 1,000,000 lines of the big log; offscreen by default)
#include <malloc.h>
#include <time.h>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "log/log_files.h"
#include "log/log_receiver.h"
#include "log/log_sink.h"
#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "tests/support/temp_env.h"
#include "ui/log_model.h"
#include "ui/log_page.h"

namespace {

// Kilobytes of one line of /proc/self/status ("RssAnon:", "RssFile:").
long StatusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
        }
    }
    return -1;
}

// Processor time the calling thread has used, in milliseconds.
double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Runs the window thread's events until `done` holds or `seconds` pass.
template <typename Done>
bool RunUntil(Done done, int seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A shown Log page over a fresh log in a temporary folder, as the program builds it.
struct PageWorld {
    // False when the heap or the current log could not be made.
    bool Open() {
        settings.LoadSettings();
        if (!heap.CreateHeap()) {
            return false;
        }
        files = std::make_unique<qvex::SessionLogFiles>(
            qvex::LogFilesOptions{folder.root() + "/", qvex::kLogKeepAll, {}});
        if (!files->Open()) {
            return false;
        }
        receiver = std::make_unique<qvex::LogReceiver>(heap, files->currentView());
        page = std::make_unique<qvex::LogPage>(*files, *receiver, settings);
        page->resize(1000, 700);
        page->show();
        return receiver->Start();
    }
    ~PageWorld() {
        page.reset();
        if (files) {
            files->Close();
        }
    }

    qvex::test::TempFolder folder;
    qvex::platform::RegistryFile registry{folder.path("registry.reg")};
    qvex::Settings settings{registry};
    qvex::SharedHeap heap;
    std::unique_ptr<qvex::SessionLogFiles> files;
    std::unique_ptr<qvex::LogReceiver> receiver;
    std::unique_ptr<qvex::LogPage> page;
};

int StreamLines(int lines) {
    PageWorld world;
    if (!world.Open()) {
        return 1;
    }
    qvex::LogPage* page = world.page.get();
    RunUntil([] { return false; }, 1);  // settle the first layout and paint

    // The window thread's longest stall: the longest gap between two turns of a 1 ms timer.
    // On a loaded machine that gap includes waiting for a processor, so the processor time
    // the window thread itself used between two turns is measured beside it.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = clock.elapsed();
    qint64 longest = 0;
    double lastCpu = ThreadCpuMs();
    double longestBusy = 0;
    QTimer turn;
    turn.setInterval(1);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const double cpu = ThreadCpuMs();
        longest = std::max(longest, now - lastTurn);
        longestBusy = std::max(longestBusy, cpu - lastCpu);
        lastTurn = now;
        lastCpu = cpu;
    });
    turn.start();

    const int rowsBefore = page->model().rowCount();
    const qint64 start = clock.elapsed();
    std::thread writer([&] {
        for (int line = 0; line < lines; ++line) {
            // The lines of a transfer: replies, commands and progress.
            const std::string text = line % 3 == 0
                                         ? ">226 Transfer complete " + std::to_string(line)
                                     : line % 3 == 1 ? "<RETR file" + std::to_string(line) + ".bin"
                                                     : "... 1,048,576 bytes received in 0.05 "
                                                       "sec (20.0 MB/s) line " +
                                                           std::to_string(line);
            qvex::postLogLine(world.heap, line % 3 == 2 ? "LogExt" : "LogCmd", text.c_str(),
                              nullptr);
        }
    });
    const bool all = RunUntil([&] { return page->model().rowCount() >= rowsBefore + lines; }, 300);
    const qint64 elapsed = clock.elapsed() - start;
    writer.join();
    turn.stop();
    std::printf(
        "stream: %d lines shown in %lld ms: %.0f lines/s shown; longest window-thread "
        "stall %lld ms (its own work in it: %.1f ms)%s\n",
        page->model().rowCount() - rowsBefore, static_cast<long long>(elapsed),
        1000.0 * (page->model().rowCount() - rowsBefore) /
            static_cast<double>(std::max<qint64>(elapsed, 1)),
        static_cast<long long>(longest), longestBusy, all ? "" : " (NOT all lines arrived)");
    if (!all) {
        // Lines the page missed, or lines that never reached the log (a full bus drops them)?
        std::printf(
            "stream: the log itself indexed %u lines\n",
            world.files->currentView().displayedCount() - static_cast<uint32_t>(rowsBefore));
    }
    return all ? 0 : 1;
}

int BigLogMemory(int lines) {
    PageWorld world;
    const std::string path = world.folder.path("20230101000000.txt");
    {
        std::ofstream saved(path, std::ios::binary);
        saved << "[saved header]\r\n[system]\r\n";
        for (int line = 0; line < lines; ++line) {
            saved << (line % 2 == 0 ? ">226 Transfer complete, line " : "<RETR file") << line
                  << "\r\n";
        }
    }
    const long fileKb =
        static_cast<long>(std::ifstream(path, std::ios::binary | std::ios::ate).tellg() / 1024);
    if (!world.Open()) {
        return 1;
    }
    qvex::LogPage* page = world.page.get();
    RunUntil([] { return false; }, 1);
    const long anonBefore = StatusKb("RssAnon:");
    const long fileBefore = StatusKb("RssFile:");

    QElapsedTimer clock;
    clock.start();
    auto* selector = page->findChild<QComboBox*>(QStringLiteral("logSelector"));
    emit selector->activated(1);
    const qint64 chosen = clock.elapsed();
    page->list().scrollToBottom();
    RunUntil([] { return false; }, 1);
    page->list().scrollToTop();
    RunUntil([] { return false; }, 1);
    malloc_trim(0);  // freed memory the allocator still holds is not the page's
    const long anonGrowth = StatusKb("RssAnon:") - anonBefore;
    const long fileGrowth = StatusKb("RssFile:") - fileBefore;
    std::printf(
        "memory: %d rows; log file %ld KiB opened in %lld ms; resident growth: "
        "file-backed %ld KiB, anonymous %ld KiB (the index alone: %d KiB)\n",
        page->model().rowCount(), fileKb, static_cast<long long>(chosen), fileGrowth, anonGrowth,
        (lines + 2) * 6 / 1024);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    auto count = [](const char* name, int fallback) {
        const int value = qEnvironmentVariableIntValue(name);
        return value > 0 ? value : fallback;
    };
    const int streamed = StreamLines(count("QVEX_LOG_PAGE_LINES", 100000));
    const int memory = BigLogMemory(count("QVEX_LOG_PAGE_BIG_LOG", 1000000));
    return streamed != 0 || memory != 0 ? 1 : 0;
}
