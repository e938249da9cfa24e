#include "sums/hash_job.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/tick.h"
#include "state/settings.h"
#include "sums/hash_file.h"
#include "util/format.h"

namespace qvex {
namespace {

// Results a worker may have waiting on the bus before it takes its next file: a window that
// falls behind must not let tens of thousands of tiny files fill the process heap.
constexpr uint32_t kMaxPendingResults = 256;
constexpr size_t kResultHeader = 12;  // entry index (4 bytes), byte count (8 bytes)
constexpr size_t kTopicBuffer = 16;
constexpr size_t kPayloadBuffer = 512;

// The process's worker digits.
std::mutex gDigitLock;
std::array<bool, kWorkerDigitCount> gDigitTaken{};

std::vector<int> ClaimDigits(int wanted) {
    std::lock_guard guard(gDigitLock);
    std::vector<int> digits;
    for (int digit = 0; digit < kWorkerDigitCount && static_cast<int>(digits.size()) < wanted;
         ++digit) {
        if (!gDigitTaken[static_cast<size_t>(digit)]) {
            gDigitTaken[static_cast<size_t>(digit)] = true;
            digits.push_back(digit);
        }
    }
    return digits;
}

void ReleaseDigit(int digit) {
    std::lock_guard guard(gDigitLock);
    gDigitTaken[static_cast<size_t>(digit)] = false;
}

std::string TopicOf(char kind, int digit) {
    return std::string{'H', kind, static_cast<char>('0' + digit)};
}

}  // namespace

int HashWorkerCount(size_t entries, bool perCpu, unsigned processors) {
    if (entries == 0) {
        return 0;
    }
    if (!perCpu) {
        return 1;
    }
    size_t count = std::min<size_t>({entries, std::max(processors, 1u), kMaxHashWorkers});
    return static_cast<int>(count);
}

std::array<int, 3> CounterBarWidths(int width, uint32_t good, uint32_t unknown, uint32_t bad) {
    const std::array<uint32_t, 3> counts = {good, unknown, bad};
    std::array<int, 3> widths{};
    double total = static_cast<double>(good) + unknown + bad;
    if (total == 0 || width <= 0) {
        return widths;
    }
    int sum = 0;
    size_t widest = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] != 0) {
            widths[i] = std::max(4, static_cast<int>(std::lround(width * (counts[i] / total))));
        }
        sum += widths[i];
        if (widths[i] > widths[widest]) {
            widest = i;
        }
    }
    widths[widest] = std::max(0, widths[widest] - (sum - width));
    return widths;
}

struct HashJob::Worker {
    int digit = -1;
    std::string resultsTopic;
    std::string progressTopic;
    QueueId results = 0;
    QueueId progress = 0;
    std::thread hashing;
    std::thread progressThread;
    bool ended = false;  // owner thread: its kWorkerEnded arrived
};

// A worker's reports: to its progress thread over the bus; the answer is the cancel flag.
class HashJob::WorkerProgress final : public HashProgress {
  public:
    WorkerProgress(HashJob& job, int worker) : job_(job), worker_(worker) {}

    bool Report(int value) override {
        if (job_.reportHook_) {
            job_.reportHook_(worker_, value);
        }
        (void)job_.heap_.PublishInt(
            job_.workers_[static_cast<size_t>(worker_)]->progressTopic.c_str(), value);
        return StopRequested();
    }
    bool StopRequested() override { return job_.cancel_.load(std::memory_order_relaxed); }

  private:
    HashJob& job_;
    int worker_;
};

HashJob::HashJob(SharedHeap& heap, HashJobObserver& observer) : heap_(heap), observer_(observer) {}

HashJob::~HashJob() {
    Close();
}

HashStartResult HashJob::Start(const HashRequest& request, bool perCpu, unsigned processors) {
    if (processors == 0) {
        processors = std::thread::hardware_concurrency();
    }
    CollectedEntries collected = CollectEntries(request);
    int count = HashWorkerCount(collected.entries.size(), perCpu, processors);
    return Start(request.mode, std::move(collected), count);
}

HashStartResult HashJob::Start(const HashRequest& request, const Settings& settings) {
    return Start(request, settings.GetInt(kPerCpuSetting) != 0);
}

HashStartResult HashJob::Start(HashMode mode, CollectedEntries collected, int workerCount) {
    if (state_ != HashJobState::Idle) {
        return HashStartResult::Failed;
    }
    mode_ = mode;
    algorithm_ = collected.algorithm;
    baseFolder_ = std::move(collected.baseFolder);
    entries_ = std::move(collected.entries);
    if (algorithm_ == HashAlgorithm::None) {
        entries_.clear();
    }
    // The result message carries the index in 32 bits.
    if (entries_.size() > UINT32_MAX) {
        entries_.clear();
    }
    resolved_.assign(entries_.size(), 0);
    selected_.assign(entries_.size(), 0);
    order_.resize(entries_.size());
    rowOf_.resize(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
        order_[i] = i;
        rowOf_[i] = i;
    }
    startTick_ = platform::TickCount64();
    finishTick_ = startTick_;
    if (entries_.empty() || workerCount <= 0) {
        state_ = entries_.empty() ? HashJobState::Empty : HashJobState::Stopped;
        return entries_.empty() ? HashStartResult::NothingToHash : HashStartResult::Failed;
    }

    std::vector<int> digits = ClaimDigits(std::min(workerCount, kMaxHashWorkers));
    if (digits.empty()) {
        state_ = HashJobState::Stopped;
        return HashStartResult::Busy;
    }
    for (int digit : digits) {
        auto worker = std::make_unique<Worker>();
        worker->digit = digit;
        worker->resultsTopic = TopicOf('w', digit);
        worker->progressTopic = TopicOf('p', digit);
        worker->results = heap_.OpenQueue(("^" + worker->resultsTopic + "$").c_str());
        worker->progress = heap_.OpenQueue(("^" + worker->progressTopic + "$").c_str());
        workers_.push_back(std::move(worker));
    }
    bool ready = true;
    for (const auto& worker : workers_) {
        ready = ready && worker->results != 0 && worker->progress != 0;
    }
    state_ = HashJobState::Running;
    for (size_t w = 0; ready && w < workers_.size(); ++w) {
        try {
            workers_[w]->progressThread =
                std::thread(&HashJob::RunProgress, this, static_cast<int>(w));
            workers_[w]->hashing = std::thread(&HashJob::RunHashing, this, static_cast<int>(w));
        } catch (const std::system_error&) {
            ready = false;
        }
    }
    if (!ready) {
        Close();
        return HashStartResult::Failed;
    }
    return HashStartResult::Started;
}

void HashJob::RunHashing(int worker) {
    Worker& self = *workers_[static_cast<size_t>(worker)];
    WorkerProgress progress(*this, worker);
    std::vector<uint8_t> message(kResultHeader + kMaxDigestBytes);
    while (!cancel_.load(std::memory_order_relaxed)) {
        while (heap_.PendingCount(self.results) >= kMaxPendingResults &&
               !cancel_.load(std::memory_order_relaxed)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        size_t index;
        {
            std::lock_guard guard(nextLock_);
            if (nextEntry_ >= entries_.size()) {
                break;
            }
            index = nextEntry_++;
        }
        HashFileResult result = HashFile(entries_[index].fullPath, algorithm_, progress);
        auto index32 = static_cast<uint32_t>(index);
        std::memcpy(message.data(), &index32, 4);
        uint32_t length = 4;
        if (result.ok) {
            std::memcpy(message.data() + 4, &result.bytes, 8);
            std::memcpy(message.data() + kResultHeader, result.digest.data(), result.digestSize);
            length = static_cast<uint32_t>(kResultHeader + result.digestSize);
        }
        (void)heap_.Publish(self.resultsTopic.c_str(), message.data(), length);
        Post(worker, result.ok ? kWorkerSucceeded : kWorkerFailed);
    }
    Post(worker, kWorkerEnded);
}

void HashJob::Post(int worker, int code) {
    while (!observer_.PostWorkerMessage(worker, code)) {
        // A job being closed does not wait for an owner that no longer listens.
        if (cancel_.load(std::memory_order_relaxed)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void HashJob::RunProgress(int worker) {
    Worker& self = *workers_[static_cast<size_t>(worker)];
    ProgressBarState bar;
    char topic[kTopicBuffer];
    char payload[kPayloadBuffer];
    for (;;) {
        uint32_t topicLength = sizeof topic;
        uint32_t payloadLength = sizeof payload;
        if (heap_.Receive(self.progress, topic, &topicLength, payload, &payloadLength, kWantBoth) !=
            kWantBoth) {
            break;
        }
        if (payloadLength != 4) {
            continue;
        }
        int32_t value;
        std::memcpy(&value, payload, 4);
        if (value == kProgressBusy) {
            if (!bar.marquee) {
                bar.marquee = true;
                observer_.OnProgressBar(worker, bar);
            }
        } else if (value == kProgressPercent) {
            if (bar.marquee) {
                bar.marquee = false;
                observer_.OnProgressBar(worker, bar);
            }
        } else if (!bar.marquee && value != bar.position &&
                   heap_.PendingCount(self.progress) == 0) {
            // A newer value already waiting makes this one stale.
            bar.position = value;
            observer_.OnProgressBar(worker, bar);
        }
    }
}

DrainResult HashJob::OnWorkerMessage(int worker, int code) {
    DrainResult changes;
    if (state_ != HashJobState::Running || worker < 0 || worker >= workerCount()) {
        return changes;
    }
    Drain(worker, changes);
    if (code == kWorkerEnded) {
        workers_[static_cast<size_t>(worker)]->ended = true;
    }
    if (done_ == entries_.size()) {
        FinishRun();
        changes.finished = true;
        return changes;
    }
    bool allEnded =
        std::all_of(workers_.begin(), workers_.end(), [](const auto& each) { return each->ended; });
    if (!allEnded) {
        return changes;
    }
    if (cancel_.load()) {
        StopWorkers();
        state_ = HashJobState::Stopped;
        return changes;
    }
    // Every worker ended, yet entries are open: their results were lost on the bus (a full
    // heap). They count as unknown rather than leaving the job waiting for ever.
    for (int w = 0; w < workerCount(); ++w) {
        Drain(w, changes);
    }
    for (size_t index = 0; index < entries_.size(); ++index) {
        if (resolved_[index] == 0) {
            entries_[index].result.clear();
            ++unknown_;
            Resolve(index, changes);
        }
    }
    FinishRun();
    changes.finished = true;
    return changes;
}

void HashJob::Drain(int worker, DrainResult& changes) {
    QueueId queue = workers_[static_cast<size_t>(worker)]->results;
    char topic[kTopicBuffer];
    uint8_t payload[kPayloadBuffer];
    while (heap_.PendingCount(queue) > 0) {
        uint32_t topicLength = sizeof topic;
        uint32_t payloadLength = sizeof payload;
        if (heap_.Receive(queue, topic, &topicLength, payload, &payloadLength, kWantBoth) !=
            kWantBoth) {
            break;
        }
        ApplyResult(payload, payloadLength, changes);
    }
}

void HashJob::ApplyResult(const uint8_t* payload, uint32_t length, DrainResult& changes) {
    size_t digestBytes = InfoOf(algorithm_).digestBytes;
    if (length != 4 && length != kResultHeader + digestBytes) {
        return;
    }
    uint32_t index;
    std::memcpy(&index, payload, 4);
    if (index >= entries_.size() || resolved_[index] != 0) {
        return;
    }
    HashEntry& entry = entries_[index];
    if (length == 4) {
        entry.result.clear();
        ++unknown_;
    } else {
        uint64_t bytes;
        std::memcpy(&bytes, payload + 4, 8);
        totalBytes_ += bytes;
        std::string digest = DigestToHex(payload + kResultHeader, digestBytes);
        if (mode_ == HashMode::Compute) {
            entry.result = std::move(digest);
        } else if (!SameDigestText(digest, entry.result)) {
            entry.result.assign(1, '>');
            selected_[index] = 1;
            ++bad_;
        }
    }
    Resolve(index, changes);
}

void HashJob::Resolve(size_t index, DrainResult& changes) {
    resolved_[index] = 1;
    ++done_;
    changes.changedRows.push_back(rowOf_[index]);
}

void HashJob::FinishRun() {
    finishTick_ = platform::TickCount64();
    StopWorkers();
    state_ = HashJobState::Finished;
}

void HashJob::StopWorkers() {
    // Every entry is taken or the job is closing: a worker still trying to post gives up.
    cancel_.store(true);
    for (auto& worker : workers_) {
        if (worker->hashing.joinable()) {
            worker->hashing.join();
        }
    }
    for (auto& worker : workers_) {
        if (worker->progressThread.joinable()) {
            (void)heap_.SignalQueue(worker->progress, 1);
            worker->progressThread.join();
        }
        if (worker->progress != 0) {
            (void)heap_.CloseQueue(worker->progress);
            worker->progress = 0;
        }
        if (worker->results != 0) {
            (void)heap_.CloseQueue(worker->results);
            worker->results = 0;
        }
        if (worker->digit >= 0) {
            ReleaseDigit(worker->digit);
            worker->digit = -1;
        }
    }
}

void HashJob::Cancel() {
    cancel_.store(true);
}

void HashJob::Close() {
    cancel_.store(true);
    StopWorkers();
    if (state_ == HashJobState::Running || state_ == HashJobState::Idle) {
        state_ = HashJobState::Stopped;
    }
}

void HashJob::SetReportHookForTesting(std::function<void(int worker, int value)> hook) {
    reportHook_ = std::move(hook);
}

int HashJob::workerDigit(int worker) const {
    if (worker < 0 || worker >= workerCount()) {
        return -1;
    }
    return workers_[static_cast<size_t>(worker)]->digit;
}

uint64_t HashJob::elapsedMilliseconds() const {
    uint64_t end = state_ == HashJobState::Running ? platform::TickCount64() : finishTick_;
    return end - startTick_;
}

std::string HashJob::Title() const {
    std::string title = "Qvex ";
    title += InfoOf(algorithm_).name;
    title += " Sum ";
    title += mode_ == HashMode::Verify ? "Verify" : "Compute";
    return title;
}

std::string HashJob::SummaryLine() const {
    const char* what = mode_ == HashMode::Verify ? "verified" : "computed";
    if (state_ == HashJobState::Empty) {
        return std::string("NO hash sums ") + what;
    }
    if (state_ != HashJobState::Finished) {
        return std::string();
    }
    int sums = static_cast<int>(done_ - unknown_);
    uint64_t elapsed = elapsedMilliseconds();
    std::string rate =
        elapsed == 0 ? std::string("*/s")
                     : FormatRate(static_cast<double>(totalBytes_) / static_cast<double>(elapsed),
                                  kSizeWithUnit);
    std::string size = FormatSize(static_cast<int64_t>(totalBytes_), kSizeWithUnit);
    std::string duration = FormatDuration(static_cast<int64_t>(elapsed), kDurationHundredths);
    int length =
        std::snprintf(nullptr, 0, "%d %s sum%s (%s) %s in %s (%s)", sums, InfoOf(algorithm_).name,
                      sums < 2 ? "" : "s", size.c_str(), what, duration.c_str(), rate.c_str());
    std::string line(static_cast<size_t>(length), '\0');
    std::snprintf(line.data(), line.size() + 1, "%d %s sum%s (%s) %s in %s (%s)", sums,
                  InfoOf(algorithm_).name, sums < 2 ? "" : "s", size.c_str(), what,
                  duration.c_str(), rate.c_str());
    return line;
}

std::string HashJob::CountsLine() const {
    if (mode_ != HashMode::Verify || state_ != HashJobState::Finished) {
        return std::string();
    }
    auto good = static_cast<unsigned>(entries_.size() - unknown_ - bad_);
    char line[96];
    std::snprintf(line, sizeof line, "%u Good  %u Unknown  %u Bad", good, unknown_, bad_);
    return line;
}

size_t HashJob::rowCount() const {
    return state_ == HashJobState::Empty ? 1 : order_.size();
}

std::string HashJob::DigestColumnText(size_t row) const {
    if (state_ == HashJobState::Empty) {
        return row == 0 ? kNoHashSumsRow : "";
    }
    if (row >= order_.size()) {
        return std::string();
    }
    const std::string& result = entries_[order_[row]].result;
    if (result.empty()) {
        return "?";
    }
    return result.front() == '>' ? kMatchFailText : result;
}

std::string HashJob::FileColumnText(size_t row) const {
    if (state_ == HashJobState::Empty || row >= order_.size()) {
        return std::string();
    }
    return std::string(entries_[order_[row]].relativePath());
}

bool HashJob::RowSelected(size_t row) const {
    return row < order_.size() && state_ != HashJobState::Empty && selected_[order_[row]] != 0;
}

void HashJob::SortByColumn(int column) {
    if (column == 0) {
        std::stable_sort(order_.begin(), order_.end(), [this](size_t a, size_t b) {
            return entries_[a].result < entries_[b].result;
        });
    } else if (column == 1) {
        std::stable_sort(order_.begin(), order_.end(), [this](size_t a, size_t b) {
            return entries_[a].relativePath() < entries_[b].relativePath();
        });
    } else {
        return;
    }
    for (size_t row = 0; row < order_.size(); ++row) {
        rowOf_[order_[row]] = row;
    }
    if (column != 0 || mode_ != HashMode::Compute) {
        return;
    }
    // Files without a digest have nothing in common: only equal digests mark duplicates.
    std::fill(selected_.begin(), selected_.end(), 0);
    for (size_t row = 1; row < order_.size(); ++row) {
        const std::string& above = entries_[order_[row - 1]].result;
        const std::string& here = entries_[order_[row]].result;
        if (!here.empty() && here == above) {
            selected_[order_[row - 1]] = 1;
            selected_[order_[row]] = 1;
        }
    }
}

std::optional<size_t> HashJob::NextSelectedRow(std::optional<size_t> row) const {
    size_t rows = order_.size();
    if (state_ == HashJobState::Empty || rows == 0) {
        return std::nullopt;
    }
    size_t start = row && *row < rows ? *row + 1 : 0;
    for (size_t step = 0; step < rows; ++step) {
        size_t candidate = (start + step) % rows;
        if (selected_[order_[candidate]] != 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> HashJob::ProposedSumsFileName() const {
    const char* name = InfoOf(algorithm_).defaultFileName;
    return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
}

bool HashJob::SaveSumsFile(const std::string& path, SumsLayout layout, bool slashSeparator) const {
    if (mode_ != HashMode::Compute || !LayoutAllowed(algorithm_, layout)) {
        return false;
    }
    std::string text;
    for (size_t index : order_) {
        const HashEntry& entry = entries_[index];
        if (entry.result.empty()) {
            continue;
        }
        std::string folder = entry.fullPath.substr(0, entry.relativeOffset);
        std::string relative(entry.relativePath());
        if (!slashSeparator) {
            std::replace(folder.begin(), folder.end(), '/', '\\');
            std::replace(relative.begin(), relative.end(), '/', '\\');
        }
        text += FormatSumsLine(layout, algorithm_, entry.result, folder, relative);
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = std::fflush(file) == 0 && written;
    written = std::fclose(file) == 0 && written;
    if (!written) {
        std::remove(path.c_str());
    }
    return written;
}

bool HashJob::SaveSumsFile(const std::string& path, SumsLayout layout, Settings& settings,
                           bool slashSeparator) const {
    settings.SetInt(kSlashSeparatorSetting, slashSeparator ? 1 : 0);
    return SaveSumsFile(path, layout, slashSeparator);
}

void HashJobRunner::OnProgressBar(int worker, ProgressBarState state) {
    std::lock_guard guard(lock_);
    if (progress_.size() <= static_cast<size_t>(worker)) {
        progress_.resize(static_cast<size_t>(worker) + 1);
    }
    progress_[static_cast<size_t>(worker)].push_back(state);
}

bool HashJobRunner::PostWorkerMessage(int worker, int code) {
    {
        std::lock_guard guard(lock_);
        messages_.emplace_back(worker, code);
    }
    wake_.notify_one();
    return true;
}

bool HashJobRunner::HandleNext(HashJob& job, std::chrono::milliseconds wait) {
    std::pair<int, int> message;
    {
        std::unique_lock guard(lock_);
        if (!wake_.wait_for(guard, wait, [this] { return !messages_.empty(); })) {
            return false;
        }
        message = messages_.front();
        messages_.pop_front();
    }
    drains_.push_back(job.OnWorkerMessage(message.first, message.second));
    return true;
}

void HashJobRunner::RunUntilDone(HashJob& job) {
    while (job.state() == HashJobState::Running) {
        (void)HandleNext(job, std::chrono::milliseconds(100));
    }
    // The threads have been joined: what they posted last belongs to this job alone.
    std::lock_guard guard(lock_);
    messages_.clear();
}

std::vector<std::vector<ProgressBarState>> HashJobRunner::progressSeen() const {
    std::lock_guard guard(lock_);
    return progress_;
}

}  // namespace qvex
