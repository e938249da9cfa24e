#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qvex::platform {

// The whole file; nullopt when it cannot be opened or read.
[[nodiscard]] std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the file with `bytes` so that readers see either the old or the new file, never
// a part: a temporary "<path>.tmp.<process id>" beside it is written with `mode`, flushed
// to disk and renamed over the file. `beforeRename` runs just before the rename (tests).
// False, with the file as it was, when any step fails.
[[nodiscard]] bool ReplaceWholeFile(const std::string& path, std::string_view bytes, unsigned mode,
                                    const std::function<void()>& beforeRename = {});

}  // namespace qvex::platform
