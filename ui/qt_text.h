#pragma once

#include <QString>

#include <string_view>

namespace qvex {

// The stores' UTF-8 text as the window shows it.
inline QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A name from a server as a row shows it: control characters in the visible form the log
// uses ("\r", "\n", "\t", "\x1B"), and the direction overrides that could make "exe.txt"
// read as "txt.exe" as "\u202E". Nothing of it then moves, hides or reverses the text around.
inline QString ShownName(std::string_view name) {
    QString text = Text(name);
    for (qsizetype at = 0; at < text.size(); ++at) {
        const char16_t code = text[at].unicode();
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        const bool direction = code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
                               (code >= 0x2066 && code <= 0x2069);
        if (!control && !direction) {
            continue;
        }
        const QString hex = QString::number(code, 16).toUpper();
        const QString shown = code == '\r'   ? QStringLiteral("\\r")
                              : code == '\n' ? QStringLiteral("\\n")
                              : code == '\t' ? QStringLiteral("\\t")
                              : control      ? "\\x" + hex.rightJustified(2, '0')
                                             : "\\u" + hex;
        text.replace(at, 1, shown);
        at += shown.size() - 1;
    }
    return text;
}

}  // namespace qvex
