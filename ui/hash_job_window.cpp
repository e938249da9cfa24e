#include "ui/hash_job_window.h"

#include <optional>
#include <utility>

#include "log/log_sink.h"
#include "state/startup/hash_job_run.h"
#include "state/startup/program.h"
#include "sums/hash_entries.h"
#include "ui/hash_sum_dialog.h"

namespace qvex {

CommandLineHashWindow::CommandLineHashWindow(ProgramState& state, QWidget& window,
                                             std::function<void()> closeWindow) {
    const CommandLineRequest& request = state.request;
    std::optional<HashRequest> job = HashRequestFromCommandLine(
        static_cast<int>(request.kind), request.mode, request.flags, request.args);
    if (!job) {
        logRaw("@@@ Unable to read the file list of the hash-sum job");
        status_ = kHashRunFailed;
        closeWindow();
        return;
    }
    dialog_ = new HashSumDialog(state.heap, state.settings, &window);
    if (state.settings.GetInt("NoUIQuit") != 0) {
        QObject::connect(dialog_, &HashSumDialog::jobEnded, dialog_, closeWindow);
    }
    // The program was started only for this job.
    QObject::connect(dialog_, &QDialog::finished, dialog_, closeWindow);
    dialog_->show();
    dialog_->Start(*job);
}

uint32_t CommandLineHashWindow::Finish() {
    if (dialog_ == nullptr) {
        return status_;
    }
    dialog_->done(QDialog::Rejected);
    const std::optional<HashStartResult> started = dialog_->startResult();
    if (!started) {
        return kHashRunUnknown;  // closed while the files were still being collected
    }
    if (*started == HashStartResult::Busy || *started == HashStartResult::Failed) {
        return kHashRunFailed;
    }
    return HashJobStatus(dialog_->job());
}

}  // namespace qvex
