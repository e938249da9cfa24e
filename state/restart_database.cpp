#include "state/restart_database.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/file_lock.h"
#include "platform/paths.h"
#include "state/settings.h"

namespace qvex {
namespace {

constexpr uint32_t kHeaderBit = 1;
// Bits 1..31: one per slot.
constexpr uint32_t kSlotBits = ~kHeaderBit;

uint32_t SlotBit(int slot) {
    return uint32_t{1} << slot;
}

bool ValidSlot(int slot) {
    return slot >= 1 && slot <= kRestartSlotCount;
}

bool ValidField(int n) {
    return n >= kRestartFieldOperation && n <= kRestartFieldLocal;
}

// The lowest slot whose bit is set in `bits`, 0 when none.
int LowestSlot(uint32_t bits) {
    for (int slot = 1; slot <= kRestartSlotCount; ++slot) {
        if ((bits & SlotBit(slot)) != 0) {
            return slot;
        }
    }
    return 0;
}

// Little-endian on every host, as the file is shared and may travel.
uint64_t LoadLittle(const char* at, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(at[i]);
    }
    return value;
}

void StoreLittle(char* at, size_t bytes, uint64_t value) {
    for (size_t i = 0; i < bytes; ++i) {
        at[i] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
}

uint32_t LoadMask(const char* view, size_t offset) {
    return static_cast<uint32_t>(LoadLittle(view + offset, 4));
}

void StoreMask(char* view, size_t offset, uint32_t mask) {
    StoreLittle(view + offset, 4, mask);
}

char* SlotAt(char* view, int slot) {
    return view + static_cast<size_t>(slot) * kRestartBlockSize;
}

// Abandoned: holds data that no running copy owns.
uint32_t AbandonedSlots(const char* view) {
    return LoadMask(view, kRestartInUseOffset) & ~LoadMask(view, kRestartLiveOffset) & kSlotBits;
}

// How much of `text` fits in `limit` bytes: up to its first NUL, and never ending inside a
// UTF-8 sequence (bytes that are not UTF-8 are cut where they stand).
size_t FittingLength(std::string_view text, size_t limit) {
    size_t length = std::min(text.find('\0'), text.size());
    if (length <= limit) {
        return length;
    }
    size_t start = limit;
    while (start > 0 && limit - start < 3 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == limit) {
        return limit;  // the first byte left out begins a character
    }
    const auto lead = static_cast<unsigned char>(text[start]);
    const size_t sequence = lead >= 0xF0 && lead < 0xF8   ? 4
                            : lead >= 0xE0 && lead < 0xF0 ? 3
                            : lead >= 0xC0 && lead < 0xE0 ? 2
                                                          : 0;
    return sequence > limit - start ? start : limit;
}

std::string ReadField(const char* slot, int n) {
    const RestartFieldLayout& field = kRestartFields[n];
    const char* begin = slot + field.offset;
    return std::string(begin, std::find(begin, begin + field.size, '\0'));
}

void WriteField(char* slot, int n, std::string_view text) {
    const RestartFieldLayout& field = kRestartFields[n];
    const size_t length = FittingLength(text, field.maxLength);
    char* begin = slot + field.offset;
    std::memcpy(begin, text.data(), length);
    std::memset(begin + length, 0, field.size - length);
    const uint64_t bit = uint64_t{1} << n;
    const uint64_t cut = LoadLittle(slot + kRestartCutOffset, 4);
    const bool whole = length == std::min(text.find('\0'), text.size());
    StoreLittle(slot + kRestartCutOffset, 4, whole ? cut & ~bit : cut | bit);
}

RestartRecord ReadRecord(const char* slot, int number) {
    RestartRecord record;
    record.slot = number;
    record.pending = LoadLittle(slot + kRestartPendingOffset, 8);
    record.operation = ReadField(slot, kRestartFieldOperation);
    record.host = ReadField(slot, kRestartFieldHost);
    record.remoteDirectory = ReadField(slot, kRestartFieldRemoteDirectory);
    record.remoteName = ReadField(slot, kRestartFieldRemoteName);
    record.localFolder = ReadField(slot, kRestartFieldLocal);
    record.direction = !record.operation.empty() ? record.operation[0] : '\0';
    record.mode = record.operation.size() > 1 ? record.operation[1] : '\0';
    record.resumable = LoadLittle(slot + kRestartCutOffset, 4) == 0;
    return record;
}

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != platform::kPathSeparator) {
        folder += platform::kPathSeparator;
    }
    return folder;
}

}  // namespace

RestartDatabase::RestartDatabase(std::string dataFolder)
    : path_(WithSeparator(dataFolder) + std::string(kRestartFileName)),
      lockPath_(WithSeparator(std::move(dataFolder)) + std::string(kRestartLockName)) {}

RestartDatabase::~RestartDatabase() {
    CloseRestartDatabase();
}

bool RestartDatabase::OpenRestartDatabase() {
    std::lock_guard guard(mutex_);
    if (file_.mapped()) {
        return true;
    }
    platform::FileLock named;
    return named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) && OpenLocked();
}

// Under the named lock, so two copies starting together never both initialise the file and
// the alone test cannot race with another copy's opening.
bool RestartDatabase::OpenLocked() {
    if (file_.mapped()) {
        return true;
    }
    const platform::SharedFile::OpenResult result = file_.Open(path_, kRestartFileSize);
    if (result == platform::SharedFile::OpenResult::Failed) {
        return false;
    }
    char* view = file_.data();
    const bool valid =
        result == platform::SharedFile::OpenResult::Existing &&
        std::memcmp(view, kRestartHeaderText.data(), kRestartHeaderCheckLength) == 0 &&
        (LoadMask(view, kRestartInUseOffset) & kHeaderBit) != 0;
    if (valid) {
        // Alone, no slot can belong to a running copy: owned slots become abandoned.
        if (file_.Alone()) {
            StoreMask(view, kRestartLiveOffset, 0);
        }
        return true;
    }
    std::memset(view, 0, kRestartFileSize);
    std::memcpy(view, kRestartHeaderText.data(), kRestartHeaderText.size());
    StoreMask(view, kRestartInUseOffset, kHeaderBit);
    return true;
}

void RestartDatabase::CloseRestartDatabase() {
    std::lock_guard guard(mutex_);
    if (!file_.mapped()) {
        return;
    }
    platform::FileLock named;
    (void)named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive);
    (void)file_.Flush();
    file_.Close();
    current_ = 0;
}

bool RestartDatabase::OwnsCurrentLocked() const {
    if (!file_.mapped() || current_ == 0) {
        return false;
    }
    const uint32_t bit = SlotBit(current_);
    return (LoadMask(file_.data(), kRestartInUseOffset) & bit) != 0 &&
           (LoadMask(file_.data(), kRestartLiveOffset) & bit) != 0;
}

char* RestartDatabase::CurrentSlotLocked() const {
    return file_.mapped() && current_ != 0 ? SlotAt(file_.data(), current_) : nullptr;
}

int RestartDatabase::ClaimRestartSlot(bool freshOnly) {
    std::lock_guard guard(mutex_);
    platform::FileLock named;
    if (!named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) || !OpenLocked()) {
        return 0;
    }
    // Taking a second slot would leave the first marked live for the rest of the run.
    if (OwnsCurrentLocked()) {
        return current_;
    }
    current_ = 0;
    char* view = file_.data();
    const uint32_t inUse = LoadMask(view, kRestartInUseOffset);
    int slot = freshOnly ? 0 : LowestSlot(AbandonedSlots(view));
    if (slot == 0) {
        slot = LowestSlot(~inUse & kSlotBits);
        if (slot == 0) {
            return 0;
        }
        StoreLittle(SlotAt(view, slot) + kRestartPendingOffset, 8, 0);
    }
    StoreMask(view, kRestartInUseOffset, inUse | SlotBit(slot));
    StoreMask(view, kRestartLiveOffset, LoadMask(view, kRestartLiveOffset) | SlotBit(slot));
    current_ = slot;
    return slot;
}

void RestartDatabase::ReleaseRestartSlot() {
    std::lock_guard guard(mutex_);
    char* slot = CurrentSlotLocked();
    if (slot == nullptr) {
        return;
    }
    platform::FileLock named;
    if (named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive)) {
        char* view = file_.data();
        std::memset(slot, 0, kRestartBlockSize);
        StoreMask(view, kRestartInUseOffset,
                  LoadMask(view, kRestartInUseOffset) & ~SlotBit(current_));
        StoreMask(view, kRestartLiveOffset,
                  LoadMask(view, kRestartLiveOffset) & ~SlotBit(current_));
    }
    current_ = 0;
}

void RestartDatabase::DetachRestartSlot() {
    std::lock_guard guard(mutex_);
    if (CurrentSlotLocked() == nullptr) {
        return;
    }
    platform::FileLock named;
    if (named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive)) {
        char* view = file_.data();
        StoreMask(view, kRestartLiveOffset,
                  LoadMask(view, kRestartLiveOffset) & ~SlotBit(current_));
    }
    current_ = 0;
}

uint64_t RestartDatabase::GetRestartPending() const {
    std::lock_guard guard(mutex_);
    const char* slot = CurrentSlotLocked();
    return slot != nullptr ? LoadLittle(slot + kRestartPendingOffset, 8) : 0;
}

void RestartDatabase::SetRestartPending(uint64_t pending) {
    std::lock_guard guard(mutex_);
    if (char* slot = CurrentSlotLocked()) {
        StoreLittle(slot + kRestartPendingOffset, 8, pending);
    }
}

bool RestartDatabase::RecordResumable() const {
    std::lock_guard guard(mutex_);
    const char* slot = CurrentSlotLocked();
    return slot == nullptr || LoadLittle(slot + kRestartCutOffset, 4) == 0;
}

std::string RestartDatabase::GetRestartField(int n) const {
    std::lock_guard guard(mutex_);
    const char* slot = CurrentSlotLocked();
    return slot != nullptr && ValidField(n) ? ReadField(slot, n) : std::string();
}

void RestartDatabase::SetRestartField(int n, std::string_view text) {
    std::lock_guard guard(mutex_);
    char* slot = CurrentSlotLocked();
    if (slot != nullptr && ValidField(n)) {
        WriteField(slot, n, text);
    }
}

std::vector<RestartRecord> RestartDatabase::ListRestartSlots(bool sessionRunning) {
    std::lock_guard guard(mutex_);
    std::vector<RestartRecord> records;
    platform::FileLock named;
    if (!named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive) || !OpenLocked()) {
        return records;
    }
    const char* view = file_.data();
    const uint32_t abandoned = AbandonedSlots(view);
    for (int slot = 1; slot <= kRestartSlotCount; ++slot) {
        const char* bytes = SlotAt(file_.data(), slot);
        const bool listed =
            (abandoned & SlotBit(slot)) != 0 || (slot == current_ && !sessionRunning &&
                                                 LoadLittle(bytes + kRestartPendingOffset, 8) != 0);
        if (listed) {
            records.push_back(ReadRecord(bytes, slot));
        }
    }
    return records;
}

bool RestartDatabase::ApplyRestartTool(const std::vector<int>& wipe, int chosen) {
    std::lock_guard guard(mutex_);
    platform::FileLock named;
    if (!file_.mapped() || !named.Acquire(lockPath_, platform::FileLock::Mode::Exclusive)) {
        return false;
    }
    char* view = file_.data();
    // Rows were listed earlier: another copy may have adopted a slot since, and its slot is
    // not ours to delete or take.
    auto takeable = [&](int slot) {
        return ValidSlot(slot) && ((AbandonedSlots(view) & SlotBit(slot)) != 0 ||
                                   (slot == current_ && OwnsCurrentLocked()));
    };
    for (int slot : wipe) {
        if (!takeable(slot)) {
            continue;
        }
        std::memset(SlotAt(view, slot), 0, kRestartBlockSize);
        StoreMask(view, kRestartInUseOffset, LoadMask(view, kRestartInUseOffset) & ~SlotBit(slot));
        StoreMask(view, kRestartLiveOffset, LoadMask(view, kRestartLiveOffset) & ~SlotBit(slot));
        if (slot == current_) {
            current_ = 0;
        }
    }
    const bool wiped = std::find(wipe.begin(), wipe.end(), chosen) != wipe.end();
    if (wiped || !takeable(chosen)) {
        return false;
    }
    uint32_t live = LoadMask(view, kRestartLiveOffset);
    if (current_ != 0) {
        live &= ~SlotBit(current_);
    }
    StoreMask(view, kRestartLiveOffset, live | SlotBit(chosen));
    current_ = chosen;
    return true;
}

bool RestartDatabase::isOpen() const {
    std::lock_guard guard(mutex_);
    return file_.mapped();
}

bool RestartDatabase::outOfRoom() const {
    std::lock_guard guard(mutex_);
    return file_.outOfRoom();
}

int RestartDatabase::currentSlot() const {
    std::lock_guard guard(mutex_);
    return current_;
}

RestartRecord ReadRestartRecord(const RestartDatabase& database) {
    RestartRecord record;
    const int slot = database.currentSlot();
    if (slot == 0) {
        return record;
    }
    record.slot = slot;
    record.pending = database.GetRestartPending();
    record.operation = database.GetRestartField(kRestartFieldOperation);
    record.host = database.GetRestartField(kRestartFieldHost);
    record.remoteDirectory = database.GetRestartField(kRestartFieldRemoteDirectory);
    record.remoteName = database.GetRestartField(kRestartFieldRemoteName);
    record.localFolder = database.GetRestartField(kRestartFieldLocal);
    record.direction = !record.operation.empty() ? record.operation[0] : '\0';
    record.mode = record.operation.size() > 1 ? record.operation[1] : '\0';
    record.resumable = database.RecordResumable();
    return record;
}

uint64_t RestartPendingFlag(const RestartDatabase& database) {
    return database.RecordResumable() ? database.GetRestartPending() : 0;
}

void SetRestartHost(RestartDatabase& database, std::string_view host) {
    database.SetRestartField(kRestartFieldHost, host);
}

void WriteRestartRecord(RestartDatabase& database, const RestartRecord& record) {
    database.SetRestartField(kRestartFieldHost, record.host);
    database.SetRestartField(kRestartFieldRemoteDirectory, record.remoteDirectory);
    database.SetRestartField(kRestartFieldOperation, record.operation);
    if (!record.operation.empty() && record.operation[0] == 'G') {
        database.SetRestartField(kRestartFieldRemoteName, record.remoteName);
    }
    database.SetRestartField(kRestartFieldLocal, record.localFolder);
}

bool StartRestartSlot(RestartDatabase& database, const Settings& settings) {
    return database.ClaimRestartSlot(settings.GetInt("CLConnect") != 0) != 0 &&
           RestartPendingFlag(database) != 0;
}

std::string ResumeRestartSlot(RestartDatabase& database, Settings& settings) {
    settings.SetInt("Restart", 1);
    return database.GetRestartField(kRestartFieldHost);
}

std::string RestartQuestionText(std::string_view host) {
    std::string text = "Preserve restart info for '";
    text += host;
    text += "'?\r\n\r\n(NO will discard restart info!)";
    return text;
}

bool PrepareRestartConnect(RestartDatabase& database, const Settings& settings, bool resumeShown,
                           bool resumption, const AskRestartQuestion& ask) {
    if (!resumeShown || resumption) {
        return true;
    }
    if (settings.GetInt("RestartDelete") == 0 || !ask) {
        database.SetRestartPending(0);
        return true;
    }
    const std::string host = database.GetRestartField(kRestartFieldHost);
    switch (ask(std::string(kRestartQuestionTitle), RestartQuestionText(host))) {
        case RestartAnswer::Yes:
            database.DetachRestartSlot();
            (void)database.ClaimRestartSlot(true);
            return true;
        case RestartAnswer::No:
            database.SetRestartPending(0);
            return true;
        case RestartAnswer::Cancel:
            break;
    }
    return false;
}

void ShutdownRestartDatabase(RestartDatabase& database) {
    if (database.currentSlot() != 0 && database.GetRestartPending() == 0) {
        database.ReleaseRestartSlot();
    }
    database.CloseRestartDatabase();
}

std::string RestartFileText(const RestartRecord& record) {
    if (record.direction == 'G') {
        return record.remoteName;
    }
    const size_t separator = record.localFolder.find_last_of("\\/");
    return separator == std::string::npos ? record.localFolder
                                          : record.localFolder.substr(separator + 1);
}

std::string RestartOperationText(std::string_view operation) {
    const char direction = !operation.empty() ? operation[0] : '\0';
    const char mode = operation.size() > 1 ? operation[1] : '\0';
    std::string text = direction == 'G' ? "GET" : "PUT";
    text += mode == 'a' ? "(text)" : mode == 'x' ? "(smart)" : "(image)";
    return text;
}

RestartTool::RestartTool(RestartDatabase& database, const Settings& settings, bool sessionRunning)
    : database_(database),
      promptOnDelete_(settings.GetInt("RestartDelete") != 0),
      currentSlot_(database.currentSlot()) {
    for (const RestartRecord& record : database.ListRestartSlots(sessionRunning)) {
        std::string operation = RestartOperationText(record.operation);
        if (!record.resumable) {
            operation += kNotResumableText;
        }
        rows_.push_back({record.slot, RestartFileText(record), std::move(operation), record.host,
                         record.resumable});
    }
}

int RestartTool::initialRow() const {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (currentSlot_ != 0 && rows_[i].slot == currentSlot_) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

size_t RestartTool::Wipe(const std::vector<size_t>& selected, const ConfirmRestartWipe& confirm) {
    std::vector<size_t> indices;
    for (size_t index : selected) {
        if (index < rows_.size() &&
            std::find(indices.begin(), indices.end(), index) == indices.end()) {
            indices.push_back(index);
        }
    }
    if (indices.empty()) {
        return 0;
    }
    std::sort(indices.begin(), indices.end());
    if (promptOnDelete_ && confirm) {
        std::vector<RestartToolRow> asked;
        for (size_t index : indices) {
            asked.push_back(rows_[index]);
        }
        if (!confirm(asked)) {
            return 0;
        }
    }
    for (size_t i = indices.size(); i-- > 0;) {
        marked_.push_back(rows_[indices[i]].slot);
        rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(indices[i]));
    }
    return indices.size();
}

bool RestartTool::Restart(const std::vector<size_t>& selected) {
    if (selected.size() != 1 || selected[0] >= rows_.size() || !rows_[selected[0]].resumable) {
        return false;
    }
    chosen_ = rows_[selected[0]].slot;
    return true;
}

RestartToolResult RestartTool::Commit() {
    RestartToolResult result;
    if (database_.ApplyRestartTool(marked_, chosen_)) {
        result.resume = true;
        return result;
    }
    (void)database_.ClaimRestartSlot(false);
    result.hideResumeButton = RestartPendingFlag(database_) == 0;
    return result;
}

}  // namespace qvex
