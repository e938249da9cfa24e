#pragma once

#include <QString>

#include <string_view>

namespace qvex {

// The stores' UTF-8 text as the window shows it.
inline QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace qvex
