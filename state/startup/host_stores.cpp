#include "state/startup/host_stores.h"

#include <string>

#include "log/log_sink.h"
#include "state/startup/program.h"
#include "transfer/transfer_handlers.h"

namespace qvex {
namespace {

// A store whose file finds no room on disk is left out for the run, and the log says so.
void ReportStoreWithoutRoom(bool outOfRoom, const std::string& path, const char* lost) {
    if (outOfRoom) {
        logExt(("*** No room on disk for " + path + ": " + lost + " not kept").c_str());
    }
}

}  // namespace

HostStores::HostStores(ProgramState& state)
    : restart_(state.dataFolder.empty() ? nullptr
                                        : std::make_unique<RestartDatabase>(state.dataFolder)),
      statistics_(state.dataFolder.empty()
                      ? nullptr
                      : std::make_unique<StatisticsDatabase>(state.dataFolder, state.settings)),
      hosts_(state.registry, state.settings, statistics_.get()) {
    if (restart_) {
        resumeShown_ = StartRestartSlot(*restart_, state.settings);
        ReportStoreWithoutRoom(restart_->outOfRoom(), restart_->filePath(),
                               "restart information is");
    }
    // Loading the host list opens the statistics file, which may then find no room.
    hosts_.LoadHostList();
    if (statistics_) {
        ReportStoreWithoutRoom(statistics_->outOfRoom(), statistics_->filePath(),
                               "host statistics are");
    }
    InstallTransferHandlers(handlers_, cache_);
    InstallSearchHandler(handlers_, cache_, searchReceivers_);
}

HostStores::~HostStores() {
    if (restart_) {
        ShutdownRestartDatabase(*restart_);
    }
}

}  // namespace qvex
