#include "ui/program_window.h"

#include <QApplication>
#include <QIcon>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "ui/help_page.h"
#include "ui/log_page.h"
#include "ui/main_window.h"

namespace qvex {

uint32_t WindowedProgram::Run(ProgramState& state, platform::StopSignals& stops) {
    int argc = 1;
    char programName[] = "Qvex3";
    char* argv[] = {programName, nullptr};
    QApplication application(argc, argv);
    QApplication::setApplicationName("Qvex3");
    QApplication::setOrganizationName("VbKs");
    // Desktops without an icon theme of their own still have the common one.
    QIcon::setFallbackThemeName("Adwaita");

    ProgramLog log(state, nullptr);
    CommandLineWork work(state);
    auto window = std::make_unique<MainWindow>(state.settings, state.heap);
    LogPage* logPage = nullptr;
    if (log.receiver() != nullptr) {
        logPage = new LogPage(log.files(), *log.receiver(), state.settings);
        window->SetPage("Log", logPage);
    }
    window->SetPage("Help", new HelpPage(state, log.files()));
    // A stop request and the end of the work close the window by a queued call; both
    // threads end before the window goes.
    auto closeWindow = [target = window.get()] {
        QMetaObject::invokeMethod(target, &QWidget::close, Qt::QueuedConnection);
    };
    stops.Start(closeWindow);
    window->show();

    const bool hashJob = state.request.kind == CommandLineKind::ComputeSums ||
                         state.request.kind == CommandLineKind::VerifySums;
    std::atomic<uint32_t> status{0};
    std::thread worker;
    if (work.hasWork()) {
        worker = std::thread([&] {
            status = work.Run(stdout);
            if (hashJob || state.settings.GetInt("NoUIQuit") != 0) {
                closeWindow();
            }
        });
    }
    QApplication::exec();
    if (logPage != nullptr) {
        logPage->SetExiting();
    }

    // The window has done its part of the exit; the work ends as the user's exit ends it.
    work.Stop();
    if (worker.joinable()) {
        worker.join();
    }
    stops.Finish();
    // The Log page reads the current log until it goes; the log is cut after that.
    window.reset();
    log.Close();
    state.settings.SaveSettings();
    return status;
}

}  // namespace qvex
