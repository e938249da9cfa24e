#include "platform/recent_documents.h"

#include <cstdio>

namespace qvex::platform {
namespace {

constexpr std::string_view kEnd = "</xbel>";
constexpr std::string_view kNewFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<xbel version=\"1.0\"\n"
    "      xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\"\n"
    "      xmlns:mime=\"http://www.freedesktop.org/standards/shared-mime-info\"\n"
    ">\n"
    "</xbel>\n";

std::string EscapeXml(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped.push_back(c);
                break;
        }
    }
    return escaped;
}

// The value of attribute `name` in `element`, or "".
std::string_view Attribute(std::string_view element, std::string_view name) {
    const std::string key = " " + std::string(name) + "=\"";
    size_t at = element.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    at += key.size();
    size_t end = element.find('"', at);
    return end == std::string_view::npos ? std::string_view{} : element.substr(at, end - at);
}

// An earlier entry of the same file: where it lies, with the start of its line and the end of
// its last line, and what it keeps.
struct Earlier {
    size_t begin = 0;
    size_t end = 0;
    std::string added;
    long count = 0;  // this program's uses
};

std::optional<Earlier> FindEntry(std::string_view text, std::string_view href,
                                 std::string_view application) {
    const std::string start = "<bookmark href=\"" + std::string(href) + "\"";
    size_t at = text.find(start);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    size_t tagEnd = text.find('>', at);
    if (tagEnd == std::string_view::npos) {
        return std::nullopt;
    }
    size_t end = text[tagEnd - 1] == '/' ? tagEnd + 1 : text.find("</bookmark>", at);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    if (text[tagEnd - 1] != '/') {
        end += std::string_view("</bookmark>").size();
    }
    Earlier earlier;
    earlier.added = Attribute(text.substr(at, tagEnd - at), "added");
    std::string_view body = text.substr(at, end - at);
    const std::string app = "<bookmark:application name=\"" + EscapeXml(application) + "\"";
    if (size_t a = body.find(app); a != std::string_view::npos) {
        std::string_view element = body.substr(a, body.find('>', a) - a);
        earlier.count = std::strtol(std::string(Attribute(element, "count")).c_str(), nullptr, 10);
    }
    earlier.begin = text.rfind('\n', at) == std::string_view::npos ? 0 : text.rfind('\n', at) + 1;
    earlier.end = end < text.size() && text[end] == '\n' ? end + 1 : end;
    return earlier;
}

}  // namespace

std::string FileUri(std::string_view path) {
    // The characters the desktop's own libraries leave as they are in a file URI's path.
    constexpr std::string_view kKept = "!$&'()*+,;=:@/-._~";
    std::string uri = "file://";
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || kKept.find(c) != std::string_view::npos) {
            uri.push_back(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", byte);
            uri += hex;
        }
    }
    return uri;
}

std::optional<std::string> MergeRecentDocument(std::string_view existing,
                                               const RecentDocument& document,
                                               std::string_view now) {
    std::string text(existing.empty() ? kNewFile : existing);
    const std::string href = EscapeXml(FileUri(document.path));
    size_t end = text.rfind(kEnd);
    if (end == std::string::npos || text.find("<xbel") == std::string::npos) {
        return std::nullopt;
    }
    std::string added(now);
    long count = 1;
    if (std::optional<Earlier> earlier = FindEntry(text, href, document.application)) {
        if (!earlier->added.empty()) {
            added = earlier->added;
        }
        count += earlier->count;
        text.erase(earlier->begin, earlier->end - earlier->begin);
        end = text.rfind(kEnd);
    }
    const std::string stamp(now);
    std::string entry = "  <bookmark href=\"" + href + "\" added=\"" + added + "\" modified=\"" +
                        stamp + "\" visited=\"" + stamp +
                        "\">\n"
                        "    <info>\n"
                        "      <metadata owner=\"http://freedesktop.org\">\n"
                        "        <mime:mime-type type=\"" +
                        EscapeXml(document.mimeType) +
                        "\"/>\n"
                        "        <bookmark:applications>\n"
                        "          <bookmark:application name=\"" +
                        EscapeXml(document.application) + "\" exec=\"" +
                        EscapeXml("'" + document.command + "'") + "\" modified=\"" + stamp +
                        "\" count=\"" + std::to_string(count) +
                        "\"/>\n"
                        "        </bookmark:applications>\n"
                        "      </metadata>\n"
                        "    </info>\n"
                        "  </bookmark>\n";
    // The closing tag starts its own line.
    size_t lineStart = text.rfind('\n', end);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    if (text.find_first_not_of(" \t", lineStart) != end) {
        entry.insert(0, "\n");
        lineStart = end;
    }
    text.insert(lineStart, entry);
    return text;
}

}  // namespace qvex::platform
