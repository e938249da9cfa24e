#pragma once

#include <QPointer>

#include <cstdint>
#include <functional>

class QWidget;

namespace qvex {

class HashSumDialog;
class ProgramState;

// A command line's hash job ("-5", "-6") in a windowed run: its HashSumDialog over the main
// window. With "NoUIQuit" on, the program ends (`closeWindow`) once the job has ended and its
// results are on the screen; otherwise when the user closes the dialog.
class CommandLineHashWindow {
  public:
    CommandLineHashWindow(ProgramState& state, QWidget& window, std::function<void()> closeWindow);

    // After the window's run: stops a job still running and gives the exit status, as the
    // windowless run gives it (0, or the bits of hash_job_run.h).
    [[nodiscard]] uint32_t Finish();

  private:
    QPointer<HashSumDialog> dialog_;
    uint32_t status_ = 0;
};

}  // namespace qvex
