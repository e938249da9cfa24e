#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/local_file.h"

namespace qvex {

// The local conversion a download applies, chosen from the line ends of the data. Local
// text ends its lines with LF. The values are the ones shown in the log and kept by the
// callers.
enum class EffectiveType : int32_t {
    Image = 0,       // no line ends, a mixture, or not text: stored as received
    LocalAscii = 1,  // LF only: already local text
    DosAscii = 2,    // CR LF only: each CR LF becomes LF
    MacAscii = 3,    // CR only: each CR becomes LF
};

// "Image", "Local-ASCII", "DOS-ASCII" or "Mac-ASCII".
[[nodiscard]] const char* effectiveTypeName(EffectiveType type);

// Classifies a first block by its line ends. Bytes 7 to 127 are text; any other byte makes
// the block "Image", as does a mixture of line-end kinds or no line end at all. A CR that is
// the block's last byte counts as nothing: its LF may be in the next block. An empty block
// is "Image".
[[nodiscard]] EffectiveType detectTextKind(const char* bytes, size_t n);

// Where a download's bytes go. Write takes all `n` bytes or reports failure.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    [[nodiscard]] virtual bool Write(const char* bytes, size_t n) = 0;
};

// A sink straight into a local file that the caller opened and closes. A failed write
// leaves the reason for platform::LastFileError().
class FileSink final : public ByteSink {
  public:
    explicit FileSink(platform::LocalFile& file) : file_(file) {}
    [[nodiscard]] bool Write(const char* bytes, size_t n) override { return file_.Write(bytes, n); }

  private:
    platform::LocalFile& file_;
};

// The conversion of one file, block after block: its effective type and the state a line
// end split between two blocks needs, so that a CR at the end of one block and an LF at the
// start of the next are seen as one CR LF.
struct TextConversion {
    EffectiveType type = EffectiveType::Image;
    bool afterCr = false;  // the last byte handed over was a CR
    bool crHeld = false;   // "DOS-ASCII": that CR is not written yet
};

// Writes one received block to the local file. "Image" and "Local-ASCII" write it as it is;
// "DOS-ASCII" turns each CR LF into LF and keeps a lone CR; "Mac-ASCII" turns each CR into
// LF, and a CR LF pair into one LF. The result is the same for any split of the same bytes,
// once finishConverted has run. False when the sink failed.
[[nodiscard]] bool writeConverted(ByteSink& file, const char* bytes, size_t n,
                                  TextConversion& conversion);

// Writes what a conversion still holds at the end of the data: a final CR of "DOS-ASCII"
// that turned out not to start a CR LF. False when the sink failed.
[[nodiscard]] bool finishConverted(ByteSink& file, TextConversion& conversion);

// Writes one block of local text as network text (RFC 959's NVT line ends): each LF becomes
// CR LF, except one that already follows a CR. `afterCr` carries over whether the previous
// block ended in a CR. False when the sink failed.
[[nodiscard]] bool writeNetworkText(ByteSink& out, const char* bytes, size_t n, bool& afterCr);

}  // namespace qvex
