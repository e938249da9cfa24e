#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/shared_file.h"

namespace qvex {

class Settings;

// QvexSdb.dat: per-host connection and transfer counts, shared by every running copy. The
// file is N blocks of 8192 bytes (1 <= N <= 54), seen as 256-byte records; record 0 is the
// header, the others hold one host each. All integers little-endian.
inline constexpr std::string_view kStatisticsFileName = "QvexSdb.dat";
// The named lock held around every opening, lookup, update, commit, deletion and closing.
inline constexpr std::string_view kStatisticsLockName = "QvexSMap";
inline constexpr std::string_view kStatisticsHeaderText = "Qvex PRO Statistics Data\r\n";
// A header counts as ours when these first bytes match ("Qvex PRO Statistics Data").
inline constexpr size_t kStatisticsHeaderCheckLength = 24;
inline constexpr size_t kStatisticsBlockSize = 8192;
inline constexpr size_t kStatisticsRecordSize = 256;
inline constexpr int kStatisticsRecordsPerBlock = 32;
inline constexpr uint32_t kStatisticsMaxBlocks = 54;
// Header: the block count N (u32), then N in-use masks (u32): bit b of mask j is record
// 32 * j + b; bit 0 of mask 0 is the header itself and always set.
inline constexpr size_t kStatisticsBlockCountOffset = 32;
inline constexpr size_t kStatisticsMaskOffset = 36;
// A lone opening adds a block when this many records or fewer are free.
inline constexpr int kStatisticsGrowThreshold = 15;

// Host record: the NUL-terminated key, then five u32 words.
inline constexpr size_t kStatisticsKeyField = 236;
inline constexpr size_t kStatisticsMaxKeyLength = 235;
inline constexpr size_t kStatisticsLastConnectOffset = 236;
inline constexpr size_t kStatisticsConnectsOffset = 240;  // + bits 32-41 of milliseconds
inline constexpr size_t kStatisticsFilesOffset = 244;     // + bits 32-41 of bytes
inline constexpr size_t kStatisticsBytesOffset = 248;
inline constexpr size_t kStatisticsMillisecondsOffset = 252;
// Connects and files are 22-bit counters, bytes and milliseconds 42-bit totals. A sum that
// would pass its width stays at the largest value that fits.
inline constexpr uint32_t kStatisticsMaxCount = (uint32_t{1} << 22) - 1;
inline constexpr uint64_t kStatisticsMaxTotal = (uint64_t{1} << 42) - 1;

// One host's record, unpacked.
struct HostStatistics {
    uint32_t lastConnect = 0;  // packed UTC date and time, 0 when never
    uint32_t connects = 0;
    uint32_t files = 0;
    uint64_t bytes = 0;
    uint64_t milliseconds = 0;

    bool operator==(const HostStatistics&) const = default;
};

// The packed UTC date and time: bits 0-5 second, 6-11 minute, 12-16 hour, 17-21 day,
// 22-25 month, 26-31 (year - 19) modulo 64, so 2003 is 0 and 2009 is 6. Fields are masked
// to their widths.
[[nodiscard]] uint32_t PackUtcTime(int year, unsigned month, unsigned day, unsigned hour,
                                   unsigned minute, unsigned second);
[[nodiscard]] uint32_t PackUtcTime(std::chrono::system_clock::time_point when);
[[nodiscard]] uint32_t PackedUtcNow();

// The 20 counter bytes of a record (offsets 236 to 255), and back. Values beyond their
// widths are stored as the largest value that fits.
void PackHostStatistics(const HostStatistics& statistics, char* record);
[[nodiscard]] HostStatistics UnpackHostStatistics(const char* record);
// stored + added, field by field, each stopping at its largest value; the last connect time
// is replaced when the added one is not 0.
[[nodiscard]] HostStatistics AddHostStatistics(const HostStatistics& stored,
                                               const HostStatistics& added);

// The six statistics of the views, by index.
inline constexpr int kStatisticConnects = 0;
inline constexpr int kStatisticFiles = 1;
inline constexpr int kStatisticBytes = 2;
inline constexpr int kStatisticFileTime = 3;
inline constexpr int kStatisticBytesPerSecond = 4;
inline constexpr int kStatisticBytesPerFile = 5;
inline constexpr int kStatisticCount = 6;
// "CONNECTS", "FILES", "BYTES", "FILE TIME", "BYTES/S", "BYTES/FILE"; "" for another index.
[[nodiscard]] std::string_view StatisticName(int index);

// One listed host with its six statistics. values[4] is bytes per millisecond and values[5]
// bytes per file divided by 1000; both are shown multiplied by 1000 and rounded.
struct HostStatisticsRow {
    int record = 0;
    std::string key;
    HostStatistics statistics;
    std::array<double, kStatisticCount> values{};
};

// What the views show: the listed rows (in record order) and the largest value of each
// statistic over every record, listed or not.
struct StatisticsReport {
    std::vector<HostStatisticsRow> rows;
    std::array<double, kStatisticCount> maxima{};
};

// The row's value of statistic `index` divided by the largest; 0 when the largest is 0.
[[nodiscard]] double StatisticFraction(const StatisticsReport& report, const HostStatisticsRow& row,
                                       int index);
// The value as shown: counts by FormatCount, sizes by FormatSize style 0, the file time by
// FormatDuration without hundredths.
[[nodiscard]] std::string StatisticValueText(const HostStatisticsRow& row, int index);
// "%d\t%.2f\t%s\t%s": index, fraction, value text, label. The fraction always has a "."
// whatever the locale.
[[nodiscard]] std::string StatisticLine(int index, double fraction, std::string_view valueText,
                                        std::string_view label);
// The host page's panel: the six statistics of the host `key`, labelled with their names;
// empty when the report has no such host.
[[nodiscard]] std::vector<std::string> HostPanelLines(const StatisticsReport& report,
                                                      std::string_view key);
// The statistics dialog: one line per host for statistic `index`, largest first (equal
// values in record order), labelled with the host key.
[[nodiscard]] std::vector<std::string> StatisticsDialogLines(const StatisticsReport& report,
                                                             int index);
// The text export of the statistics: the dialog's lines for `index`, each ended by LF.
[[nodiscard]] std::string ExportStatisticsText(const StatisticsReport& report, int index);

// The statistics state of one running copy. Failures never throw: when the file cannot be
// opened or mapped the copy runs without statistics (lookups give 0, commits do nothing,
// reports are empty). Thread-safe; the named lock serialises every access between copies.
class StatisticsDatabase {
  public:
    // `dataFolder` is the "AppData" folder; `settings` (whose "Statistics" decides whether an
    // empty file is deleted at closing) must outlive the object.
    StatisticsDatabase(std::string dataFolder, const Settings& settings);
    StatisticsDatabase(const StatisticsDatabase&) = delete;
    StatisticsDatabase& operator=(const StatisticsDatabase&) = delete;
    // Closes as CloseStatisticsDatabase does.
    ~StatisticsDatabase();

    // Opens or creates and maps the file. A short, foreign or damaged file is rebuilt empty
    // (one block). A copy that opens a valid file alone adds one block when 15 or fewer
    // records are free and the file has fewer than 54 blocks. True when mapped.
    [[nodiscard]] bool OpenStatisticsDatabase();
    // Unmaps and closes. When no host record is in use, "Statistics" is 0 and no other copy
    // has the file open, the file is deleted.
    void CloseStatisticsDatabase();

    // The record whose key equals `key` byte for byte; with `create`, a new record (the lowest
    // free one) when there is none. 0 when not found, when no record is free, or for an empty
    // key. Keys are cut at a NUL and to 235 bytes, both when stored and when looked for.
    [[nodiscard]] int FindHostRecord(std::string_view key, bool create);
    // Zeroes the record and clears its in-use bit.
    void DeleteHostRecord(int number);
    // The record's counters and key; nullopt for a record that is not in use.
    [[nodiscard]] std::optional<HostStatistics> ReadHostRecord(int number);

    // Starts counting for `key`: finds or creates its record, forgets what was not committed.
    void BeginHostStatistics(std::string_view key);
    // Values gathered for the next commit.
    void AccumulateConnect(uint32_t packedTime);
    void AccumulateTransfer(uint64_t bytes, uint64_t milliseconds);
    // Adds the gathered values to the record and forgets them. When the record was deleted
    // or taken over since BeginHostStatistics, the key is looked up (and created) again.
    void CommitHostStatistics();

    // Every host in use (or only `filterKey`), with the maxima over all of them. Records in
    // use with an empty key are deleted on the way.
    [[nodiscard]] StatisticsReport ReadAllHostStatistics(
        std::optional<std::string_view> filterKey = std::nullopt);

    [[nodiscard]] bool isOpen() const;
    // The file could not be opened or grown for lack of disk space: the store goes without it.
    [[nodiscard]] bool outOfRoom() const;
    // N of the open file, 0 when closed.
    [[nodiscard]] uint32_t blockCount() const;
    // The record BeginHostStatistics found, 0 when none.
    [[nodiscard]] int currentRecord() const;
    [[nodiscard]] HostStatistics pending() const;
    const std::string& filePath() const { return path_; }
    const std::string& lockPath() const { return lockPath_; }

  private:
    [[nodiscard]] bool UsableLocked();
    [[nodiscard]] bool OpenLocked();
    [[nodiscard]] bool ValidLocked() const;
    [[nodiscard]] bool RebuildLocked();
    void GrowLocked();
    [[nodiscard]] int FindLocked(std::string_view key, bool create);
    void DeleteLocked(int number);
    [[nodiscard]] bool InUseLocked(int number) const;
    [[nodiscard]] int RecordCountLocked() const;

    const std::string path_;
    const std::string lockPath_;
    const Settings& settings_;
    mutable std::mutex mutex_;  // guards everything below within this copy
    platform::SharedFile file_;
    int record_ = 0;
    std::string key_;
    HostStatistics pending_;
};

}  // namespace qvex
