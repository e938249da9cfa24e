#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/local_file.h"

namespace qvex {

// The local conversion a download applies, chosen from the line ends of the data. The
// values are the ones shown in the log and kept by the callers.
enum class EffectiveType : int32_t {
    Image = 0,       // no line ends, a mixture, or not text: stored as received
    LocalAscii = 1,  // CR LF only: already local text
    UnixAscii = 2,   // LF only: each LF becomes CR LF
    MacAscii = 3,    // CR only: each CR becomes CR LF
};

// "Image", "Local-ASCII", "*nix-ASCII" or "Mac-ASCII".
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

// The conversion of one file, block after block: its effective type and whether the last
// byte handed over was a CR, so that a CR LF pair split between two blocks is seen as one
// line end.
struct TextConversion {
    EffectiveType type = EffectiveType::Image;
    bool afterCr = false;
};

// Writes one received block to the local file. "Image" and "Local-ASCII" write it as it is;
// "*nix-ASCII" turns each LF and "Mac-ASCII" each CR into CR LF. A CR LF pair already in the
// data stays one CR LF in both, wherever the block boundary falls: the result is the same
// for any split of the same bytes. False when the sink failed.
[[nodiscard]] bool writeConverted(ByteSink& file, const char* bytes, size_t n,
                                  TextConversion& conversion);

}  // namespace qvex
