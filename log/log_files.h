#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_view.h"

namespace qvex {

// "LogKeep": how many session logs stay on disk at exit, the current one included.
inline constexpr int kLogKeepNone = 0;    // "Keep NO logs (past current session)": not even a file
inline constexpr int kLogKeepFive = 1;    // "Keep last 5 session logs"
inline constexpr int kLogKeepThirty = 2;  // "Keep last 30 session logs"
inline constexpr int kLogKeepAll = 3;     // "Keep ALL session logs (use with caution)"

// What the export dialog and its error box say.
inline constexpr const char* kSaveLogTitle = "Save Log";
inline constexpr const char* kSaveLogFilter = "Text files (*.txt)";

// Everything the session log's files need from outside, read by the caller from the
// settings ("AppData", "LogKeep") and the clock.
struct LogFilesOptions {
    // The per-user data folder; a missing trailing separator is added. Empty: the program
    // runs without one, and the log lives in memory.
    std::string dataFolder;
    int logKeep = kLogKeepFive;
    // Seconds since 1970 (UTC); the system clock when empty. Tests fix it.
    std::function<int64_t()> now;
};

// A log file's name for a local wall-clock time: "20260107081321.txt", or with
// "_2.txt", "_3.txt", ... in place of ".txt" for the second, third, ... try (try >= 2).
[[nodiscard]] std::string LogFileName(int year, int month, int day, int hour, int minute,
                                      int second, int attempt);

// True for the names of saved logs: "20*.txt", at least 18 characters, 14 digits (year to
// second) and then '.' or '_'.
[[nodiscard]] bool IsSavedLogName(std::string_view name);

// The C library's 24-character date text of a moment in local time, English names,
// "Mon Dec  7 08:13:21 2026"; "" when the moment cannot be converted.
[[nodiscard]] std::string LocalDateText(int64_t time);

// The date text of a log name's 14 digits read as a local wall-clock time; a time that
// does not exist (month 13, a skipped daylight-saving hour is moved on as the C library
// does) falls back to "YYYY/MM/DD hh:mm:ss" of the digits.
[[nodiscard]] std::string LogNameDateText(std::string_view name);

// Header line 1 of a session log. `specialBuild` and `privateBuild` fill the optional part
// ' "special private"' (the space only when both are given); both empty leave it out.
[[nodiscard]] std::string LogHeaderLineOne(std::string_view dateText,
                                           std::string_view specialBuild = {},
                                           std::string_view privateBuild = {});
// Header line 2: the operating system's name in brackets.
[[nodiscard]] std::string LogHeaderLineTwo();

// The session log's files: the current log (slot 0, a new file in the data folder, or
// memory only), the list of log names with the current log as entry 0, the saved log on
// view (slot 1), wipe, delete, export, and at exit the cut of the current file and the
// retention of old logs.
//
// One thread (the window's, or the command line's main thread) calls everything here. The
// log receiver writes slot 0 from its own thread; it is started after Open() on
// currentView() and must be stopped before Close().
class SessionLogFiles {
  public:
    static constexpr uint32_t kInitialMapping = LogView::kMappingStep;

    explicit SessionLogFiles(LogFilesOptions options);
    SessionLogFiles(const SessionLogFiles&) = delete;
    SessionLogFiles& operator=(const SessionLogFiles&) = delete;
    // Closes (cut and retention) if Close() was not called.
    ~SessionLogFiles();

    // Creates the current log with its two header lines: a new file in the data folder
    // unless "LogKeep" is 0, else (or when the file cannot be created) memory that is lost
    // at exit; a full disk is said in a "***" line behind the header. The file is locked
    // for the whole run, so other copies neither delete it nor read it as finished. False
    // when not even memory could be mapped: no header, and no receiver should be started.
    [[nodiscard]] bool Open();

    LogView& currentView() { return current_; }
    const LogView& currentView() const { return current_; }
    // Slot 0 while entry 0 is selected, else the saved log on view.
    LogView& displayedView() { return selected_ == 0 ? current_ : saved_; }
    const LogView& displayedView() const { return selected_ == 0 ? current_ : saved_; }
    bool showingCurrent() const { return selected_ == 0; }

    // Full path of the current log's file; "" when it lives in memory only.
    std::string currentPath() const;
    bool currentHasFile() const { return currentHasFile_; }
    // The used length just behind the two header lines.
    uint32_t headerEnd() const { return headerEnd_; }

    // Log names without folder, newest first; entry 0 is the current log.
    const std::vector<std::string>& names() const { return names_; }
    // The selector's texts: each name's date text.
    std::vector<std::string> DateTexts() const;
    size_t selected() const { return selected_; }
    // The proposed file name for an export: the displayed log's name.
    std::string displayedName() const;
    bool selectorEnabled() const;
    bool exportEnabled() const;

    // Adds the saved logs of the data folder to the list, newest first, behind entry 0.
    // Reads the folder at most once per run; returns the number of entries.
    size_t ListSavedLogs();

    // The display switches used when a choice rebuilds the displayed index.
    void SetDisplaySwitches(bool showCommands, bool showExtended);

    // Shows entry `index`: 0 the current log, any other a saved log mapped read-only. A saved
    // log that cannot be opened leaves the current log on view. Returns the entry shown.
    size_t Choose(size_t index);

    // Forgets the current log's lines behind the header; the file keeps its bytes until the
    // cut at exit, and later lines overwrite the wiped text.
    void Wipe();

    // Deletes saved log `index` (1 or more): its entry goes, the selection moves to the entry
    // that took its place (or the one before it, when it was last), and its file is removed;
    // a file already gone is no failure. The log of another running copy is not deleted: a
    // "!!!" line says so and nothing changes. Returns the entry shown afterwards.
    size_t Delete(size_t index);

    // Writes the displayed log's whole text (whatever the switches hide) to `path`. On
    // failure returns false and sets `message` to "Unable to save to <path>".
    [[nodiscard]] bool Export(const std::string& path, std::string& message) const;

    // At exit: closes both views, cuts the current file to its used length (deletes it when
    // nothing was logged behind the header), then deletes the logs past the number that
    // "LogKeep" keeps, except those that other running copies are still writing. Does
    // nothing the second time.
    void Close();

  private:
    bool CreateCurrentFile(const std::string& stem, platform::GrowableMapping& mapping);
    void CloseSaved();
    void ApplyRetention();
    std::string PathOf(const std::string& name) const;

    LogFilesOptions options_;
    LogView current_;
    LogView saved_;
    std::vector<std::string> names_;
    std::string currentName_;  // the current log's name, also after its entry is gone
    std::string savedName_;    // the name mapped in slot 1, "" when none
    size_t selected_ = 0;
    uint32_t headerEnd_ = 0;
    bool currentHasFile_ = false;
    bool listed_ = false;
    bool closed_ = false;
    bool showCommands_ = true;
    bool showExtended_ = true;
};

}  // namespace qvex
