#include "state/statistics_database.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/file_lock.h"
#include "platform/paths.h"
#include "state/settings.h"
#include "util/format.h"

namespace qvex {
namespace {

constexpr uint32_t kHeaderBit = 1;
constexpr uint32_t kLow22 = kStatisticsMaxCount;
constexpr uint32_t kHigh10 = 0x3FF;
// Header fields must lie within the first record.
static_assert(kStatisticsMaskOffset + 4 * kStatisticsMaxBlocks <= kStatisticsRecordSize);
static_assert(kStatisticsHeaderText.size() + 1 <= kStatisticsBlockCountOffset);

uint32_t LoadWord(const char* at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(at[i]);
    }
    return value;
}

void StoreWord(char* at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        at[i] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
}

// What is stored and looked for: the text up to a NUL, at most 235 bytes.
std::string_view StoredKey(std::string_view key) {
    key = key.substr(0, std::min(key.find('\0'), key.size()));
    return key.substr(0, std::min(key.size(), kStatisticsMaxKeyLength));
}

std::string_view KeyOf(const char* record) {
    return std::string_view(record, std::find(record, record + kStatisticsKeyField, '\0'));
}

int64_t ShownValue(double value) {
    return static_cast<int64_t>(value * 1000.0 + 0.5);
}

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != platform::kPathSeparator) {
        folder += platform::kPathSeparator;
    }
    return folder;
}

HostStatisticsRow RowOf(int number, std::string_view key, const HostStatistics& statistics) {
    HostStatisticsRow row;
    row.record = number;
    row.key = std::string(key);
    row.statistics = statistics;
    row.values[kStatisticConnects] = statistics.connects;
    row.values[kStatisticFiles] = statistics.files;
    row.values[kStatisticBytes] = static_cast<double>(statistics.bytes);
    row.values[kStatisticFileTime] = static_cast<double>(statistics.milliseconds);
    row.values[kStatisticBytesPerSecond] =
        statistics.milliseconds != 0
            ? static_cast<double>(statistics.bytes) / static_cast<double>(statistics.milliseconds)
            : 0.0;
    row.values[kStatisticBytesPerFile] =
        statistics.files != 0 ? static_cast<double>(statistics.bytes) / 1000.0 / statistics.files
                              : 0.0;
    return row;
}

}  // namespace

uint32_t PackUtcTime(int year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                     unsigned second) {
    // The year field counts from 2003 and wraps every 64 years.
    const auto yearField = static_cast<uint32_t>(((year - 19) % 64 + 64) % 64);
    return (second & 0x3Fu) | (minute & 0x3Fu) << 6 | (hour & 0x1Fu) << 12 | (day & 0x1Fu) << 17 |
           (month & 0xFu) << 22 | yearField << 26;
}

uint32_t PackUtcTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss time{floor<seconds>(when - day)};
    return PackUtcTime(static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                       static_cast<unsigned>(date.day()),
                       static_cast<unsigned>(time.hours().count()),
                       static_cast<unsigned>(time.minutes().count()),
                       static_cast<unsigned>(time.seconds().count()));
}

uint32_t PackedUtcNow() {
    return PackUtcTime(std::chrono::system_clock::now());
}

void PackHostStatistics(const HostStatistics& statistics, char* record) {
    const uint32_t connects = std::min(statistics.connects, kStatisticsMaxCount);
    const uint32_t files = std::min(statistics.files, kStatisticsMaxCount);
    const uint64_t bytes = std::min(statistics.bytes, kStatisticsMaxTotal);
    const uint64_t milliseconds = std::min(statistics.milliseconds, kStatisticsMaxTotal);
    StoreWord(record + kStatisticsLastConnectOffset, statistics.lastConnect);
    StoreWord(record + kStatisticsConnectsOffset,
              connects | static_cast<uint32_t>(milliseconds >> 32) << 22);
    StoreWord(record + kStatisticsFilesOffset, files | static_cast<uint32_t>(bytes >> 32) << 22);
    StoreWord(record + kStatisticsBytesOffset, static_cast<uint32_t>(bytes & 0xFFFFFFFFu));
    StoreWord(record + kStatisticsMillisecondsOffset,
              static_cast<uint32_t>(milliseconds & 0xFFFFFFFFu));
}

HostStatistics UnpackHostStatistics(const char* record) {
    const uint32_t connectsWord = LoadWord(record + kStatisticsConnectsOffset);
    const uint32_t filesWord = LoadWord(record + kStatisticsFilesOffset);
    HostStatistics statistics;
    statistics.lastConnect = LoadWord(record + kStatisticsLastConnectOffset);
    statistics.connects = connectsWord & kLow22;
    statistics.files = filesWord & kLow22;
    statistics.bytes =
        uint64_t{(filesWord >> 22) & kHigh10} << 32 | LoadWord(record + kStatisticsBytesOffset);
    statistics.milliseconds = uint64_t{(connectsWord >> 22) & kHigh10} << 32 |
                              LoadWord(record + kStatisticsMillisecondsOffset);
    return statistics;
}

HostStatistics AddHostStatistics(const HostStatistics& stored, const HostStatistics& added) {
    auto count = [](uint32_t a, uint32_t b) {
        return static_cast<uint32_t>(
            std::min<uint64_t>(uint64_t{a} + uint64_t{b}, uint64_t{kStatisticsMaxCount}));
    };
    auto total = [](uint64_t a, uint64_t b) {
        // Both fit in 42 bits after clamping, so the sum cannot overflow.
        return std::min(std::min(a, kStatisticsMaxTotal) + std::min(b, kStatisticsMaxTotal),
                        kStatisticsMaxTotal);
    };
    HostStatistics sum;
    sum.lastConnect = added.lastConnect != 0 ? added.lastConnect : stored.lastConnect;
    sum.connects = count(stored.connects, added.connects);
    sum.files = count(stored.files, added.files);
    sum.bytes = total(stored.bytes, added.bytes);
    sum.milliseconds = total(stored.milliseconds, added.milliseconds);
    return sum;
}

std::string_view StatisticName(int index) {
    static constexpr std::string_view kNames[kStatisticCount] = {
        "CONNECTS", "FILES", "BYTES", "FILE TIME", "BYTES/S", "BYTES/FILE",
    };
    return index >= 0 && index < kStatisticCount ? kNames[index] : std::string_view();
}

double StatisticFraction(const StatisticsReport& report, const HostStatisticsRow& row, int index) {
    if (index < 0 || index >= kStatisticCount) {
        return 0.0;
    }
    const auto at = static_cast<size_t>(index);
    return report.maxima[at] > 0.0 ? row.values[at] / report.maxima[at] : 0.0;
}

std::string StatisticValueText(const HostStatisticsRow& row, int index) {
    const HostStatistics& statistics = row.statistics;
    switch (index) {
        case kStatisticConnects:
            return FormatCount(statistics.connects);
        case kStatisticFiles:
            return FormatCount(statistics.files);
        case kStatisticBytes:
            return FormatSize(static_cast<int64_t>(statistics.bytes), kSizePlain);
        case kStatisticFileTime:
            return FormatDuration(static_cast<int64_t>(statistics.milliseconds), 0);
        case kStatisticBytesPerSecond:
        case kStatisticBytesPerFile:
            return FormatSize(ShownValue(row.values[static_cast<size_t>(index)]), kSizePlain);
        default:
            return {};
    }
}

std::string StatisticLine(int index, double fraction, std::string_view valueText,
                          std::string_view label) {
    char number[64];
    const auto written =
        std::to_chars(number, number + sizeof number, fraction, std::chars_format::fixed, 2);
    std::string line = std::to_string(index);
    line += '\t';
    line.append(number, written.ec == std::errc() ? written.ptr : number);
    line += '\t';
    line += valueText;
    line += '\t';
    line += label;
    return line;
}

std::vector<std::string> HostPanelLines(const StatisticsReport& report, std::string_view key) {
    std::vector<std::string> lines;
    const auto row = std::find_if(report.rows.begin(), report.rows.end(),
                                  [&](const HostStatisticsRow& each) { return each.key == key; });
    if (row == report.rows.end()) {
        return lines;
    }
    for (int index = 0; index < kStatisticCount; ++index) {
        lines.push_back(StatisticLine(index, StatisticFraction(report, *row, index),
                                      StatisticValueText(*row, index), StatisticName(index)));
    }
    return lines;
}

std::vector<std::string> StatisticsDialogLines(const StatisticsReport& report, int index) {
    std::vector<std::string> lines;
    if (index < 0 || index >= kStatisticCount) {
        return lines;
    }
    const auto at = static_cast<size_t>(index);
    std::vector<const HostStatisticsRow*> order;
    for (const HostStatisticsRow& row : report.rows) {
        order.push_back(&row);
    }
    std::stable_sort(order.begin(), order.end(),
                     [at](const HostStatisticsRow* a, const HostStatisticsRow* b) {
                         return a->values[at] > b->values[at];
                     });
    for (const HostStatisticsRow* row : order) {
        lines.push_back(StatisticLine(index, StatisticFraction(report, *row, index),
                                      StatisticValueText(*row, index), row->key));
    }
    return lines;
}

std::string ExportStatisticsText(const StatisticsReport& report, int index) {
    std::string text;
    for (const std::string& line : StatisticsDialogLines(report, index)) {
        text += line;
        text += '\n';
    }
    return text;
}

StatisticsDatabase::StatisticsDatabase(std::string dataFolder, const Settings& settings)
    : path_(WithSeparator(dataFolder) + std::string(kStatisticsFileName)),
      lockPath_(WithSeparator(std::move(dataFolder)) + std::string(kStatisticsLockName)),
      settings_(settings) {}

StatisticsDatabase::~StatisticsDatabase() {
    CloseStatisticsDatabase();
}

bool StatisticsDatabase::OpenStatisticsDatabase() {
    std::lock_guard guard(mutex_);
    platform::FileLock named;
    return named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) && UsableLocked();
}

// Every access starts here, under the named lock: the file is opened when needed, and a file
// that another party has resized or damaged since is mapped anew or rebuilt, so no record is
// ever read beyond the file's end.
bool StatisticsDatabase::UsableLocked() {
    if (!file_.mapped()) {
        return OpenLocked();
    }
    if (!file_.Refresh()) {
        file_.Close();  // emptied under us: open again, which rebuilds it
        return OpenLocked();
    }
    return ValidLocked() || RebuildLocked();
}

bool StatisticsDatabase::OpenLocked() {
    const platform::SharedFile::OpenResult result =
        file_.Open(path_, kStatisticsBlockSize, platform::SharedFile::SizeRule::KeepOwn);
    if (result == platform::SharedFile::OpenResult::Failed) {
        return false;
    }
    if (result != platform::SharedFile::OpenResult::Existing || !ValidLocked()) {
        return RebuildLocked();
    }
    // Only a copy alone may change the size: no other copy has the file mapped.
    if (file_.Alone()) {
        GrowLocked();
    }
    return true;
}

bool StatisticsDatabase::ValidLocked() const {
    const char* view = file_.data();
    if (file_.size() < kStatisticsBlockSize ||
        std::memcmp(view, kStatisticsHeaderText.data(), kStatisticsHeaderCheckLength) != 0) {
        return false;
    }
    const uint32_t blocks = LoadWord(view + kStatisticsBlockCountOffset);
    return blocks >= 1 && blocks <= kStatisticsMaxBlocks &&
           file_.size() >= blocks * kStatisticsBlockSize &&
           (LoadWord(view + kStatisticsMaskOffset) & kHeaderBit) != 0;
}

bool StatisticsDatabase::RebuildLocked() {
    if (!file_.Resize(kStatisticsBlockSize)) {
        file_.Close();
        return false;
    }
    char* view = file_.data();
    std::memset(view, 0, kStatisticsBlockSize);
    std::memcpy(view, kStatisticsHeaderText.data(), kStatisticsHeaderText.size());
    StoreWord(view + kStatisticsBlockCountOffset, 1);
    StoreWord(view + kStatisticsMaskOffset, kHeaderBit);
    return true;
}

void StatisticsDatabase::GrowLocked() {
    const uint32_t blocks = LoadWord(file_.data() + kStatisticsBlockCountOffset);
    if (blocks >= kStatisticsMaxBlocks) {
        return;
    }
    int free = 0;
    for (int number = 1; number < RecordCountLocked(); ++number) {
        free += InUseLocked(number) ? 0 : 1;
    }
    if (free > kStatisticsGrowThreshold || !file_.Resize((blocks + 1) * kStatisticsBlockSize)) {
        return;
    }
    char* view = file_.data();
    // The file may have been longer than its blocks (a growth cut short): the new block
    // starts empty all the same.
    std::memset(view + blocks * kStatisticsBlockSize, 0, kStatisticsBlockSize);
    StoreWord(view + kStatisticsBlockCountOffset, blocks + 1);
}

int StatisticsDatabase::RecordCountLocked() const {
    const uint32_t blocks = LoadWord(file_.data() + kStatisticsBlockCountOffset);
    return static_cast<int>(blocks) * kStatisticsRecordsPerBlock;
}

bool StatisticsDatabase::InUseLocked(int number) const {
    const auto index = static_cast<size_t>(number);
    const uint32_t mask = LoadWord(file_.data() + kStatisticsMaskOffset + 4 * (index / 32));
    return (mask >> (index % 32) & 1) != 0;
}

int StatisticsDatabase::FindLocked(std::string_view key, bool create) {
    key = StoredKey(key);
    if (key.empty()) {
        return 0;
    }
    char* view = file_.data();
    const int count = RecordCountLocked();
    for (int number = 1; number < count; ++number) {
        if (InUseLocked(number) &&
            KeyOf(view + static_cast<size_t>(number) * kStatisticsRecordSize) == key) {
            return number;
        }
    }
    if (!create) {
        return 0;
    }
    for (int number = 1; number < count; ++number) {
        if (InUseLocked(number)) {
            continue;
        }
        const auto index = static_cast<size_t>(number);
        char* maskAt = view + kStatisticsMaskOffset + 4 * (index / 32);
        StoreWord(maskAt, LoadWord(maskAt) | uint32_t{1} << (index % 32));
        char* record = view + index * kStatisticsRecordSize;
        std::memset(record, 0, kStatisticsRecordSize);
        std::memcpy(record, key.data(), key.size());
        return number;
    }
    return 0;
}

void StatisticsDatabase::DeleteLocked(int number) {
    if (number < 1 || number >= RecordCountLocked()) {
        return;
    }
    const auto index = static_cast<size_t>(number);
    char* view = file_.data();
    std::memset(view + index * kStatisticsRecordSize, 0, kStatisticsRecordSize);
    char* maskAt = view + kStatisticsMaskOffset + 4 * (index / 32);
    StoreWord(maskAt, LoadWord(maskAt) & ~(uint32_t{1} << (index % 32)));
}

void StatisticsDatabase::CloseStatisticsDatabase() {
    std::lock_guard guard(mutex_);
    record_ = 0;
    key_.clear();
    pending_ = {};
    if (!file_.mapped()) {
        return;
    }
    platform::FileLock named;
    (void)named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive);
    bool anyHost = false;
    if (UsableLocked()) {
        for (int number = 1; number < RecordCountLocked() && !anyHost; ++number) {
            anyHost = InUseLocked(number);
        }
    }
    // Another copy still working with the file keeps it.
    const bool alone = file_.mapped() && file_.Alone();
    (void)file_.Flush();
    file_.Close();
    if (!anyHost && alone && settings_.GetInt("Statistics") == 0) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

int StatisticsDatabase::FindHostRecord(std::string_view key, bool create) {
    std::lock_guard guard(mutex_);
    platform::FileLock named;
    if (!named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) || !UsableLocked()) {
        return 0;
    }
    return FindLocked(key, create);
}

void StatisticsDatabase::DeleteHostRecord(int number) {
    std::lock_guard guard(mutex_);
    platform::FileLock named;
    if (named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) && UsableLocked()) {
        DeleteLocked(number);
    }
}

std::optional<HostStatistics> StatisticsDatabase::ReadHostRecord(int number) {
    std::lock_guard guard(mutex_);
    platform::FileLock named;
    if (!named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) || !UsableLocked() ||
        number < 1 || number >= RecordCountLocked() || !InUseLocked(number)) {
        return std::nullopt;
    }
    return UnpackHostStatistics(file_.data() + static_cast<size_t>(number) * kStatisticsRecordSize);
}

void StatisticsDatabase::BeginHostStatistics(std::string_view key) {
    std::lock_guard guard(mutex_);
    key_ = std::string(StoredKey(key));
    pending_ = {};
    record_ = 0;
    platform::FileLock named;
    if (named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) && UsableLocked()) {
        record_ = FindLocked(key_, true);
    }
}

void StatisticsDatabase::AccumulateConnect(uint32_t packedTime) {
    std::lock_guard guard(mutex_);
    pending_.lastConnect = packedTime;
    pending_.connects = AddHostStatistics(pending_, HostStatistics{0, 1, 0, 0, 0}).connects;
}

void StatisticsDatabase::AccumulateTransfer(uint64_t bytes, uint64_t milliseconds) {
    std::lock_guard guard(mutex_);
    pending_ = AddHostStatistics(pending_, HostStatistics{0, 0, 1, bytes, milliseconds});
}

void StatisticsDatabase::CommitHostStatistics() {
    std::lock_guard guard(mutex_);
    const HostStatistics added = std::exchange(pending_, HostStatistics{});
    if (key_.empty() || record_ == 0) {
        return;
    }
    platform::FileLock named;
    if (!named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) || !UsableLocked()) {
        return;
    }
    // Another copy's statistics dialog may have deleted the record, and a new host may
    // have taken its place since.
    const bool stillOurs =
        record_ < RecordCountLocked() && InUseLocked(record_) &&
        KeyOf(file_.data() + static_cast<size_t>(record_) * kStatisticsRecordSize) == key_;
    if (!stillOurs) {
        record_ = FindLocked(key_, true);
        if (record_ == 0) {
            return;
        }
    }
    char* record = file_.data() + static_cast<size_t>(record_) * kStatisticsRecordSize;
    PackHostStatistics(AddHostStatistics(UnpackHostStatistics(record), added), record);
}

StatisticsReport StatisticsDatabase::ReadAllHostStatistics(
    std::optional<std::string_view> filterKey) {
    std::lock_guard guard(mutex_);
    StatisticsReport report;
    platform::FileLock named;
    if (!named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) || !UsableLocked()) {
        return report;
    }
    const bool filtered = filterKey.has_value();
    const std::string_view filter = filtered ? StoredKey(*filterKey) : std::string_view();
    for (int number = 1; number < RecordCountLocked(); ++number) {
        if (!InUseLocked(number)) {
            continue;
        }
        const char* record = file_.data() + static_cast<size_t>(number) * kStatisticsRecordSize;
        const std::string_view key = KeyOf(record);
        if (key.empty()) {
            DeleteLocked(number);
            continue;
        }
        HostStatisticsRow row = RowOf(number, key, UnpackHostStatistics(record));
        for (size_t index = 0; index < report.maxima.size(); ++index) {
            report.maxima[index] = std::max(report.maxima[index], row.values[index]);
        }
        if (!filtered || key == filter) {
            report.rows.push_back(std::move(row));
        }
    }
    return report;
}

bool StatisticsDatabase::isOpen() const {
    std::lock_guard guard(mutex_);
    return file_.mapped();
}

bool StatisticsDatabase::outOfRoom() const {
    std::lock_guard guard(mutex_);
    return file_.outOfRoom();
}

uint32_t StatisticsDatabase::blockCount() const {
    std::lock_guard guard(mutex_);
    return file_.mapped() ? LoadWord(file_.data() + kStatisticsBlockCountOffset) : 0;
}

int StatisticsDatabase::currentRecord() const {
    std::lock_guard guard(mutex_);
    return record_;
}

HostStatistics StatisticsDatabase::pending() const {
    std::lock_guard guard(mutex_);
    return pending_;
}

}  // namespace qvex
