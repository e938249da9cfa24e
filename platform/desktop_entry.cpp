#include "platform/desktop_entry.h"

#include "platform/whole_file.h"

namespace qvex::platform {
namespace {

constexpr std::string_view kMainGroup = "[Desktop Entry]";
constexpr std::string_view kCommandKey = "Exec";
// Characters that make an Exec argument need quotes.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
// Characters escaped with a backslash inside quotes.
constexpr std::string_view kQuotedEscapes = "\"`$\\";
constexpr unsigned kEntryMode = 0644;

// Undoes the string escapes of a value ("\s", "\n", "\t", "\r", "\\"); other backslashes
// belong to the Exec quoting and stay.
std::string UnescapeString(std::string_view value) {
    std::string text;
    for (size_t at = 0; at < value.size(); ++at) {
        char c = value[at];
        if (c == '\\' && at + 1 < value.size()) {
            const char next = value[at + 1];
            const std::string_view from = "sntr\\";
            const std::string_view to = " \n\t\r\\";
            if (size_t which = from.find(next); which != std::string_view::npos) {
                text.push_back(to[which]);
                ++at;
                continue;
            }
        }
        text.push_back(c);
    }
    return text;
}

std::string EscapeString(std::string_view text) {
    std::string value;
    for (char c : text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value.push_back(c);
                break;
        }
    }
    return value;
}

// The span of the Exec value in the [Desktop Entry] group: its start and length.
struct ValueSpan {
    size_t begin = 0;
    size_t size = 0;
};

std::optional<ValueSpan> FindCommand(std::string_view text) {
    bool inMain = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(at, end - at);
        if (line.starts_with('[')) {
            inMain = line == kMainGroup;
        } else if (inMain && line.starts_with(kCommandKey)) {
            // "Exec=..." or "Exec = ...", not "ExecFoo=".
            size_t equals = line.find_first_not_of(' ', kCommandKey.size());
            if (equals != std::string_view::npos && line[equals] == '=') {
                size_t value = line.find_first_not_of(' ', equals + 1);
                value = value == std::string_view::npos ? line.size() : value;
                return ValueSpan{at + value, line.size() - value};
            }
        }
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> ParseExecValue(std::string_view value) {
    const std::string text = UnescapeString(value);
    std::vector<std::string> arguments;
    std::string argument;
    bool inArgument = false;
    bool quoted = false;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && at + 1 < text.size() &&
                       kQuotedEscapes.find(text[at + 1]) != std::string_view::npos) {
                argument.push_back(text[++at]);
            } else {
                argument.push_back(c);
            }
        } else if (c == ' ' || c == '\t') {
            if (inArgument) {
                arguments.push_back(std::move(argument));
                argument.clear();
                inArgument = false;
            }
        } else {
            inArgument = true;
            if (c == '"') {
                quoted = true;
            } else {
                argument.push_back(c);
            }
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    if (inArgument) {
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::string FormatExecValue(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        if (!argument.empty() && argument.find_first_of(kReserved) == std::string::npos) {
            text += argument;
            continue;
        }
        text.push_back('"');
        for (char c : argument) {
            if (kQuotedEscapes.find(c) != std::string_view::npos) {
                text.push_back('\\');
            }
            text.push_back(c);
        }
        text.push_back('"');
    }
    return EscapeString(text);
}

std::string ExecArgumentOfPath(std::string_view path) {
    std::string argument;
    for (char c : path) {
        argument.push_back(c);
        if (c == '%') {
            argument.push_back('%');
        }
    }
    return argument;
}

std::optional<std::vector<std::string>> ReadDesktopEntryCommand(const std::string& path) {
    std::optional<std::string> text = ReadWholeFile(path);
    std::optional<ValueSpan> span = text ? FindCommand(*text) : std::nullopt;
    if (!span) {
        return std::nullopt;
    }
    return ParseExecValue(std::string_view(*text).substr(span->begin, span->size));
}

bool WriteDesktopEntryCommand(const std::string& path, const std::vector<std::string>& arguments) {
    std::optional<std::string> text = ReadWholeFile(path);
    std::optional<ValueSpan> span = text ? FindCommand(*text) : std::nullopt;
    if (!span) {
        return false;
    }
    text->replace(span->begin, span->size, FormatExecValue(arguments));
    return ReplaceWholeFile(path, *text, kEntryMode);
}

}  // namespace qvex::platform
