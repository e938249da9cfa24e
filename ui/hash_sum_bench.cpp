// The hash-sum dialog while its workers hash many small files: every file a row that arrives
// from a worker thread. Measures the window thread's longest stall (the longest gap between
// two turns of a 1 ms timer) and the dialog's hashing time beside the windowless run's over
// the same files, in the same process, alternating so that neither has the warmer cache.
//   QVEX_HASH_BENCH_FILES  number of files (default 200,000)
//   QVEX_HASH_BENCH_BYTES  bytes per file (default 100)
//   QVEX_HASH_BENCH_ROUNDS rounds of one windowless and one dialog run (default 5)
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "state/startup/hash_job_run.h"
#include "tests/support/temp_env.h"
#include "ui/hash_sum_dialog.h"

namespace {

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// Processor time of the whole process (every thread), in milliseconds.
double ProcessCpuMs() {
    return static_cast<double>(std::clock()) * 1e3 / CLOCKS_PER_SEC;
}

struct DialogRun {
    qint64 ms = 0;
    double cpuMs = 0;
    qint64 longestStall = 0;
    int rows = 0;
    bool finished = false;
};

DialogRun RunDialog(qvex::SharedHeap& heap, qvex::Settings& settings,
                    const qvex::HashRequest& request) {
    DialogRun run;
    qvex::HashSumDialog dialog(heap, settings);
    dialog.show();
    QApplication::processEvents();  // the first layout and paint

    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = clock.elapsed();
    QTimer turn;
    turn.setInterval(1);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        run.longestStall = std::max(run.longestStall, now - lastTurn);
        lastTurn = now;
    });
    turn.start();
    QSignalSpy ended(&dialog, &qvex::HashSumDialog::jobEnded);
    const double cpu = ProcessCpuMs();
    const qint64 start = clock.elapsed();
    dialog.Start(request);
    // Waits as a window's event loop does: a thread spinning here would take a processor
    // from the workers and measure the bench, not the dialog.
    QEventLoop loop;
    QObject::connect(&dialog, &qvex::HashSumDialog::jobEnded, &loop, &QEventLoop::quit);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    if (ended.isEmpty()) {
        loop.exec();
    }
    run.ms = clock.elapsed() - start;
    run.cpuMs = ProcessCpuMs() - cpu;
    turn.stop();
    run.rows = dialog.table()->model()->rowCount();
    run.finished = dialog.job().state() == qvex::HashJobState::Finished &&
                   dialog.job().doneCount() == dialog.job().entryCount();
    return run;
}

qint64 RunWindowless(qvex::SharedHeap& heap, const qvex::Settings& settings,
                     const qvex::HashRequest& request) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    const double cpu = ProcessCpuMs();
    QElapsedTimer clock;
    clock.start();
    (void)qvex::RunHashJob(heap, request, settings, sink);
    const qint64 ms = clock.elapsed();
    std::fclose(sink);
    std::printf("windowless: %lld ms, processor time %.0f ms\n", static_cast<long long>(ms),
                ProcessCpuMs() - cpu);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int files = EnvInt("QVEX_HASH_BENCH_FILES", 200000);
    const int bytes = EnvInt("QVEX_HASH_BENCH_BYTES", 100);

    qvex::test::TempFolder folder;
    const std::string content(static_cast<size_t>(bytes), 'h');
    for (int file = 0; file < files; ++file) {
        // A thousand files per folder, as a real tree has them.
        qvex::test::WriteFileBytes(folder.path("tree/" + std::to_string(file / 1000) + "/" +
                                               std::to_string(file)),
                                   content);
    }
    qvex::platform::RegistryFile registry(folder.path("registry.reg"));
    qvex::Settings settings(registry);
    settings.LoadSettings();
    settings.SetInt(qvex::kPerCpuSetting, 1);
    qvex::SharedHeap heap;
    if (!heap.CreateHeap(qvex::SharedHeap::kDefaultPageCount)) {
        return 1;
    }
    qvex::InstallProcessHeap(&heap);
    const qvex::HashRequest request{qvex::HashMode::Compute, 'm', folder.root(), {"tree"}};

    const int rounds = std::max(1, EnvInt("QVEX_HASH_BENCH_ROUNDS", 5));
    (void)RunWindowless(heap, settings, request);  // the files into the cache
    std::vector<qint64> windowless;
    std::vector<DialogRun> dialogs;
    for (int round = 0; round < rounds; ++round) {
        windowless.push_back(RunWindowless(heap, settings, request));
        dialogs.push_back(RunDialog(heap, settings, request));
    }
    auto median = [](std::vector<qint64> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    std::vector<qint64> dialogTimes;
    std::vector<qint64> stalls;
    bool all = true;
    for (const DialogRun& run : dialogs) {
        dialogTimes.push_back(run.ms);
        stalls.push_back(run.longestStall);
        all = all && run.finished && run.rows == files;
        std::printf("dialog: %d rows in %lld ms, processor time %.0f ms, longest window-thread "
                    "stall %lld ms\n",
                    run.rows, static_cast<long long>(run.ms), run.cpuMs,
                    static_cast<long long>(run.longestStall));
    }
    const double ratio = static_cast<double>(median(dialogTimes)) /
                         static_cast<double>(std::max<qint64>(median(windowless), 1));
    std::printf("median of %d: dialog %lld ms, windowless %lld ms: the dialog takes %.1f %% of "
                "the windowless time; longest stall median %lld ms, worst %lld ms%s\n",
                rounds, static_cast<long long>(median(dialogTimes)),
                static_cast<long long>(median(windowless)), 100.0 * ratio,
                static_cast<long long>(median(stalls)),
                static_cast<long long>(*std::max_element(stalls.begin(), stalls.end())),
                all ? "" : " (NOT every row arrived)");
    return all ? 0 : 1;
}
