#include "sums/hash_file.h"

#include <crypto++/cryptlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

namespace qvex {
namespace {

constexpr std::align_val_t kPageAlignment{4096};

struct AlignedFree {
    void operator()(uint8_t* buffer) const { ::operator delete[](buffer, kPageAlignment); }
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

int Percentage(uint64_t bytes, uint64_t size) {
    if (size == 0) {
        return 100;
    }
    double percent =
        std::floor(static_cast<double>(bytes) * 100.0 / static_cast<double>(size) + 0.5);
    // A file that grew while it was read stays at a full bar.
    return percent > 100.0 ? 100 : static_cast<int>(percent);
}

}  // namespace

HashFileResult HashFile(const std::string& path, HashAlgorithm algorithm, HashProgress& progress) {
    HashFileResult result;
    std::unique_ptr<CryptoPP::HashTransformation> digest = CreateDigest(algorithm);
    if (!digest) {
        return result;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return result;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return result;
    }
    // Unbuffered: each read goes straight from the system into the aligned buffer.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    uint64_t size = std::filesystem::file_size(path, error);
    if (error) {
        size = 0;
    }

    if (progress.Report(size < kPercentModeSize ? kProgressBusy : kProgressPercent)) {
        return result;
    }
    std::unique_ptr<uint8_t[], AlignedFree> buffer(new (kPageAlignment) uint8_t[kHashReadSize]);
    uint64_t total = 0;
    uint64_t sinceCheck = 0;
    int lastReported = 0;
    for (;;) {
        size_t got = std::fread(buffer.get(), 1, kHashReadSize, file.get());
        if (got == 0) {
            break;
        }
        digest->Update(buffer.get(), got);
        total += got;
        sinceCheck += got;
        if (sinceCheck >= kProgressCheckBytes) {
            sinceCheck = 0;
            int percent = Percentage(total, size);
            if (percent >= lastReported + kProgressStep) {
                lastReported = percent;
                if (progress.Report(percent)) {
                    return result;
                }
            } else if (progress.StopRequested()) {
                return result;
            }
        }
    }
    if (std::ferror(file.get())) {
        return result;
    }
    result.digestSize = digest->DigestSize();
    digest->Final(result.digest.data());
    if (lastReported < 100 && progress.Report(100)) {
        return result;
    }
    result.bytes = total;
    result.ok = true;
    return result;
}

}  // namespace qvex
