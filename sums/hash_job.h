#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "state/shared_heap.h"
#include "sums/hash_algorithm.h"
#include "sums/hash_entries.h"
#include "sums/sums_file.h"
#include "util/spin_lock.h"

namespace qvex {

class Settings;

// Settings read and written here.
inline constexpr const char* kPerCpuSetting = "PerCPUMD5";
inline constexpr const char* kSlashSeparatorSetting = "MD5SlashSep";

inline constexpr int kMaxHashWorkers = 4;
// Topic digits of the process: "Hw0".."Hw7", "Hp0".."Hp7". A job takes the lowest free ones
// (fewer workers when fewer are free), so two jobs running at once never read each other's
// results.
inline constexpr int kWorkerDigitCount = 8;

// What a hashing thread posts to the job's owner after each result, and once when it ends.
inline constexpr int kWorkerSucceeded = -2;
inline constexpr int kWorkerFailed = -1;
inline constexpr int kWorkerEnded = 0;

// The one row of a job without entries, and the rows that failed to match.
inline constexpr const char* kNoHashSumsRow = ">>> NO hash sums found <<<";
inline constexpr const char* kMatchFailText = ">>> Match FAIL <<<";

// What one worker's progress bar shows.
struct ProgressBarState {
    bool marquee = false;
    int position = 0;

    bool operator==(const ProgressBarState&) const = default;
};

// The owner of a job (a window, the command line): how the job's threads reach it.
class HashJobObserver {
  public:
    virtual ~HashJobObserver() = default;
    // From a hashing thread, once its result is on the bus (kWorkerSucceeded, kWorkerFailed)
    // and when it ends (kWorkerEnded). The owner calls HashJob::OnWorkerMessage with the same
    // values on its own thread, in the order posted. Must not wait for the owner's thread;
    // false means "not taken now", and the thread tries again.
    virtual bool PostWorkerMessage(int worker, int code) = 0;
    // From a worker's progress thread, each time its bar changes.
    virtual void OnProgressBar(int worker, ProgressBarState state) {
        (void)worker;
        (void)state;
    }
};

// With "PerCPUMD5" on, the smallest of the entry count, the processor count and 4; else 1.
// None without entries.
[[nodiscard]] int HashWorkerCount(size_t entries, bool perCpu, unsigned processors);

// Widths of the Good, Unknown and Bad bars in `width` pixels: proportional to the counts, at
// least 4 pixels for a count that is not zero, the rounding excess taken from the widest.
[[nodiscard]] std::array<int, 3> CounterBarWidths(int width, uint32_t good, uint32_t unknown,
                                                  uint32_t bad);

enum class HashJobState {
    Idle,      // not started
    Empty,     // nothing to hash: one row kNoHashSumsRow, no worker
    Running,   // workers hashing
    Finished,  // every entry done, workers stopped, summary ready
    Stopped,   // closed or cancelled before the end
};

enum class HashStartResult {
    Started,
    NothingToHash,  // the empty state
    Busy,           // every worker digit of the process is taken by other jobs
    Failed,         // the bus or a thread could not be had
};

// Which rows a drain changed (in display order, the last one to be kept visible), and
// whether this drain finished the job.
struct DrainResult {
    std::vector<size_t> changedRows;
    bool finished = false;
};

// One hash-sum job: the entries, up to four hashing workers with their bus queues and
// progress threads, the results as they arrive, the summary, the sorted list and the
// saving of a sums file. Driven by one owner thread (the dialog's, or the command line's);
// the workers never touch the owner's state, they publish on the bus and post.
class HashJob {
  public:
    // The heap carries the workers' messages; both it and the observer outlive the job.
    HashJob(SharedHeap& heap, HashJobObserver& observer);
    HashJob(const HashJob&) = delete;
    HashJob& operator=(const HashJob&) = delete;
    // Closes the job.
    ~HashJob();

    // Collects the entries the request names and starts HashWorkerCount(...) workers;
    // processors 0 means this machine's count.
    [[nodiscard]] HashStartResult Start(const HashRequest& request, bool perCpu,
                                        unsigned processors = 0);
    // The same with "PerCPUMD5" from the settings.
    [[nodiscard]] HashStartResult Start(const HashRequest& request, const Settings& settings);
    // Entries collected elsewhere and an explicit worker count (at most 4).
    [[nodiscard]] HashStartResult Start(HashMode mode, CollectedEntries collected, int workerCount);

    // Owner thread, for each posted message: drains the worker's results queue into the
    // entries and counters; when the last entry is done, stops the workers and finishes.
    DrainResult OnWorkerMessage(int worker, int code);

    // Any thread: each worker abandons its file at its next report and takes no new one.
    void Cancel();
    // Owner thread (closing the dialog): Cancel, wait for the threads, close the queues.
    // Results that arrived stay.
    void Close();

    // Test seam: runs in a hashing thread at each progress report, before the stop is
    // looked at. Set it before Start.
    void SetReportHookForTesting(std::function<void(int worker, int value)> hook);

    HashMode mode() const { return mode_; }
    HashAlgorithm algorithm() const { return algorithm_; }
    const std::string& baseFolder() const { return baseFolder_; }
    HashJobState state() const { return state_; }
    int workerCount() const { return static_cast<int>(workers_.size()); }
    // The digit in the worker's topic names ("Hw" and "Hp" followed by it).
    int workerDigit(int worker) const;

    size_t entryCount() const { return entries_.size(); }
    const HashEntry& entry(size_t index) const { return entries_[index]; }
    uint32_t doneCount() const { return done_; }
    uint32_t unknownCount() const { return unknown_; }
    uint32_t badCount() const { return bad_; }
    uint32_t goodCount() const { return done_ - unknown_ - bad_; }
    uint64_t totalBytes() const { return totalBytes_; }
    uint64_t elapsedMilliseconds() const;

    // "Qvex %s Sum %s".
    std::string Title() const;
    // "%d %s sum%s (%s) %s in %s (%s)" once finished; "NO hash sums verified" (or
    // "computed") in the empty state; "" otherwise.
    std::string SummaryLine() const;
    // "%d Good  %d Unknown  %d Bad" once a verify job finished; "" otherwise.
    std::string CountsLine() const;

    // The list: one row per entry in display order (one row in the empty state).
    size_t rowCount() const;
    size_t EntryOfRow(size_t row) const { return order_[row]; }
    // kMatchFailText, "?" for no result, else the result; kNoHashSumsRow in the empty state.
    std::string DigestColumnText(size_t row) const;
    std::string FileColumnText(size_t row) const;
    bool RowSelected(size_t row) const;
    // Column 0 sorts by digest (in compute mode selecting every row whose digest equals a
    // neighbour's, so duplicate files stand out), column 1 by relative path. The entries and
    // the workers are not disturbed: only the display order changes.
    void SortByColumn(int column);
    // The first selected row after `row` (from the top when nullopt), wrapping around.
    std::optional<size_t> NextSelectedRow(std::optional<size_t> row) const;

    // The file name a save proposes; nullopt for Whirlpool.
    std::optional<std::string> ProposedSumsFileName() const;
    // Compute mode: writes one line per entry with a result, in display order, with '/' or
    // (slashSeparator false) '\' between folders. Nothing is left behind on failure, and
    // the job is not touched. False for a layout the algorithm does not have.
    [[nodiscard]] bool SaveSumsFile(const std::string& path, SumsLayout layout,
                                    bool slashSeparator) const;
    // The same, storing the check box's state as "MD5SlashSep" first.
    [[nodiscard]] bool SaveSumsFile(const std::string& path, SumsLayout layout, Settings& settings,
                                    bool slashSeparator) const;

  private:
    struct Worker;
    class WorkerProgress;

    void RunHashing(int worker);
    void RunProgress(int worker);
    void Post(int worker, int code);
    void Drain(int worker, DrainResult& changes);
    void ApplyResult(const uint8_t* payload, uint32_t length, DrainResult& changes);
    void Resolve(size_t index, DrainResult& changes);
    void FinishRun();
    void StopWorkers();

    SharedHeap& heap_;
    HashJobObserver& observer_;
    HashMode mode_ = HashMode::Compute;
    HashAlgorithm algorithm_ = HashAlgorithm::None;
    std::string baseFolder_;
    HashJobState state_ = HashJobState::Idle;

    // Fixed once the workers run; they read full paths only.
    std::vector<HashEntry> entries_;
    std::vector<uint8_t> resolved_;
    std::vector<uint8_t> selected_;
    std::vector<size_t> order_;  // row -> entry
    std::vector<size_t> rowOf_;  // entry -> row

    std::vector<std::unique_ptr<Worker>> workers_;
    SpinLock nextLock_;
    size_t nextEntry_ = 0;
    std::atomic<bool> cancel_{false};
    std::function<void(int, int)> reportHook_;

    uint32_t done_ = 0;
    uint32_t unknown_ = 0;
    uint32_t bad_ = 0;
    uint64_t totalBytes_ = 0;
    uint64_t startTick_ = 0;
    uint64_t finishTick_ = 0;
};

// Runs jobs without a window (the command line, tests, benchmarks): the workers' messages
// wait in a queue here and are handled on the thread that calls RunUntilDone.
class HashJobRunner final : public HashJobObserver {
  public:
    bool PostWorkerMessage(int worker, int code) override;
    void OnProgressBar(int worker, ProgressBarState state) override;

    // Handles messages until the job is neither idle nor running.
    void RunUntilDone(HashJob& job);
    // Handles one message, waiting at most `wait` for it; false when none came.
    bool HandleNext(HashJob& job, std::chrono::milliseconds wait);

    // Every bar change so far, in order, per worker.
    std::vector<std::vector<ProgressBarState>> progressSeen() const;
    // Every drain result so far.
    const std::vector<DrainResult>& drains() const { return drains_; }

  private:
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::pair<int, int>> messages_;
    std::vector<std::vector<ProgressBarState>> progress_;
    std::vector<DrainResult> drains_;
};

}  // namespace qvex
