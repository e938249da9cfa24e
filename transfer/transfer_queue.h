#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "transfer/transfer_type.h"

namespace qvex {

struct SessionWorker;
class ListingCache;
class Settings;

// Stops the running transfer and empties the session's queue (user-interface thread): ABOR
// with the Telnet urgent sequence, at most once per command, every queued command dropped
// with what it owns, a queued end of session withdrawn. Logs "Transfer terminated",
// "Transfer terminated, queue flushed" or "Queue flushed" when it did anything.
void abortTransfers(SessionWorker& session);

// The toolbar's three transfer toggles. The mode follows the two type toggles: text alone
// gives text, image alone gives image, both or neither Smart.
class TransferModeModel {
  public:
    void SetForceText(bool on) { forceText_ = on; }
    void SetForceImage(bool on) { forceImage_ = on; }
    void SetUpdateOnly(bool on) { updateOnly_ = on; }
    bool forceText() const { return forceText_; }
    bool forceImage() const { return forceImage_; }
    bool updateOnly() const { return updateOnly_; }

    // Sets the toggles so that currentTransferMode() gives `type`.
    void SetMode(TransferType type);
    [[nodiscard]] TransferType currentTransferMode() const;

  private:
    bool forceText_ = false;
    bool forceImage_ = false;
    bool updateOnly_ = false;
};

// The answers of the overwrite confirmation.
enum class OverwriteAnswer {
    Yes,
    No,
    Cancel,
};
inline constexpr const char* kGetFilesTitle = "Get file(s) as...";
// Asks with a Yes/No/Cancel box and a warning icon.
using ConfirmOverwrite =
    std::function<OverwriteAnswer(const std::string& title, const std::string& text)>;

// Where the download's selection comes from: the remote view ("LocalOverwrite1") or the
// search results ("LocalOverwrite2", source kind 2 with names).
enum class DownloadOrigin {
    RemoteView,
    SearchResults,
};

struct DownloadSelection {
    DownloadOrigin origin = DownloadOrigin::RemoteView;
    // The viewed directory and the selected entries' positions in it.
    int32_t directoryId = -1;
    std::vector<int32_t> positions;
    // The folder given by a drop or chosen in the folder browser.
    std::string folder;
};

struct DownloadComposition {
    bool queued = false;
    // Entries the user answered No for: the view takes them out of its selection.
    std::vector<int32_t> deselected;
};

// Builds and queues a download of the selection: checks the folder ("@@@ Invalid drop
// folder" when it is unusable), stores the mode in "LastXMode" and a new folder in
// "LastXDir", asks before replacing existing local files and folders (unless Update-ONLY is
// on or the origin's overwrite setting is off), and queues command kind 4 when anything is
// left. Nothing is queued after Cancel or when every entry was answered No.
[[nodiscard]] DownloadComposition composeDownload(SessionWorker& session, ListingCache& cache,
                                                  Settings& settings,
                                                  const TransferModeModel& toggles,
                                                  const DownloadSelection& selection,
                                                  const ConfirmOverwrite& confirm);

// The same for selections from several remote folders into one local folder, one command per
// selection, each in its own result: every question is asked before anything is queued, so
// Cancel queues nothing from any of them.
[[nodiscard]] std::vector<DownloadComposition> composeDownloads(
    SessionWorker& session, ListingCache& cache, Settings& settings,
    const TransferModeModel& toggles, const std::vector<DownloadSelection>& selections,
    const ConfirmOverwrite& confirm);

// The confirmation text for a local path that exists: the folder or the file form.
[[nodiscard]] std::string overwriteQuestion(const std::string& localPath, bool isFolder);

}  // namespace qvex
