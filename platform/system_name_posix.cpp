#include "platform/system_name.h"

#include <sys/utsname.h>
#include <fstream>
#include <sstream>

namespace qvex::platform {
namespace {

// One value of an os-release line, its quotes removed. Inside double quotes a backslash
// keeps the next character ("\"", "\\", "\$", "\`"); single quotes keep everything.
std::string Unquote(std::string_view value) {
    std::string out;
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
        out.assign(value.substr(1, value.size() - 2));
    } else if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
        for (size_t at = 0; at < value.size(); ++at) {
            if (value[at] == '\\' && at + 1 < value.size()) {
                ++at;
            }
            out.push_back(value[at]);
        }
    } else {
        out.assign(value);
    }
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string ReadSmallFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str().substr(0, 65536);
}

}  // namespace

std::string PrettyNameFromOsRelease(std::string_view text) {
    std::string found;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        constexpr std::string_view kKey = "PRETTY_NAME=";
        if (line.substr(0, kKey.size()) == kKey) {
            // The last assignment wins, as when a shell sources the file.
            found = Unquote(Trim(line.substr(kKey.size())));
        }
    }
    return std::string(Trim(found));
}

std::string SystemName() {
    struct utsname names {};
    std::string name;
    if (::uname(&names) != 0) {
        name = "Unknown";
    } else {
        name = std::string(names.sysname) + " " + names.release + " " + names.machine;
    }
    // /etc/os-release may be missing where the distribution ships only the vendor copy.
    std::string pretty = PrettyNameFromOsRelease(ReadSmallFile("/etc/os-release"));
    if (pretty.empty()) {
        pretty = PrettyNameFromOsRelease(ReadSmallFile("/usr/lib/os-release"));
    }
    if (!pretty.empty()) {
        name += " " + pretty;
    }
    return name;
}

}  // namespace qvex::platform
