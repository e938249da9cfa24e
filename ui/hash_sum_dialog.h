#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "sums/hash_entries.h"
#include "sums/hash_job.h"
#include "sums/sums_file.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;

namespace qvex {

class CounterBars;
class HashSumModel;
class Settings;
class SharedHeap;

// "Qvex Hash Sum": one hash job in a modeless window. Up to four workers hash beside it, each
// with its progress bar; their results arrive as queued calls, several at a time, and the
// list (a view over the job's entries) redraws what changed. Verify jobs show the Good,
// Unknown and Bad bars and counts; compute jobs can be saved as a sums file. Closing the
// window cancels the workers. Any number of these may be open at once.
class HashSumDialog final : public QDialog {
    Q_OBJECT

  public:
    // The heap carries the workers' results; it and the settings outlive the dialog.
    HashSumDialog(SharedHeap& heap, Settings& settings, QWidget* parent = nullptr);
    ~HashSumDialog() override;

    // Collects the request's entries on a thread of its own (a big tree takes a while to
    // walk), then starts hashing ("PerCPUMD5" decides the workers); processors 0 means this
    // machine's count. The title names the job once it starts.
    void Start(const HashRequest& request, unsigned processors = 0);
    // How the start went; nullopt while the entries are collected.
    std::optional<HashStartResult> startResult() const { return started_; }

    const HashJob& job() const { return job_; }
    QTableView* table() const { return table_; }

    // "&Save to Sums file...": asks for the file, its layout (as the file type) and the
    // separator, then writes it.
    void SaveSums();
    // F3: the next selected row after the current one, wrapping around, made current and
    // scrolled into view.
    void ShowNextSelected();

    // The layouts offered for an algorithm, in the order of the save dialog's file types,
    // with their type names.
    static std::vector<std::pair<SumsLayout, QString>> LayoutsOf(HashAlgorithm algorithm);

  signals:
    // The job has ended (finished, nothing to hash, or could not start) and its results are
    // on the screen.
    void jobEnded();
    // A sums file was written.
    void sumsFileSaved(const QString& path);

  public slots:
    void done(int result) override;

  private:
    // Takes the workers' messages from their threads, and hands them to the window thread in
    // batches: one queued call stands for every message that arrived before it runs.
    class Relay final : public HashJobObserver {
      public:
        explicit Relay(HashSumDialog& dialog) : dialog_(dialog) {}
        bool PostWorkerMessage(int worker, int code) override;
        void OnProgressBar(int worker, ProgressBarState state) override;
        std::deque<std::pair<int, int>> Take();

      private:
        HashSumDialog& dialog_;
        std::mutex lock_;
        std::deque<std::pair<int, int>> messages_;
        bool scheduled_ = false;
    };

    void BuildControls();
    void StartCollected(HashMode mode, CollectedEntries collected, int workers);
    void DeliverMessages();
    // Shows the rows that changed since the last time: at most every few frames, so that
    // thousands of small files a second do not each cost a redraw.
    void RefreshRows();
    void ShowProgress(int worker, ProgressBarState state);
    void ShowCounts();
    void ShowEnd();
    // The view's selection becomes the job's (failed rows, duplicate digests).
    void SelectJobRows(size_t first, size_t last);
    // Selects the rows, given in ascending order.
    void SelectRows(const std::vector<size_t>& rows);
    void SortBy(int column);
    bool SaveAs(const QString& path, SumsLayout layout, bool slashSeparator);

    Settings& settings_;
    Relay relay_;
    HashJob job_;  // after the relay: its threads end before the relay goes
    HashSumModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    std::array<QProgressBar*, kMaxHashWorkers> bars_{};
    CounterBars* counterBars_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* counts_ = nullptr;
    QPushButton* save_ = nullptr;
    QTimer* refresh_ = nullptr;
    // Rows changed since the last refresh: their range, the last one, and the failed ones.
    size_t changedFirst_ = SIZE_MAX;
    size_t changedLast_ = 0;
    size_t lastChanged_ = 0;
    std::vector<size_t> failedRows_;
    bool ended_ = false;
    bool closed_ = false;
    std::optional<HashStartResult> started_;
    std::thread collector_;
};

// Opens a HashSumDialog for the request, deleted when closed.
HashSumDialog* OpenHashSumDialog(SharedHeap& heap, Settings& settings, const HashRequest& request,
                                 QWidget* parent);

}  // namespace qvex
