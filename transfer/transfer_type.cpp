#include "transfer/transfer_type.h"

#include "engine/control_connection.h"
#include "engine/session_worker.h"
#include "log/log_sink.h"

namespace qvex {

TransferType transferTypeOf(int32_t flags) {
    switch (flags & kTransferTypeMask) {
        case 0:
            return TransferType::Text;
        case 2:
            return TransferType::Smart;
        default:
            return TransferType::Image;
    }
}

int32_t sourceKindOf(int32_t flags) {
    return static_cast<int16_t>(static_cast<uint32_t>(flags) >> kTransferSourceShift);
}

int32_t makeTransferFlags(TransferType type, bool updateOnly, int32_t sourceKind) {
    uint32_t flags = static_cast<uint32_t>(type) & static_cast<uint32_t>(kTransferTypeMask);
    if (updateOnly) {
        flags |= static_cast<uint32_t>(kTransferUpdateOnly);
    }
    flags |= (static_cast<uint32_t>(sourceKind) & 0xFFFFu) << kTransferSourceShift;
    return static_cast<int32_t>(flags);
}

char transferTypeLetter(TransferType type) {
    switch (type) {
        case TransferType::Text:
            return 'a';
        case TransferType::Smart:
            return 'x';
        case TransferType::Image:
            break;
    }
    return 'i';
}

const char* transferTypeLabel(char letter) {
    if (letter == 'x') {
        return "(smart)";
    }
    return letter == 'a' ? "(text)" : "(image)";
}

std::optional<TransferType> transferTypeFromOption(int32_t value) {
    if (value < 1 || value > 3) {
        return std::nullopt;
    }
    return static_cast<TransferType>(value - 1);
}

int32_t transferTypeOption(TransferType type) {
    return static_cast<int32_t>(type) + 1;
}

int setRepresentationType(SessionWorker& session, bool isImage) {
    const int32_t wanted = isImage ? 1 : 0;
    if (session.currentType == wanted) {
        return 200;
    }
    // "A N": ASCII, non-print format (RFC 959 section 3.1.1.5).
    if (!SendCommand(session, "TYPE", isImage ? "I" : "A N")) {
        // The send failure is logged; the connection is gone, so no reply will come.
        return kReplyConnectionLost;
    }
    FtpReply reply;
    int code = ReadReply(session, reply, false);
    // Some servers know only the one-letter form; non-print is ASCII's default format, so
    // "TYPE A" asks for the same.
    if (!isImage && (code == 501 || code == 504)) {
        if (!SendCommand(session, "TYPE", "A")) {
            return kReplyConnectionLost;
        }
        code = ReadReply(session, reply, false);
    }
    if (reply.codeText[0] == '2') {
        session.currentType = wanted;
    }
    return code;
}

bool isPdfName(const SessionWorker& session, std::string_view localPath) {
    return session.patterns.pdfName.Matches(localPath);
}

EffectiveType smartDownloadType(const SessionWorker& session, std::string_view localPath,
                                const char* firstBlock, size_t n) {
    EffectiveType type = EffectiveType::Image;
    if (n != 0 && !isPdfName(session, localPath)) {
        type = detectTextKind(firstBlock, n);
    }
    logExt("... auto-detected \"effective\" transfer type: ", effectiveTypeName(type));
    return type;
}

TransferType smartUploadType(const SessionWorker& session, std::string_view localPath,
                             const char* firstBlock, size_t n) {
    // Only LF text may go as ASCII: its LF become the wire's CR LF, and any other line end
    // would reach the server as a wrong one.
    bool asText = n != 0 && !isPdfName(session, localPath) &&
                  detectTextKind(firstBlock, n) == EffectiveType::LocalAscii;
    logExt("... auto-detected transfer type: ", asText ? "Local-ASCII" : "Image");
    return asText ? TransferType::Text : TransferType::Image;
}

}  // namespace qvex
