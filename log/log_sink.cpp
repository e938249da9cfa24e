#include "log/log_sink.h"

#include <cstring>
#include <string_view>

#include "log/log_kind.h"
#include "state/shared_heap.h"

namespace qvex {
namespace {

// The visible form of a control character, written at `out` (room for 4 bytes); returns its
// length. A CR or LF taken from a name or a reply would otherwise start a new line in the
// log file, one that could pose as a command or a reply once the view is rebuilt, and an
// escape sequence would reach the terminal through the error-stream echo.
size_t EscapeControl(unsigned char byte, char* out) {
    const char* named = byte == '\r'   ? "\\r"
                        : byte == '\n' ? "\\n"
                        : byte == '\t' ? "\\t"
                                       : nullptr;
    if (named != nullptr) {
        std::memcpy(out, named, 2);
        return 2;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[byte >> 4];
    out[3] = kHex[byte & 0xF];
    return 4;
}

bool IsC1Control(std::string_view text, size_t at) {
    return at + 1 < text.size() && static_cast<unsigned char>(text[at]) == 0xC2 &&
           static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

// Appends `text` at `line + used` with its control characters escaped (C0, DEL, the C1
// controls U+0080 to U+009F in UTF-8, and the bytes 0x80 to 0x9F outside a UTF-8
// character), as far as it fits in kMaxLogLine bytes. Returns
// false when it was cut. A cut never splits an escape or a UTF-8 sequence, so a shortened
// line stays readable text.
bool AppendEscaped(char* line, size_t& used, std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        char piece[8];
        size_t length = 0;
        size_t taken = 1;
        // A byte of 0x80 to 0x9F here is no part of a UTF-8 character: in 8-bit text it is
        // a C1 control (0x9B starts an escape sequence on many terminals).
        if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) {
            length = EscapeControl(byte, piece);
        } else if (IsC1Control(text, at)) {
            length = EscapeControl(byte, piece);
            length += EscapeControl(static_cast<unsigned char>(text[at + 1]), piece + length);
            taken = 2;
        } else {
            // A UTF-8 character stays whole; a lead byte without all its continuation bytes
            // is 8-bit text and stands alone.
            const size_t whole = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            while (taken < whole && at + taken < text.size() &&
                   (static_cast<unsigned char>(text[at + taken]) & 0xC0) == 0x80) {
                ++taken;
            }
            taken = taken == whole ? taken : 1;
            length = taken;
            std::memcpy(piece, text.data() + at, taken);
        }
        if (used + length > kMaxLogLine) {
            return false;
        }
        std::memcpy(line + used, piece, length);
        used += length;
        at += taken;
    }
    return true;
}

}  // namespace

void postLogLine(SharedHeap& heap, const char* kind, const char* text, const char* suffix) {
    if (kind == nullptr || text == nullptr) {
        return;
    }
    char line[kMaxLogLine + 1];
    size_t used = 0;
    if (AppendEscaped(line, used, text) && suffix != nullptr) {
        (void)AppendEscaped(line, used, suffix);
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
