#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvex::platform {

// The command of a desktop entry: the "Exec" key of its [Desktop Entry] group, as the
// freedesktop Desktop Entry rules write it (string escapes such as "\s" and "\\", then
// arguments split at spaces, double quotes grouping with "\"", "\`", "\$" and "\\" inside).
// Field codes stay as written ("%f", "%%").

// The arguments of an Exec value; nullopt for an unbalanced quote.
[[nodiscard]] std::optional<std::vector<std::string>> ParseExecValue(std::string_view value);
// The Exec value of `arguments`, each quoted where it holds a reserved character.
[[nodiscard]] std::string FormatExecValue(const std::vector<std::string>& arguments);
// An Exec argument naming a file path: "%" doubled, so that it is no field code.
[[nodiscard]] std::string ExecArgumentOfPath(std::string_view path);

// The Exec arguments of the desktop entry file; nullopt when it cannot be read or has no
// such key.
[[nodiscard]] std::optional<std::vector<std::string>> ReadDesktopEntryCommand(
    const std::string& path);
// Sets the Exec key to `arguments`, every other byte of the file kept; the file is replaced
// in one step. False when it cannot be read or written or has no Exec key.
[[nodiscard]] bool WriteDesktopEntryCommand(const std::string& path,
                                            const std::vector<std::string>& arguments);

}  // namespace qvex::platform
