#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "state/startup/shortcut_file.h"
#include "sums/hash_entries.h"

namespace qvex {

class Settings;

// What a command line asks for, acted on once the session has logged in.
enum class CommandLineKind : int {
    None = 0,          // start normally
    Connect = 1,       // a URL and nothing else: connect only
    Upload = 2,        // a URL and files: upload the files
    Fetch = 3,         // "-f": download the URL's file, or list it when its type is "d"
    UploadOnly = 4,    // "-p"
    DownloadOnly = 5,  // "-g"
    ComputeSums = 6,   // "-5" and the algorithm letter
    VerifySums = 7,    // "-6" and the algorithm letter
};
static_assert(static_cast<int>(CommandLineKind::ComputeSums) == kCommandLineComputeKind);
static_assert(static_cast<int>(CommandLineKind::VerifySums) == kCommandLineVerifyKind);

// Flag bits of a request. Bit 1 (kCommandLineHashJob: end the program when the hash job
// ends) and bit 2 (kCommandLineSharedNames: "-@", args[2] is the handle of an inherited
// name list) come with the hash jobs that read them.
inline constexpr uint32_t kCommandLineUpdateOnly = 1;  // "-v", or a shortcut's Update-ONLY

struct CommandLineRequest {
    CommandLineKind kind = CommandLineKind::None;
    // Transfer mode + 1 (1 text, 2 image, 3 smart); for kinds 6 and 7 the algorithm letter.
    int mode = 0;
    uint32_t flags = 0;
    // [0] the URL, [1] the local folder, [2] onwards the positional arguments. Both first
    // entries are always there, empty until set.
    std::vector<std::string> args = std::vector<std::string>(2);
    bool silent = false;  // "-z"
    // Where the next positional argument goes: still 2 when none was given.
    size_t positional = 2;
    // The value option ('u', 'f', 'd' or 'o') that still waits for its value, 0 for none.
    // After a whole command line, an option that came last and set nothing.
    char pending = 0;
    // Positions in the argument list of the URLs given with "-u" and "-f".
    std::vector<size_t> urlArguments;
    // "@@@ " lines for the log once it runs: shortcut files that were refused.
    std::vector<std::string> problems;
    // The shortcut files that "-o" read, as given.
    std::vector<std::string> shortcuts;

    const std::string& url() const { return args[0]; }
    const std::string& folder() const { return args[1]; }
};

// Reads a ".qvex" file named by "-o"; nullopt when it cannot be read.
using ShortcutReader = std::function<std::optional<ShortcutData>(const std::string& path)>;

// Parses the arguments after the program's name, as the system hands them over.
// An argument beginning with "-" is an option; the rest of it is its text, whose first
// letter (either case) names it:
//   -u URL     args[0] := URL
//   -f URL     kind 3, args[0] := URL
//   -d folder  args[1] := folder
//   -o file    the shortcut's URL and folder, when not empty, into args[0] and args[1]; its
//              type into mode; its Update-ONLY ORed into the flags. A shortcut that cannot
//              be read changes nothing but adds a line to `problems`.
//   -p, -g     kind 4, 5
//   -5c, -6c   kind 6, 7, the hash-job flag, mode := the character code of c (0 without c)
//   -xc        mode 1, 2, 3 for c = a, i, x (either case); any other c leaves it
//   -v         update only
//   -@         the shared-name-list flag: the first positional argument is the handle
//   -z         silent
// Other options are ignored. The four value options take the next argument whatever it
// looks like; one that comes last sets nothing. Other arguments are positional, stored in
// args[2] onwards. At the end a request with a URL and still kind 0 becomes kind 1 when no
// positional argument was given, else kind 2.
[[nodiscard]] CommandLineRequest ParseCommandLine(std::span<const std::string> arguments,
                                                  const ShortcutReader& readShortcut);
// The same, reading "-o" files with ReadShortcutFile.
[[nodiscard]] CommandLineRequest ParseCommandLine(std::span<const std::string> arguments);

// Blanks the passwords of the URL arguments in `memory`, the process's own argument strings
// that `request` was parsed from (behind the program's name): each byte that the log would
// hide becomes "*". Entries that are null or beyond the arguments are left alone.
void HideUrlPasswords(const CommandLineRequest& request, std::span<char*> memory);

// The in-memory settings through which the request reaches the host page and the session.
struct CommandLineKeys {
    int32_t connect = 0;  // "CLConnect": 1 for any kind above 0
    int32_t start = 0;    // "CLStart": 1 for kinds above 1 (command-line work)
    int32_t only = 0;     // "CLOnly": 1 for kinds 4 and 5
    int32_t xMode = 0;    // "CLXMode": the mode
    int32_t xFlags = 0;   // "CLXFlags": the flags
    std::string xDir;     // "CLXDir": the folder, for kinds below 6 only

    bool operator==(const CommandLineKeys&) const = default;
};

[[nodiscard]] CommandLineKeys CommandLineKeysOf(const CommandLineRequest& request);
// Sets the six keys (start-up does this before LoadSettings). "CLXDir" is set only when it
// is not empty.
void StoreCommandLineKeys(const CommandLineRequest& request, Settings& settings);

// The local files of an upload request: its positional arguments, or with "-@" the names
// of the inherited list whose handle is args[2] (the list is taken over and closed, so this
// is done once). Names are relative to the folder args[1], or full paths without one; empty
// names are skipped.
struct CommandLineFiles {
    std::vector<std::string> paths;
    // Empty on success; otherwise a "@@@ " log line telling that the "-@" list could not be
    // taken, and no paths.
    std::string failure;
};

[[nodiscard]] CommandLineFiles CommandLineUploadFiles(const CommandLineRequest& request);

}  // namespace qvex
