#include "ui/program_window.h"

#include <QApplication>
#include <QIcon>

#include <memory>
#include <optional>

#include "engine/session_worker.h"
#include "state/hosts/host_connect.h"
#include "platform/paths.h"
#include "state/startup/command_line_work.h"
#include "state/startup/desktop_integration.h"
#include "state/startup/host_stores.h"
#include "ui/files_page.h"
#include "ui/hash_menu.h"
#include "ui/hash_job_window.h"
#include "ui/help_page.h"
#include "ui/host_page.h"
#include "ui/host_page_furnishing.h"
#include "ui/local_pane.h"
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
    const CommandLineRequest& request = state.request;
    const bool hashJob =
        request.kind == CommandLineKind::ComputeSums || request.kind == CommandLineKind::VerifySums;
    HostStores stores(state);
    HostConnector connector(state.settings, stores.hosts(), stores.statistics(), stores.restart());
    connector.SetCommandHandlers(stores.handlers());
    connector.SetResumeShown(stores.resumeShown());

    auto window = std::make_unique<MainWindow>(state.settings, state.heap);
    LogPage* logPage = nullptr;
    if (log.receiver() != nullptr) {
        logPage = new LogPage(log.files(), *log.receiver(), state.settings);
        window->SetPage("Log", logPage);
    }
    window->SetPage("Help", new HelpPage(state, log.files()));
    auto* hostPage = new HostPage(state.settings, stores.hosts(), connector, stores.restart());
    FurnishHostPage(*hostPage, state.settings, stores.hosts(), stores.statistics(),
                    stores.restart(), window->toolbarIconSize(ToolbarPage::Host));
    window->SetHostPage(hostPage);
    MainWindow* shown = window.get();
    // The session lists its start folder after login; the Files page shows it.
    FilesPage* files = window->filesPage();
    files->SetCache(stores.cache(), stores.searchReceivers());
    auto* localPane = new LocalPane(state.settings);
    // The hash items lead the local pane's context menu.
    localPane->SetMenuExtension(
        [localPane, open = HashSumDialogOpener(state.heap, state.settings, shown)](
            QMenu& menu, const QStringList& paths) {
            AddHashMenu(menu, localPane->currentFolder(), paths, open);
        });
    files->SetLocalPane(localPane);
    QObject::connect(hostPage, &HostPage::sessionStarted, shown, [shown, files, hostPage] {
        shown->ShowSessionOnFilesPage(hostPage->connectedTo());
        files->SetSession(hostPage->session());
    });
    QObject::connect(hostPage, &HostPage::sessionEnded, shown, [shown, files] {
        shown->ShowSessionOnFilesPage({});
        files->SetSession(nullptr);
    });
    // A stop request and the end of a hash job close the window by a queued call; the
    // stop thread ends before the window goes.
    auto closeWindow = [target = window.get()] {
        QMetaObject::invokeMethod(target, &QWidget::close, Qt::QueuedConnection);
    };
    stops.Start(closeWindow);
    window->show();

    std::optional<CommandLineHashWindow> hashWindow;
    // Outcome bits of command-line work that never reached the session.
    uint32_t unqueued = 0;
    bool workPending = request.kind >= CommandLineKind::Upload && !hashJob;
    if (hashJob) {
        hashWindow.emplace(state, *window, closeWindow);
    } else if (!request.url().empty()) {
        // The host page connects; the work is queued after the first login only, and with
        // "NoUIQuit" the session then ends the program once the work is done. A failed
        // connect or login ends it too (the session's exit code says so).
        const bool quitWhenDone = state.settings.GetInt("NoUIQuit") != 0;
        const bool unattended = quitWhenDone && state.settings.GetInt("CLStart") != 0;
        QObject::connect(hostPage, &HostPage::sessionStarted, hostPage, [&, quitWhenDone] {
            const std::shared_ptr<SessionWorker> session = hostPage->session();
            if (!workPending || !session) {
                return;
            }
            workPending = false;
            if (!QueueCommandLineWork(*session, request, state.settings, quitWhenDone)) {
                unqueued |= UnqueuedWorkOutcome(request.kind);
            }
        });
        QMetaObject::invokeMethod(
            hostPage,
            [&, unattended] {
                if (!hostPage->ConnectToUrl(QString::fromStdString(request.url()))) {
                    unqueued |= kOutcomeConnectFailed;
                    if (unattended) {
                        closeWindow();
                    }
                }
            },
            Qt::QueuedConnection);
    }
    QApplication::exec();
    if (logPage != nullptr) {
        logPage->SetExiting();
    }

    // The window has done its part of the exit; the work ends as the user's exit ends it.
    const uint32_t hashStatus = hashWindow ? hashWindow->Finish() : 0;
    hostPage->EndSessionForExit();
    const uint32_t status = hashJob ? hashStatus : hostPage->outcome() | unqueued;
    stops.Finish();
    // The Log page reads the current log until it goes; the log is cut after that.
    window.reset();
    const bool hostsRewritten = connector.countedThisRun();
    connector.Shutdown(state.dataFolder);
    // The shell extension's upload items name the recent hosts.
    if (hostsRewritten) {
        (void)RefreshUploadMenus(platform::ProgramFolder());
    }
    log.Close();
    state.settings.SaveSettings();
    return status;
}

}  // namespace qvex
