#include "sums/hash_file.h"

#include <crypto++/cryptlib.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/local_file.h"

namespace qvex {
namespace {

constexpr std::align_val_t kPageAlignment{4096};
// The read-ahead ring: 64 blocks (1 MiB) per worker, whatever the file's size. Once full,
// the reader waits until half of it is free again, so it is woken once per 32 blocks rather
// than once per block.
constexpr size_t kRingBlocks = 64;
constexpr size_t kRingRefill = kRingBlocks / 2;

struct AlignedFree {
    void operator()(uint8_t* buffer) const { ::operator delete[](buffer, kPageAlignment); }
};
using AlignedBuffer = std::unique_ptr<uint8_t[], AlignedFree>;

AlignedBuffer NewAlignedBuffer(size_t bytes) {
    return AlignedBuffer(new (kPageAlignment) uint8_t[bytes]);
}

int Percentage(uint64_t bytes, uint64_t size) {
    if (size == 0) {
        return 100;
    }
    double percent =
        std::floor(static_cast<double>(bytes) * 100.0 / static_cast<double>(size) + 0.5);
    // A file that grew while it was read stays at a full bar.
    return percent > 100.0 ? 100 : static_cast<int>(percent);
}

// Files being hashed in this process right now, to tell whether a processor is left over
// for a reader thread.
std::atomic<unsigned> filesBeingHashed{0};

class HashingNow {
  public:
    HashingNow() { filesBeingHashed.fetch_add(1); }
    ~HashingNow() { filesBeingHashed.fetch_sub(1); }
    HashingNow(const HashingNow&) = delete;
    HashingNow& operator=(const HashingNow&) = delete;
};

// Where the hashing loop takes its blocks from.
class BlockSource {
  public:
    struct Block {
        const uint8_t* bytes = nullptr;
        long size = 0;  // 0 at the end of the file, -1 after a read error
    };
    virtual ~BlockSource() = default;
    // The next block; its bytes stay valid until the next call.
    virtual Block Next() = 0;
    // The loop made a progress check after the last block and goes on.
    virtual void CheckPassed() {}
    virtual bool ReadsAhead() const = 0;
};

// Reads each block on the hashing thread, just before it is hashed.
class InLineSource final : public BlockSource {
  public:
    explicit InLineSource(platform::LocalFile& file)
        : file_(file), buffer_(NewAlignedBuffer(kHashReadSize)) {}

    Block Next() override { return {buffer_.get(), file_.Read(buffer_.get(), kHashReadSize)}; }
    bool ReadsAhead() const override { return false; }

  private:
    platform::LocalFile& file_;
    AlignedBuffer buffer_;
};

// A second thread reads the blocks into a ring while the hashing thread hashes the ones
// before. It stops after the block that leads to a progress check and goes on only once
// the check is made, so nothing beyond a check is read before it: a file changed while a
// percentage is shown is read as it is afterwards, and a stop reads no further.
class ReadAheadSource final : public BlockSource {
  public:
    explicit ReadAheadSource(platform::LocalFile& file)
        : file_(file), ring_(NewAlignedBuffer(kRingBlocks * kHashReadSize)) {
        reader_ = std::thread(&ReadAheadSource::Read, this);
    }

    ~ReadAheadSource() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        space_.notify_one();
        reader_.join();
    }

    ReadAheadSource(const ReadAheadSource&) = delete;
    ReadAheadSource& operator=(const ReadAheadSource&) = delete;

    Block Next() override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (holding_) {
            // The block handed out last time is hashed: its slot is free.
            holding_ = false;
            ++taken_;
            if (readerWaiting_ && filled_ - taken_ <= kRingRefill) {
                space_.notify_one();
            }
        }
        while (filled_ == taken_ && !ended_) {
            hasherWaiting_ = true;
            data_.wait(lock);
            hasherWaiting_ = false;
        }
        if (filled_ == taken_) {
            return {nullptr, failed_ ? -1 : 0};
        }
        holding_ = true;
        size_t slot = static_cast<size_t>(taken_ % kRingBlocks);
        return {ring_.get() + slot * kHashReadSize, sizes_[slot]};
    }

    bool ReadsAhead() const override { return true; }

    void CheckPassed() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++checksPassed_;
        if (readerWaiting_) {
            space_.notify_one();
        }
    }

  private:
    void Read() {
        uint64_t next = 0;
        uint64_t sinceCheck = 0;
        uint64_t checksReached = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                readerWaiting_ = true;
                if (next - taken_ >= kRingBlocks) {
                    space_.wait(lock, [&] { return stop_ || next - taken_ <= kRingRefill; });
                }
                space_.wait(lock, [&] { return stop_ || checksPassed_ >= checksReached; });
                readerWaiting_ = false;
                if (stop_) {
                    return;
                }
            }
            size_t slot = static_cast<size_t>(next % kRingBlocks);
            long got = file_.Read(ring_.get() + slot * kHashReadSize, kHashReadSize);
            std::lock_guard<std::mutex> lock(mutex_);
            if (got <= 0) {
                ended_ = true;
                failed_ = got < 0;
            } else {
                sizes_[slot] = got;
                filled_ = ++next;
                // The same rule the hashing loop checks by, on the same blocks.
                sinceCheck += static_cast<uint64_t>(got);
                if (sinceCheck >= kProgressCheckBytes) {
                    sinceCheck = 0;
                    ++checksReached;
                }
            }
            if (hasherWaiting_) {
                data_.notify_one();
            }
            if (ended_) {
                return;
            }
        }
    }

    platform::LocalFile& file_;
    AlignedBuffer ring_;
    std::thread reader_;

    std::mutex mutex_;
    std::condition_variable data_;   // the hashing thread waits here for a block
    std::condition_variable space_;  // the reader waits here for room or for a check
    uint64_t filled_ = 0;            // blocks read so far
    uint64_t taken_ = 0;             // blocks hashed and given back
    uint64_t checksPassed_ = 0;      // progress checks the hashing loop went past
    long sizes_[kRingBlocks] = {};
    bool holding_ = false;  // the hashing thread has block `taken_` in hand
    bool ended_ = false;
    bool failed_ = false;
    bool stop_ = false;
    bool readerWaiting_ = false;
    bool hasherWaiting_ = false;
};

// Digests on the processor's SHA instructions (Crypto++ names them "SHANI" on x86 and
// "ARMv8" on ARM) hash faster from the hashing thread's own cache than from blocks another
// processor has just read: for them the read-ahead loses more than it saves.
bool RunsOnShaInstructions(const CryptoPP::HashTransformation& digest) {
    std::string provider = digest.AlgorithmProvider();
    return provider == "SHANI" || provider == "ARMv8";
}

// Which way a file is read: decided at its start and, when automatic, again at each progress
// check, as other files start or finish being hashed meanwhile. At a check the reader has
// read nothing past the block the check follows, so the file can change hands there.
class ReadingChoice {
  public:
    ReadingChoice(HashReading reading, const CryptoPP::HashTransformation& digest, uint64_t size)
        : reading_(reading),
          worthIt_(size >= kReadAheadFromSize && !RunsOnShaInstructions(digest)),
          processors_(std::thread::hardware_concurrency()) {}

    bool ReadAhead() const {
        switch (reading_) {
            case HashReading::InLine:
                return false;
            case HashReading::ReadAhead:
                return true;
            case HashReading::Automatic:
                break;
        }
        // A reader only pays when it gets a processor of its own: with every processor
        // hashing (several workers), it would only take turns with them.
        return worthIt_ && 2 * filesBeingHashed.load() <= processors_;
    }

    // A source reading the way chosen now.
    std::unique_ptr<BlockSource> NewSource(platform::LocalFile& file) const {
        if (ReadAhead()) {
            try {
                return std::make_unique<ReadAheadSource>(file);
            } catch (const std::system_error&) {
                // No thread to be had: read in line.
            }
        }
        return std::make_unique<InLineSource>(file);
    }

  private:
    HashReading reading_;
    bool worthIt_;
    unsigned processors_;
};

// The hashing loop proper: blocks into the digest, progress reported as the header says.
bool HashBlocks(platform::LocalFile& file, const ReadingChoice& choice,
                CryptoPP::HashTransformation& digest, uint64_t size, HashProgress& progress,
                uint64_t& total) {
    std::unique_ptr<BlockSource> source = choice.NewSource(file);
    uint64_t sinceCheck = 0;
    int lastReported = 0;
    for (;;) {
        BlockSource::Block block = source->Next();
        if (block.size < 0) {
            return false;
        }
        if (block.size == 0) {
            break;
        }
        digest.Update(block.bytes, static_cast<size_t>(block.size));
        total += static_cast<uint64_t>(block.size);
        sinceCheck += static_cast<uint64_t>(block.size);
        if (sinceCheck >= kProgressCheckBytes) {
            sinceCheck = 0;
            int percent = Percentage(total, size);
            if (percent >= lastReported + kProgressStep) {
                lastReported = percent;
                if (progress.Report(percent)) {
                    return false;
                }
            } else if (progress.StopRequested()) {
                return false;
            }
            if (choice.ReadAhead() != source->ReadsAhead()) {
                source.reset();  // a reader waits at this check and ends here
                source = choice.NewSource(file);
            } else {
                source->CheckPassed();
            }
        }
    }
    source.reset();
    return lastReported >= 100 || !progress.Report(100);
}

}  // namespace

HashFileResult HashFile(const std::string& path, HashAlgorithm algorithm, HashProgress& progress,
                        HashReading reading) {
    HashFileResult result;
    std::unique_ptr<CryptoPP::HashTransformation> digest = CreateDigest(algorithm);
    if (!digest) {
        return result;
    }
    // Looked at by name first, so a FIFO or a device is never opened at all; the open
    // checks the type again on what it really opened.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return result;
    }
    // Read-only with the system told the reads are sequential, and no library buffer: each
    // read goes straight from the system into an aligned buffer.
    platform::LocalFile file;
    if (!file.OpenForReading(path)) {
        return result;
    }
    HashingNow hashingNow;  // counted from here, so the choice below sees this file too
    uint64_t size = file.Size().value_or(0);

    if (progress.Report(size < kPercentModeSize ? kProgressBusy : kProgressPercent)) {
        return result;
    }
    uint64_t total = 0;
    bool finished =
        HashBlocks(file, ReadingChoice(reading, *digest, size), *digest, size, progress, total);
    if (!finished) {
        return result;
    }
    result.digestSize = digest->DigestSize();
    digest->Final(result.digest.data());
    result.bytes = total;
    result.ok = true;
    return result;
}

}  // namespace qvex
