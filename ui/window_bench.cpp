// Start-up to a shown window: the main window with its pages made, shown and exposed, on the
// offscreen platform unless a display is given.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdlib>
#include <string>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "state/shared_heap.h"
#include "ui/main_window.h"

namespace {

void BM_StartToShownWindow(benchmark::State& state) {
    QTemporaryDir folder;
    qvex::platform::RegistryFile registry(folder.filePath("registry.reg").toStdString());
    qvex::SharedHeap heap;
    if (!heap.CreateHeap(qvex::SharedHeap::kDefaultPageCount)) {
        state.SkipWithError("heap");
        return;
    }
    for (auto _ : state) {
        qvex::Settings settings(registry);
        settings.LoadSettings();
        qvex::MainWindow window(settings, heap);
        window.show();
        QDeadlineTimer deadline(5000);
        while (window.windowHandle() == nullptr || !window.windowHandle()->isExposed()) {
            if (deadline.hasExpired()) {
                state.SkipWithError("the window was never exposed");
                return;
            }
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
    }
}
BENCHMARK(BM_StartToShownWindow)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
