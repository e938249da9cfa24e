#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/shared_file.h"

namespace qvex {

class Settings;

// QvexRdb.dat: one header block and 31 slots of 1024 bytes, mapped by every running copy.
// Each copy owns at most one slot (its current slot) and describes its transfer there, so
// an interrupted transfer can be resumed later by the same or another copy.
inline constexpr std::string_view kRestartFileName = "QvexRdb.dat";
// The named lock around every read-modify-write of the masks and every slot deletion.
inline constexpr std::string_view kRestartLockName = "QvexRMap";
inline constexpr std::string_view kRestartHeaderText = "Qvex PRO Restart Data 2\r\n";
// A header counts as ours when these first bytes match ("Qvex PRO Restart Data 2").
inline constexpr size_t kRestartHeaderCheckLength = 23;
inline constexpr size_t kRestartFileSize = 32768;
inline constexpr size_t kRestartBlockSize = 1024;
inline constexpr int kRestartSlotCount = 31;
// Header fields: bit 0 of the in-use mask marks a valid header; bit i (1..31) of the in-use
// mask = slot i holds data, of the live mask = slot i is a running copy's current slot.
inline constexpr size_t kRestartInUseOffset = 32;
inline constexpr size_t kRestartLiveOffset = 36;
// In a slot: the u64 pending flag, then the five text fields.
inline constexpr size_t kRestartPendingOffset = 0;
// The slot's last word (u32, zero in files of earlier versions): bit n set when field n was
// cut to fit at its last write. Such a record names another path than the transfer's: a
// resumption could append to another file, so it is never resumed.
inline constexpr size_t kRestartCutOffset = 1020;

// Field numbers for GetRestartField and SetRestartField.
inline constexpr int kRestartFieldOperation = 1;        // "G" or "P", then "a", "i" or "x"
inline constexpr int kRestartFieldHost = 2;             // the host URL
inline constexpr int kRestartFieldRemoteDirectory = 3;  //
inline constexpr int kRestartFieldRemoteName = 4;       // downloads only
inline constexpr int kRestartFieldLocal = 5;  // folder of a download, file path of an upload

struct RestartFieldLayout {
    size_t offset;     // within the slot
    size_t size;       // bytes reserved, NUL included
    size_t maxLength;  // longest text kept
};
// By field number; entry 0 is unused. The operation keeps one letter pair.
inline constexpr RestartFieldLayout kRestartFields[6] = {
    {0, 0, 0}, {8, 4, 2}, {12, 240, 239}, {252, 256, 255}, {508, 256, 255}, {764, 256, 255},
};

// One slot as read: the pending flag and the five fields.
struct RestartRecord {
    int slot = 0;
    uint64_t pending = 0;
    std::string operation;        // field 1
    std::string host;             // field 2
    std::string remoteDirectory;  // field 3
    std::string remoteName;       // field 4
    std::string localFolder;      // field 5
    char direction = '\0';        // first letter of the operation: 'G' download, else upload
    char mode = '\0';             // second letter: 'a' text, 'x' smart, anything else image
    bool resumable = true;        // no field was cut to fit
};

// The restart state of one running copy. Failures never throw: when the file cannot be
// opened or mapped, the copy runs without a restart database (no slot becomes current,
// getters give 0 or "", setters do nothing). Thread-safe: the user-interface thread and the
// session worker may call it at once; the named lock serialises the masks between copies.
class RestartDatabase {
  public:
    // `dataFolder` is the "AppData" folder, ending with the path separator.
    explicit RestartDatabase(std::string dataFolder);
    RestartDatabase(const RestartDatabase&) = delete;
    RestartDatabase& operator=(const RestartDatabase&) = delete;
    // Closes; a current slot keeps its bits, as after a crash.
    ~RestartDatabase();

    // Opens or creates and maps the file; a short, long or foreign file, or one whose header
    // bit is clear, is rebuilt empty. The first copy to open it alone turns every owned slot
    // into an abandoned one. True when mapped (also when it already was).
    [[nodiscard]] bool OpenRestartDatabase();
    // Unmaps and closes under the named lock. The current slot (if any) keeps its bits in
    // the file but is no longer current here.
    void CloseRestartDatabase();

    // Makes a slot current and returns it (1..31), 0 when none could be had. Unless
    // freshOnly, the lowest abandoned slot is adopted with its description; otherwise the
    // lowest free slot is taken with its pending flag zeroed. Opens the file when needed.
    // While this copy still owns a current slot, that slot is kept.
    [[nodiscard]] int ClaimRestartSlot(bool freshOnly);
    // Zeroes the current slot, clears both its bits, makes no slot current.
    void ReleaseRestartSlot();
    // Clears the current slot's live bit only: its description stays, abandoned.
    void DetachRestartSlot();

    [[nodiscard]] uint64_t GetRestartPending() const;
    void SetRestartPending(uint64_t pending);
    // n = 1..5; anything else gives "" (and is ignored by the setter). A text longer than its
    // field is cut to fit, never into the middle of a UTF-8 sequence, and marks the record as
    // not resumable until the field is written again with a text that fits; the rest of the
    // field is zeroed.
    [[nodiscard]] std::string GetRestartField(int n) const;
    void SetRestartField(int n, std::string_view text);
    // False when a field of the current slot was cut to fit (see kRestartCutOffset).
    [[nodiscard]] bool RecordResumable() const;

    // The slots the restart tool lists, in slot order: every abandoned slot, plus the current
    // slot when its pending flag is set and no session is running.
    [[nodiscard]] std::vector<RestartRecord> ListRestartSlots(bool sessionRunning);
    // The restart tool's OK, in one hold of the named lock: zeroes and frees each slot of
    // `wipe` that is still abandoned (or is this copy's current slot); then, when `chosen` is
    // a slot still abandoned (or the current one) and not wiped, makes it current in place of
    // the current slot, which is left abandoned. True when `chosen` became current.
    [[nodiscard]] bool ApplyRestartTool(const std::vector<int>& wipe, int chosen);

    [[nodiscard]] bool isOpen() const;
    // The file could not be opened or grown for lack of disk space: the store goes without it.
    [[nodiscard]] bool outOfRoom() const;
    [[nodiscard]] int currentSlot() const;
    const std::string& filePath() const { return path_; }
    const std::string& lockPath() const { return lockPath_; }

  private:
    [[nodiscard]] bool OpenLocked();
    [[nodiscard]] bool OwnsCurrentLocked() const;
    [[nodiscard]] char* CurrentSlotLocked() const;

    const std::string path_;
    const std::string lockPath_;
    mutable std::mutex mutex_;  // guards file_ and current_ within this copy
    platform::SharedFile file_;
    int current_ = 0;
};

// The current slot as a record (an empty record with slot 0 when none is current).
[[nodiscard]] RestartRecord ReadRestartRecord(const RestartDatabase& database);
// The current slot's pending flag, 0 without one or when its record is not resumable: at
// connect, non-zero means resume.
[[nodiscard]] uint64_t RestartPendingFlag(const RestartDatabase& database);
// A session that starts with nothing to resume records its host (field 2).
void SetRestartHost(RestartDatabase& database, std::string_view host);
// The "Restart" option switched on for a session: fields 2, 3, 1, then 4 for a download
// ("G..."), then 5.
void WriteRestartRecord(RestartDatabase& database, const RestartRecord& record);

// --- the host page ---

// Start of the host page: claims a slot (a fresh one when "CLConnect" is set). True when the
// resume button is to be shown (the slot's pending flag is set and its record resumable).
[[nodiscard]] bool StartRestartSlot(RestartDatabase& database, const Settings& settings);

// The resume button: sets "Restart" to 1 and gives the host (field 2) to select and
// connect to; the caller hides the button and marks the connect as a resumption.
[[nodiscard]] std::string ResumeRestartSlot(RestartDatabase& database, Settings& settings);

enum class RestartAnswer {
    Yes,
    No,
    Cancel,
};
inline constexpr std::string_view kRestartQuestionTitle = "Restart Question";
// "Preserve restart info for '<host>'?\r\n\r\n(NO will discard restart info!)"
[[nodiscard]] std::string RestartQuestionText(std::string_view host);
// Shows a Yes/No/Cancel box with a warning icon and gives the answer.
using AskRestartQuestion =
    std::function<RestartAnswer(const std::string& title, const std::string& text)>;

// A connect from the host page while the resume button is shown and the connect is not a
// resumption. Without the "RestartDelete" prompt (or without `ask`) the pending flag is
// cleared; with it the user chooses to keep the description for later (Yes: the slot is
// detached and a fresh one claimed), to discard it (No: pending flag 0) or not to connect
// (Cancel). True when the connect goes ahead. Does nothing (and gives true) in every other
// case.
[[nodiscard]] bool PrepareRestartConnect(RestartDatabase& database, const Settings& settings,
                                         bool resumeShown, bool resumption,
                                         const AskRestartQuestion& ask);

// Shutdown of the host page: a current slot with nothing pending is released; then closed.
void ShutdownRestartDatabase(RestartDatabase& database);

// --- the restart tool ---

inline constexpr std::string_view kRestartToolTitle = "Qvex Restart Session Management Tool";

// One row of the tool's list.
struct RestartToolRow {
    int slot = 0;
    std::string file;       // field 4 of a download; the name part of field 5 of an upload
    std::string operation;  // "GET(text)", "PUT(smart)", "GET(image)", ...; kNotResumableText
                            // follows for a record that cannot be resumed
    std::string host;       // field 2
    bool resumable = true;
};
inline constexpr std::string_view kNotResumableText = " not resumable: a path was too long";

// The file column: field 4 for a download, else field 5 after its last "\" or "/".
[[nodiscard]] std::string RestartFileText(const RestartRecord& record);
// The operation column: "GET" or "PUT", then "(text)", "(smart)" or "(image)".
[[nodiscard]] std::string RestartOperationText(std::string_view operation);

// Asked before a wipe while the "RestartDelete" prompt is on; false keeps the rows.
using ConfirmRestartWipe = std::function<bool(const std::vector<RestartToolRow>& rows)>;

struct RestartToolResult {
    bool resume = false;            // a row was chosen: now do what the resume button does
    bool hideResumeButton = false;  // no row chosen and the current slot has nothing pending
};

// What the restart tool's dialog shows and does, without the dialog. Rows are indexed as
// rows() gives them at the moment of the call.
class RestartTool {
  public:
    RestartTool(RestartDatabase& database, const Settings& settings, bool sessionRunning);

    const std::vector<RestartToolRow>& rows() const { return rows_; }
    // The row that starts selected and focused (the current slot's), -1 when none.
    [[nodiscard]] int initialRow() const;

    // "Wipe" and the Delete key: marks the selected rows for deletion and removes them from
    // the list. With "RestartDelete" on and `confirm` given, a refusal keeps them. Gives the
    // number of rows removed.
    [[nodiscard]] size_t Wipe(const std::vector<size_t>& selected,
                              const ConfirmRestartWipe& confirm = {});
    // "Restart": with exactly one resumable row selected, chooses it; true when the dialog is
    // to close as OK.
    [[nodiscard]] bool Restart(const std::vector<size_t>& selected);
    // The dialog closed with OK: deletes the marked slots and switches to the chosen one, or,
    // without a choice, claims a slot again. Then, outside the lock, the caller does what
    // the result says.
    [[nodiscard]] RestartToolResult Commit();

    const std::vector<int>& markedSlots() const { return marked_; }
    int chosenSlot() const { return chosen_; }

  private:
    RestartDatabase& database_;
    bool promptOnDelete_;
    int currentSlot_;
    std::vector<RestartToolRow> rows_;
    std::vector<int> marked_;
    int chosen_ = 0;
};

}  // namespace qvex
