#include "shellext/recent_hosts.h"

#include "shellext/xdg_folders.h"

namespace qvex::shellext {
namespace {

// Eight lines of the longest kind, with their line ends, and room for skipped ones.
constexpr size_t kReadLimit = 64 * 1024;

// Printable text in well-formed UTF-8: no C0 or C1 controls, no DEL, no overlong forms or
// surrogates.
bool IsSane(std::string_view line) {
    if (line.empty() || line.size() > kMaxRecentHostBytes) {
        return false;
    }
    size_t i = 0;
    while (i < line.size()) {
        const auto lead = static_cast<unsigned char>(line[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F) {
                return false;
            }
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned value = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07u;
        } else {
            return false;
        }
        if (i + length > line.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(line[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            value = value << 6 | (next & 0x3Fu);
        }
        const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
        if (overlong || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF) ||
            (value >= 0x80 && value < 0xA0)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

std::vector<std::string> ParseRecentHosts(std::string_view text) {
    std::vector<std::string> hosts;
    while (!text.empty() && hosts.size() < kMaxRecentHosts) {
        const size_t end = text.find_first_of("\r\n");
        const std::string_view line = text.substr(0, end);
        if (line.empty()) {
            break;
        }
        if (IsSane(line)) {
            hosts.emplace_back(line);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end);
        // One line end: CR LF, CR or LF.
        const size_t ending = text.starts_with("\r\n") ? 2 : 1;
        text.remove_prefix(ending);
    }
    return hosts;
}

std::vector<std::string> ReadRecentHosts() {
    return ParseRecentHosts(ReadFileStart(RecentHostsFilePath(), kReadLimit));
}

std::string RecentHostLabel(std::string_view url) {
    std::string label(url);
    const size_t scheme = label.find("://");
    if (scheme == std::string::npos) {
        return label;
    }
    const size_t start = scheme + 3;
    const size_t at = label.find('@', start);
    const size_t slash = label.find('/', start);
    if (at == std::string::npos || (slash != std::string::npos && slash < at)) {
        return label;
    }
    const size_t colon = label.find(':', start);
    if (colon == std::string::npos || colon > at) {
        return label;
    }
    return label.replace(colon + 1, at - colon - 1, "****");
}

}  // namespace qvex::shellext
