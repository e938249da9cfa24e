#include "transfer/text_conversion.h"

#include <cstring>

namespace qvex {
namespace {

// A received block is at most 16,384 bytes and at most doubles: one write per block.
constexpr size_t kChunkBytes = 32768;

// Collects converted bytes and hands them to the sink in large writes.
class ChunkWriter {
  public:
    explicit ChunkWriter(ByteSink& sink) : sink_(sink) {}

    bool Put(const char* bytes, size_t n) {
        if (n > kChunkBytes - used_) {
            if (!Flush()) {
                return false;
            }
            if (n >= kChunkBytes) {
                return sink_.Write(bytes, n);
            }
        }
        std::memcpy(buffer_ + used_, bytes, n);
        used_ += n;
        return true;
    }

    bool Flush() {
        if (used_ == 0) {
            return true;
        }
        size_t n = used_;
        used_ = 0;
        return sink_.Write(buffer_, n);
    }

  private:
    ByteSink& sink_;
    size_t used_ = 0;
    char buffer_[kChunkBytes];
};

}  // namespace

const char* effectiveTypeName(EffectiveType type) {
    switch (type) {
        case EffectiveType::LocalAscii:
            return "Local-ASCII";
        case EffectiveType::UnixAscii:
            return "*nix-ASCII";
        case EffectiveType::MacAscii:
            return "Mac-ASCII";
        case EffectiveType::Image:
            break;
    }
    return "Image";
}

EffectiveType detectTextKind(const char* bytes, size_t n) {
    bool crLfSeen = false;
    bool loneLfSeen = false;
    bool loneCrSeen = false;
    bool crPending = false;
    for (size_t i = 0; i < n; ++i) {
        auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 7 || byte > 127) {
            return EffectiveType::Image;
        }
        if (byte == '\n') {
            if (crPending) {
                crLfSeen = true;
                crPending = false;
            } else {
                loneLfSeen = true;
            }
        }
        if (crPending) {
            loneCrSeen = true;
            crPending = false;
        }
        if (byte == '\r') {
            crPending = true;
        }
    }
    // A CR still pending at the end is ignored: its LF may follow in the next block.
    int kinds =
        static_cast<int>(crLfSeen) + static_cast<int>(loneLfSeen) + static_cast<int>(loneCrSeen);
    if (kinds != 1) {
        return EffectiveType::Image;
    }
    if (crLfSeen) {
        return EffectiveType::LocalAscii;
    }
    return loneLfSeen ? EffectiveType::UnixAscii : EffectiveType::MacAscii;
}

bool writeConverted(ByteSink& file, const char* bytes, size_t n, TextConversion& conversion) {
    if (n == 0) {
        return true;
    }
    const bool fromUnix = conversion.type == EffectiveType::UnixAscii;
    if (!fromUnix && conversion.type != EffectiveType::MacAscii) {
        return file.Write(bytes, n);
    }
    static constexpr char kCrLf[] = {'\r', '\n'};
    const char lineEnd = fromUnix ? '\n' : '\r';
    ChunkWriter out(file);
    bool afterCr = conversion.afterCr;
    size_t i = 0;
    while (i < n) {
        if (!fromUnix && afterCr && bytes[i] == '\n') {
            // The CR before it has already become CR LF.
            afterCr = false;
            ++i;
            continue;
        }
        const void* found = std::memchr(bytes + i, lineEnd, n - i);
        size_t stop =
            found == nullptr ? n : static_cast<size_t>(static_cast<const char*>(found) - bytes);
        if (stop > i) {
            if (!out.Put(bytes + i, stop - i)) {
                return false;
            }
            afterCr = bytes[stop - 1] == '\r';
            i = stop;
            if (i == n) {
                break;
            }
        }
        if (fromUnix) {
            // An LF right after a CR ends a CR LF line that needs nothing more.
            if (!out.Put(afterCr ? kCrLf + 1 : kCrLf, afterCr ? 1 : 2)) {
                return false;
            }
            afterCr = false;
        } else {
            if (!out.Put(kCrLf, 2)) {
                return false;
            }
            afterCr = true;
        }
        ++i;
    }
    conversion.afterCr = afterCr;
    return out.Flush();
}

}  // namespace qvex
