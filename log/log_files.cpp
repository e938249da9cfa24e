#include "log/log_files.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

#include "log/log_kind.h"
#include "log/log_sink.h"
#include "platform/file_lock.h"
#include "platform/local_file.h"
#include "platform/locale.h"
#include "platform/mapped_file.h"
#include "platform/paths.h"
#include "platform/system_name.h"
#include "state/version.h"

namespace qvex {
namespace {

// Creation gives up after this many taken names in one second and keeps the log in memory.
constexpr int kMaxNameAttempts = 10000;

// The build code of header line 1, kept scrambled in the program (each byte XOR kBuildKey)
// so that it does not stand in the binary as plain text.
constexpr unsigned char kBuildKey = 0x5A;
constexpr std::array<unsigned char, 6> kScrambledBuild = {
    '2' ^ kBuildKey, '6' ^ kBuildKey, '0' ^ kBuildKey,
    '1' ^ kBuildKey, '0' ^ kBuildKey, '7' ^ kBuildKey,
};

std::string BuildCode() {
    std::string code;
    for (unsigned char scrambled : kScrambledBuild) {
        code.push_back(static_cast<char>(scrambled ^ kBuildKey));
    }
    return code;
}

// Day of the week of a Gregorian date, 0 = Sunday (Sakamoto's method).
int WeekDay(int year, int month, int day) {
    static constexpr int kMonthShift[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) {
        --year;
    }
    int weekDay = (year + year / 4 - year / 100 + year / 400 + kMonthShift[month - 1] + day) % 7;
    return weekDay < 0 ? weekDay + 7 : weekDay;
}

int64_t SystemNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int Digits(std::string_view text) {
    int value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
    }
    return value;
}

bool AllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// How many entries of the name list "LogKeep" keeps at exit.
size_t KeptEntries(int logKeep) {
    switch (logKeep) {
        case kLogKeepNone:
            return 0;
        case kLogKeepFive:
            return 5;
        case kLogKeepThirty:
            return 30;
        default:
            return SIZE_MAX;  // "Keep ALL", and anything unknown deletes nothing
    }
}

}  // namespace

std::string LogFileName(int year, int month, int day, int hour, int minute, int second,
                        int attempt) {
    char name[96];
    std::snprintf(name, sizeof name, "%4d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                  second);
    std::string out = name;
    if (attempt >= 2) {
        out += "_" + std::to_string(attempt);
    }
    return out + ".txt";
}

bool IsSavedLogName(std::string_view name) {
    constexpr std::string_view kSuffix = ".txt";
    return name.size() >= 18 && name.substr(0, 2) == "20" &&
           name.substr(name.size() - kSuffix.size()) == kSuffix && AllDigits(name.substr(0, 14)) &&
           (name[14] == '.' || name[14] == '_');
}

std::string LocalDateText(int64_t time) {
    static constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    platform::CalendarTime local;
    if (!platform::TimeToLocalCalendar(time, local) || local.month < 1 || local.month > 12) {
        return {};
    }
    // The C library's date text: "%.3s %.3s%3d %.2d:%.2d:%.2d %d", English names always.
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d",
                  kDays[WeekDay(local.year, local.month, local.day)], kMonths[local.month - 1],
                  local.day, local.hour, local.minute, local.second, local.year);
    return std::string(text).substr(0, 24);
}

std::string LogNameDateText(std::string_view name) {
    std::string_view digits = name.substr(0, 14);
    if (digits.size() == 14 && AllDigits(digits)) {
        platform::CalendarTime local;
        local.year = Digits(digits.substr(0, 4));
        local.month = Digits(digits.substr(4, 2));
        local.day = Digits(digits.substr(6, 2));
        local.hour = Digits(digits.substr(8, 2));
        local.minute = Digits(digits.substr(10, 2));
        local.second = Digits(digits.substr(12, 2));
        int64_t time = 0;
        if (platform::LocalCalendarToTime(local, time)) {
            std::string text = LocalDateText(time);
            if (!text.empty()) {
                return text;
            }
        }
    }
    // "%.4s/%.2s/%.2s %.2s:%.2s:%.2s" of the name's characters.
    auto part = [&](size_t at, size_t length) {
        return at < name.size() ? std::string(name.substr(at, length)) : std::string();
    };
    return part(0, 4) + "/" + part(4, 2) + "/" + part(6, 2) + " " + part(8, 2) + ":" + part(10, 2) +
           ":" + part(12, 2);
}

std::string LogHeaderLineOne(std::string_view dateText, std::string_view specialBuild,
                             std::string_view privateBuild) {
    std::string optional;
    if (!specialBuild.empty() || !privateBuild.empty()) {
        optional = " \"" + std::string(specialBuild) +
                   (!specialBuild.empty() && !privateBuild.empty() ? " " : "") +
                   std::string(privateBuild) + "\"";
    }
    return "[" + std::string(kProgramTitle) + " (" + kFileVersion + " build 90" + BuildCode() +
           ")" + optional + " log started on " + std::string(dateText.substr(0, 24)) + "]";
}

std::string LogHeaderLineTwo() {
    return "[" + platform::SystemName() + "]";
}

SessionLogFiles::SessionLogFiles(LogFilesOptions options) : options_(std::move(options)) {
    if (!options_.dataFolder.empty() && options_.dataFolder.back() != platform::kPathSeparator) {
        options_.dataFolder.push_back(platform::kPathSeparator);
    }
    if (!options_.now) {
        options_.now = SystemNow;
    }
}

SessionLogFiles::~SessionLogFiles() {
    Close();
}

std::string SessionLogFiles::PathOf(const std::string& name) const {
    return options_.dataFolder + name;
}

std::string SessionLogFiles::currentPath() const {
    return currentHasFile_ ? PathOf(currentName_) : std::string();
}

bool SessionLogFiles::Open() {
    if (current_.mapped() || closed_) {
        return current_.mapped();
    }
    const int64_t now = options_.now();
    platform::CalendarTime local;
    (void)platform::TimeToLocalCalendar(now, local);  // 1970-01-01 when the clock is odd
    auto name = [&](int attempt) {
        return LogFileName(local.year, local.month, local.day, local.hour, local.minute,
                           local.second, attempt);
    };

    auto mapping = std::make_unique<platform::GrowableMapping>();
    currentName_ = name(1);
    currentHasFile_ = false;
    std::string note;
    // Without a data folder the log lives in memory: a relative name would land wherever
    // the program was started.
    if (options_.logKeep != kLogKeepNone && !options_.dataFolder.empty()) {
        // Two starts in one second: the second file is NAME_2.txt, the third NAME_3.txt.
        for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
            auto result = mapping->CreateFile(PathOf(name(attempt)), kInitialMapping);
            if (result == platform::GrowableMapping::CreateResult::Exists) {
                continue;
            }
            if (result == platform::GrowableMapping::CreateResult::Created) {
                currentName_ = name(attempt);
                currentHasFile_ = true;
            } else if (result == platform::GrowableMapping::CreateResult::NoRoom) {
                note = "*** Unable to create the log file (" +
                       platform::FileErrorText(mapping->lastError()) +
                       "): the log is kept in memory only";
            }
            break;  // any other failure: the log lives in memory, and nobody is told
        }
    }
    names_.assign(1, currentName_);
    if (!currentHasFile_ && !mapping->MapMemory(kInitialMapping)) {
        return false;
    }
    current_.Attach(std::move(mapping), 0);

    std::string lineOne = LogHeaderLineOne(LocalDateText(now));
    std::string lineTwo = LogHeaderLineTwo();
    lineOne.resize(std::min<size_t>(lineOne.size(), kMaxLogLine));
    lineTwo.resize(std::min<size_t>(lineTwo.size(), kMaxLogLine));
    (void)current_.appendLogLine(lineOne.data(), static_cast<uint32_t>(lineOne.size()), true);
    headerEnd_ =
        current_.appendLogLine(lineTwo.data(), static_cast<uint32_t>(lineTwo.size()), true);
    if (!note.empty()) {
        (void)current_.appendLogLine(note.data(), static_cast<uint32_t>(note.size()), true);
    }
    return true;
}

std::vector<std::string> SessionLogFiles::DateTexts() const {
    std::vector<std::string> texts;
    texts.reserve(names_.size());
    for (const std::string& name : names_) {
        texts.push_back(LogNameDateText(name));
    }
    return texts;
}

std::string SessionLogFiles::displayedName() const {
    return selected_ < names_.size() ? names_[selected_] : std::string();
}

bool SessionLogFiles::selectorEnabled() const {
    return current_.mapped() && options_.logKeep != kLogKeepNone;
}

bool SessionLogFiles::exportEnabled() const {
    return current_.mapped();
}

size_t SessionLogFiles::ListSavedLogs() {
    if (listed_ || closed_) {
        return names_.size();
    }
    listed_ = true;
    std::vector<std::string> found;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(options_.dataFolder, error), end;
         !error && entry != end; entry.increment(error)) {
        std::string name = entry->path().filename().string();
        std::error_code kindError;
        // The current log is entry 0 already, whatever its time stamp says; folders and
        // other non-files named like logs are not logs.
        if (IsSavedLogName(name) && name != currentName_ && entry->is_regular_file(kindError)) {
            found.push_back(std::move(name));
        }
    }
    // Byte-wise order, newest first.
    std::sort(found.begin(), found.end(), std::greater<>());
    names_.insert(names_.end(), found.begin(), found.end());
    return names_.size();
}

void SessionLogFiles::SetDisplaySwitches(bool showCommands, bool showExtended) {
    showCommands_ = showCommands;
    showExtended_ = showExtended;
}

void SessionLogFiles::CloseSaved() {
    if (!savedName_.empty() || saved_.mapped()) {
        saved_.Attach(nullptr, 0);
        savedName_.clear();
    }
}

size_t SessionLogFiles::Choose(size_t index) {
    if (closed_) {
        return 0;
    }
    if (index != 0 && index < names_.size()) {
        CloseSaved();
        auto mapping = std::make_unique<platform::GrowableMapping>();
        if (mapping->OpenReadOnly(PathOf(names_[index])) && mapping->size() <= UINT32_MAX) {
            const auto size = static_cast<uint32_t>(mapping->size());
            saved_.Attach(std::move(mapping), size);
            savedName_ = names_[index];
            selected_ = index;
            saved_.rebuildLogIndex(showCommands_, showExtended_);
            return selected_;
        }
        // A saved log that cannot be opened (deleted meanwhile, unreadable): slot 1 is closed
        // already, so the current log goes back on view.
    }
    selected_ = 0;
    current_.rebuildLogIndex(showCommands_, showExtended_);
    return selected_;
}

void SessionLogFiles::Wipe() {
    current_.Wipe();
}

size_t SessionLogFiles::Delete(size_t index) {
    if (closed_ || index == 0 || index >= names_.size()) {
        return selected_;
    }
    const std::string name = names_[index];
    // A file already gone is no failure; one that another copy is writing stays, and so
    // does its entry.
    if (platform::RemoveUnlessLocked(PathOf(name)) == platform::RemoveResult::InUse) {
        logRaw("!!! Log in use by another running copy, not deleted: ", name.c_str());
        return selected_;
    }
    names_.erase(names_.begin() + static_cast<std::ptrdiff_t>(index));
    size_t shown = Choose(index < names_.size() ? index : index - 1);
    if (savedName_ == name) {
        CloseSaved();
    }
    return shown;
}

bool SessionLogFiles::Export(const std::string& path, std::string& message) const {
    const std::string text = displayedView().Text();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool written = file != nullptr;
    if (file != nullptr) {
        written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        written = std::fclose(file) == 0 && written;
    }
    if (!written) {
        message = "Unable to save to " + path;
    }
    return written;
}

void SessionLogFiles::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    CloseSaved();
    selected_ = 0;
    const uint32_t used = current_.usedLength();
    std::unique_ptr<platform::GrowableMapping> mapping = current_.Detach();
    if (currentHasFile_ && used == headerEnd_) {
        // Nothing was logged behind the header (or all of it was wiped): no file stays.
        std::error_code error;
        (void)std::filesystem::remove(PathOf(currentName_), error);
        if (!names_.empty() && names_.front() == currentName_) {
            names_.erase(names_.begin());
        }
    }
    // Cut to the used length while the file is still locked, so another copy never reads
    // or removes it half-way.
    if (mapping != nullptr) {
        mapping->Close(used);
    }
    ApplyRetention();
}

void SessionLogFiles::ApplyRetention() {
    const size_t keep = KeptEntries(options_.logKeep);
    if (names_.size() <= keep) {
        return;
    }
    for (size_t index = keep; index < names_.size(); ++index) {
        // A current log that never got a file has no file of its own to delete; a file of
        // that name belongs to another copy started in the same second.
        if (!currentHasFile_ && index == 0 && names_[index] == currentName_) {
            continue;
        }
        // A log that another running copy is still writing stays.
        (void)platform::RemoveUnlessLocked(PathOf(names_[index]));
    }
    names_.resize(keep);
}

}  // namespace qvex
