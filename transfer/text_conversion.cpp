#include "transfer/text_conversion.h"

#include <cstring>

namespace qvex {
namespace {

// Received text only shrinks or keeps its size; an upload block of 8,192 bytes at most
// doubles on its way to the wire: one write per block either way.
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

// The position of the first `byte` in bytes[from, n), or n.
size_t findByte(const char* bytes, size_t from, size_t n, char byte) {
    const void* found = std::memchr(bytes + from, byte, n - from);
    return found == nullptr ? n : static_cast<size_t>(static_cast<const char*>(found) - bytes);
}

// "DOS-ASCII": each CR LF becomes LF. A CR that ends the block is held until the next byte
// shows whether it starts a CR LF.
bool writeFromCrLf(ByteSink& file, const char* bytes, size_t n, TextConversion& conversion) {
    ChunkWriter out(file);
    size_t i = 0;
    if (conversion.crHeld) {
        conversion.crHeld = false;
        const bool pair = bytes[0] == '\n';
        if (!out.Put(pair ? "\n" : "\r", 1)) {
            return false;
        }
        i = pair ? 1 : 0;
    }
    while (i < n) {
        size_t stop = findByte(bytes, i, n, '\r');
        if (stop > i && !out.Put(bytes + i, stop - i)) {
            return false;
        }
        if (stop + 1 >= n) {
            conversion.crHeld = stop + 1 == n;
            break;
        }
        const bool pair = bytes[stop + 1] == '\n';
        if (!out.Put(pair ? "\n" : "\r", 1)) {
            return false;
        }
        i = stop + (pair ? 2 : 1);
    }
    return out.Flush();
}

}  // namespace

const char* effectiveTypeName(EffectiveType type) {
    switch (type) {
        case EffectiveType::LocalAscii:
            return "Local-ASCII";
        case EffectiveType::DosAscii:
            return "DOS-ASCII";
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
        return EffectiveType::DosAscii;
    }
    return loneLfSeen ? EffectiveType::LocalAscii : EffectiveType::MacAscii;
}

bool writeConverted(ByteSink& file, const char* bytes, size_t n, TextConversion& conversion) {
    if (n == 0) {
        return true;
    }
    if (conversion.type == EffectiveType::DosAscii) {
        return writeFromCrLf(file, bytes, n, conversion);
    }
    if (conversion.type != EffectiveType::MacAscii) {
        return file.Write(bytes, n);
    }
    ChunkWriter out(file);
    bool afterCr = conversion.afterCr;
    size_t i = 0;
    while (i < n) {
        if (afterCr && bytes[i] == '\n') {
            // The CR before it has already become LF.
            afterCr = false;
            ++i;
            continue;
        }
        size_t stop = findByte(bytes, i, n, '\r');
        if (stop > i) {
            if (!out.Put(bytes + i, stop - i)) {
                return false;
            }
            afterCr = false;
            i = stop;
            if (i == n) {
                break;
            }
        }
        if (!out.Put("\n", 1)) {
            return false;
        }
        afterCr = true;
        ++i;
    }
    conversion.afterCr = afterCr;
    return out.Flush();
}

bool finishConverted(ByteSink& file, TextConversion& conversion) {
    if (!conversion.crHeld) {
        return true;
    }
    conversion.crHeld = false;
    return file.Write("\r", 1);
}

bool writeNetworkText(ByteSink& out, const char* bytes, size_t n, bool& afterCr) {
    static constexpr char kCrLf[] = {'\r', '\n'};
    ChunkWriter chunks(out);
    size_t i = 0;
    while (i < n) {
        size_t stop = findByte(bytes, i, n, '\n');
        if (stop > i) {
            if (!chunks.Put(bytes + i, stop - i)) {
                return false;
            }
            afterCr = bytes[stop - 1] == '\r';
            i = stop;
            if (i == n) {
                break;
            }
        }
        // An LF right after a CR ends a CR LF line that needs nothing more.
        if (!chunks.Put(afterCr ? kCrLf + 1 : kCrLf, afterCr ? 1 : 2)) {
            return false;
        }
        afterCr = false;
        ++i;
    }
    return chunks.Flush();
}

}  // namespace qvex
