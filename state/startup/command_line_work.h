#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "state/startup/command_line.h"
#include "transfer/transfer_type.h"

namespace qvex {

class Settings;
struct SessionWorker;

// The transfer mode of command-line work: "CLXMode" - 1 when set; else the host's per-host
// transfer type - 1 when set; else "LastXMode" when "KeepXMode" is on; else text.
[[nodiscard]] TransferType CommandLineTransferMode(const Settings& settings,
                                                   std::string_view hostUrl);

// The local folder of command-line work: "CLXDir", or "LastXDir" when that is empty and
// "KeepXDir" is on ("" means the current folder).
[[nodiscard]] std::string CommandLineLocalFolder(const Settings& settings);

// What a command line asks for once its session has logged in, queued on the session behind
// the session's own first commands (which enter and list the URL's folder):
//   upload (kinds 2 and 4): the listed files into the URL's folder;
//   fetch (kind 3): with ";type=d" a listing of the URL's folder into "<folder><host>.txt";
//   else, as for download (kind 5), the file or the whole folder the URL names, into the
//   local folder (";type=a" or ";type=i" choose the mode);
// then, with `quitWhenDone`, the end of the session once the queue is done. Problems are
// logged; false when nothing was queued.
bool QueueCommandLineWork(SessionWorker& session, const CommandLineRequest& request,
                          const Settings& settings, bool quitWhenDone);

// The outcome bit of command-line work that could not be queued: a failed upload for the
// upload kinds, else a failed download.
[[nodiscard]] uint32_t UnqueuedWorkOutcome(CommandLineKind kind);

}  // namespace qvex
