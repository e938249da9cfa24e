#include "state/startup/hash_job_run.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "log/log_sink.h"
#include "state/settings.h"
#include "sums/hash_job.h"

namespace qvex {
namespace {

// The workers' messages, handed to the thread that drives the job.
class MessageQueue final : public HashJobObserver {
  public:
    bool PostWorkerMessage(int worker, int code) override {
        {
            std::lock_guard guard(lock_);
            messages_.emplace_back(worker, code);
        }
        ready_.notify_one();
        return true;
    }

    std::pair<int, int> Next() {
        std::unique_lock guard(lock_);
        ready_.wait(guard, [this] { return !messages_.empty(); });
        std::pair<int, int> message = messages_.front();
        messages_.pop_front();
        return message;
    }

  private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::pair<int, int>> messages_;
};

void PrintLine(std::FILE* out, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
}

void Report(const HashJob& job, std::FILE* out) {
    const bool verify = job.mode() == HashMode::Verify;
    for (size_t row = 0; row < job.rowCount(); ++row) {
        std::string digest = job.DigestColumnText(row);
        std::string file = job.FileColumnText(row);
        if (digest == kMatchFailText) {
            PrintLine(out, file + ": Bad");
        } else if (digest == "?" || digest.empty()) {
            PrintLine(out, file + (verify ? ": Unknown" : ": unreadable"));
        } else {
            PrintLine(out, verify ? file + ": Good" : digest + "  " + file);
        }
    }
    if (verify) {
        PrintLine(out, job.SummaryLine());
        PrintLine(out, job.CountsLine());
    }
    std::fflush(out);
}

}  // namespace

uint32_t HashJobStatus(const HashJob& job) {
    if (job.state() == HashJobState::Empty) {
        return kHashRunEmpty;
    }
    uint32_t status = 0;
    if (job.unknownCount() != 0 || job.doneCount() < job.entryCount()) {
        status |= kHashRunUnknown;
    }
    if (job.badCount() != 0) {
        status |= kHashRunBad;
    }
    return status;
}

uint32_t RunHashJob(SharedHeap& heap, const HashRequest& request, const Settings& settings,
                    std::FILE* out) {
    MessageQueue messages;
    HashJob job(heap, messages);
    switch (job.Start(request, settings)) {
        case HashStartResult::Started:
            break;
        case HashStartResult::NothingToHash:
            logExt(job.DigestColumnText(0).c_str());
            PrintLine(out, job.DigestColumnText(0));
            std::fflush(out);
            return kHashRunEmpty;
        case HashStartResult::Busy:
        case HashStartResult::Failed:
            logRaw("@@@ The hash-sum job could not start");
            return kHashRunFailed;
    }
    while (job.state() == HashJobState::Running) {
        auto [worker, code] = messages.Next();
        (void)job.OnWorkerMessage(worker, code);
    }
    logExt(job.SummaryLine().c_str());
    if (job.mode() == HashMode::Verify) {
        logExt(job.CountsLine().c_str());
    }
    Report(job, out);
    job.Close();
    return HashJobStatus(job);
}

}  // namespace qvex
