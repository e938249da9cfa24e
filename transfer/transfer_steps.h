#pragma once

#include <string>
#include <string_view>

namespace qvex {

struct SessionWorker;
class RestartDatabase;

// What downloads and uploads share.

// A result that ends the whole command: a negative code, or the lost connection.
[[nodiscard]] bool stopsCommand(int code);

// The restart record a transfer keeps up to date: the session's database while error
// recovery is on, else none.
[[nodiscard]] RestartDatabase* restartRecordOf(const SessionWorker& session);

// The name part of a local path (after its last separator).
[[nodiscard]] std::string_view localNamePart(std::string_view path);

// The system's text for the last local file error, cut to what a log line shows.
[[nodiscard]] std::string lastFileErrorText();

}  // namespace qvex
