#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "transfer/text_conversion.h"

namespace qvex {

struct SessionWorker;

// The mode of a transfer command, chosen by the user, the command line or a host's options.
enum class TransferType : int32_t {
    Text = 0,   // "TYPE A N": the wire's CR LF is the file's LF
    Image = 1,  // "TYPE I"
    Smart = 2,  // text or image decided per file from its first block
};

// Bits of a get or put command's flags (`b` of the command).
inline constexpr int32_t kTransferTypeMask = 0x3;
inline constexpr int32_t kTransferUpdateOnly = 0x100;
inline constexpr int kTransferSourceShift = 16;

// The mode in bits 0-1; the unused value 3 reads as image, which stores bytes unchanged.
[[nodiscard]] TransferType transferTypeOf(int32_t flags);
// The source kind in bits 16-31, read as a signed 16-bit number.
[[nodiscard]] int32_t sourceKindOf(int32_t flags);
[[nodiscard]] int32_t makeTransferFlags(TransferType type, bool updateOnly, int32_t sourceKind);

// The mode letter of a transfer code ("G" or "P" followed by it): 'a', 'i' or 'x'.
[[nodiscard]] char transferTypeLetter(TransferType type);
// "(text)" for 'a', "(smart)" for 'x', "(image)" for any other letter.
[[nodiscard]] const char* transferTypeLabel(char letter);
// Option values keep the mode plus one, 0 meaning "not set": "CLXMode", the per-host
// transfer type, a shortcut's XMode. Not set, or a value out of range, gives nothing.
[[nodiscard]] std::optional<TransferType> transferTypeFromOption(int32_t value);
[[nodiscard]] int32_t transferTypeOption(TransferType type);

// Sets the representation type for the next data transfer: "TYPE I" when `isImage`, else
// "TYPE A N". Sends nothing and returns 200 when that type is already in force. The type is
// recorded only on a 2xx reply, so a refused TYPE is sent again next time. Returns the
// reply's code; 421 when the connection is lost.
[[nodiscard]] int setRepresentationType(SessionWorker& session, bool isImage);

// Whether the local path names a PDF file, which the Smart mode never treats as text.
[[nodiscard]] bool isPdfName(const SessionWorker& session, std::string_view localPath);

// The Smart choice for a download fetched as image: the conversion of the whole file from
// its first received block, logged as "... auto-detected "effective" transfer type: ...".
[[nodiscard]] EffectiveType smartDownloadType(const SessionWorker& session,
                                              std::string_view localPath, const char* firstBlock,
                                              size_t n);

// The Smart choice for an upload from the file's first 8,192 bytes: Text only for LF text
// ("Local-ASCII") that is not a PDF, else Image; logged as "... auto-detected transfer type: ...".
[[nodiscard]] TransferType smartUploadType(const SessionWorker& session, std::string_view localPath,
                                           const char* firstBlock, size_t n);

}  // namespace qvex
