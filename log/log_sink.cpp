#include "log/log_sink.h"

#include <cstring>

#include "log/log_kind.h"
#include "state/shared_heap.h"

namespace qvex {
namespace {

// Appends up to `room` bytes of `text` at `out`; returns how many were taken. A cut never
// splits a UTF-8 sequence, so a shortened line stays readable text.
size_t AppendCut(char* out, size_t room, const char* text) {
    size_t length = std::strlen(text);
    if (length > room) {
        length = room;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(out, text, length);
    return length;
}

}  // namespace

void postLogLine(SharedHeap& heap, const char* kind, const char* text, const char* suffix) {
    if (kind == nullptr || text == nullptr) {
        return;
    }
    char line[kMaxLogLine + 1];
    size_t used = AppendCut(line, kMaxLogLine, text);
    if (suffix != nullptr && used < kMaxLogLine) {
        used += AppendCut(line + used, kMaxLogLine - used, suffix);
    }
    line[used] = '\0';
    (void)heap.PublishString(kind, line);
}

void postLogLine(const char* kind, const char* text, const char* suffix) {
    if (SharedHeap* heap = ProcessHeap()) {
        postLogLine(*heap, kind, text, suffix);
    }
}

void logCmd(const char* text, const char* suffix) {
    postLogLine(kLogCmd, text, suffix);
}
void logExt(const char* text, const char* suffix) {
    postLogLine(kLogExt, text, suffix);
}
void logRaw(const char* text, const char* suffix) {
    postLogLine(kLogRaw, text, suffix);
}

}  // namespace qvex
