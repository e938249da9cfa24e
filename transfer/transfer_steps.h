#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Folders one tree command (a download, a recursive delete) may enter. A server that answers
// every folder with new subfolders, or with ever-new PWD answers, would otherwise be walked
// without end; no real tree comes near it.
inline constexpr int32_t kMaxFoldersPerCommand = 50000;
// Levels below the command's folder. A deeper path holds more than the 510 characters a CWD
// can carry back up, and every level is a frame on the worker's stack.
inline constexpr size_t kMaxTreeDepth = 256;

// The remote folders a tree command walks: the path from the command's folder down,
// outermost first (a server link that leads back into one of them would otherwise be walked
// forever), and how many folders the command has entered.
struct DirectoryTrail {
    std::vector<std::string> path;
    int32_t entered = 0;
    int32_t folderLimit = kMaxFoldersPerCommand;
};

enum class TrailStep {
    Enter,    // walk the folder; leaveFolder() once done
    Skip,     // a loop or too deep: that branch ends, the command goes on
    Stopped,  // the command has entered its limit of folders: it ends
};
// Checks the remote folder `remotePath` before a tree command walks it, and logs why not:
// "*** Directory loop on the server; not descending into ", "*** Directory tree too deep;
// not descending into ", "*** Too many folders for one command; stopped at ".
[[nodiscard]] TrailStep enterFolder(DirectoryTrail& trail, const std::string& remotePath);
void leaveFolder(DirectoryTrail& trail);

}  // namespace qvex
