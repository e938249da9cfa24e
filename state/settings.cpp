#include "state/settings.h"

#include <algorithm>
#include <utility>

#include "state/secret_codec.h"
#include "state/time_zones.h"
#include "state/url_grammar.h"
#include "state/version.h"
#include "util/crc32.h"
#include "util/hex.h"

namespace qvex {
namespace {

using platform::RegistryChange;

constexpr size_t kMinimumRecordLength = 66;  // "more than 65": magic, some fields, checksum
constexpr size_t kChecksumDigits = 8;
constexpr size_t kChecksumOffset = 69;
constexpr std::string_view kMagicDigits = "51766578";  // "Qvex"
constexpr uint8_t kMagic[] = {0x51, 0x76, 0x65, 0x78};
constexpr size_t kVersionByte = 4;
constexpr uint8_t kRecordVersion = 1;
constexpr size_t kRevisionByte = 5;
constexpr uint8_t kLayoutRevision = 5;
constexpr size_t kClassicByte = 6;  // written as 0, never read
constexpr int32_t kDefaultLastXMode = 2;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// One integer setting inside the record; multi-byte fields are big-endian.
struct OptionField {
    std::string_view name;
    size_t offset;
    size_t size;
    uint32_t mask;
};

// In record order, which is also the order the table is filled in.
constexpr OptionField kOptionFields[] = {
    {"Statistics", 7, 1, 0x1},
    {"KeepHost", 8, 1, 0x1},
    {"KeepXDir", 9, 1, 0x1},
    {"KeepXMode", 10, 1, 0x1},
    {"LastXMode", 11, 1, 0x3},
    {"LogCmd", 12, 1, 0x1},
    {"LogExt", 13, 1, 0x1},
    {"Logging", 14, 1, 0x1},
    {"NoUIQuit", 15, 1, 0x1},
    {"NoUITray", 16, 1, 0x1},
    {"Passive", 17, 1, 0x1},
    {"ProxyType", 18, 1, 0x3},
    {"Restart", 19, 1, 0x1},
    {"UpdateONLY", 20, 1, 0x1},
    {"XAppVersion", 21, 4, 0xFFFFFFFF},
    {"LocalIcons", 29, 1, 0x1},
    {"RemotePC", 30, 1, 0xFF},
    {"RemoteView", 31, 1, 0x7},
    {"LocalView", 32, 1, 0x7},
    {"RemoteCols", 33, 4, 0xFFFFFFFF},
    {"LocalCols", 37, 4, 0xFFFFFFFF},
    {"RemotePC2", 41, 1, 0xFF},
    {"RemoteCols2", 42, 4, 0xFFFFFFFF},
    {"LocalCols2", 46, 4, 0xFFFFFFFF},
    {"Opacity", 50, 1, 0xFF},
    {"LogColor", 51, 1, 0x1},
    {"LogKeep", 52, 1, 0x3},
    {"SearchTree", 53, 1, 0x1},
    {"SearchPCRE", 54, 1, 0x1},
    {"LocalOverwrite1", 55, 1, 0x1},
    {"LocalOverwrite2", 56, 1, 0x1},
    {"RemoteDelete1", 57, 1, 0x1},
    {"RemoteDelete2", 58, 1, 0x1},
    {"RestartDelete", 59, 1, 0x1},
    {"SnapTo", 60, 1, 0x1},
    {"ModelessSearch", 61, 1, 0x1},
    {"HostUrlAuto", 62, 1, 0x1},
    {"HostUrlSort", 63, 1, 0x1},
    {"PerCPUMD5", 64, 1, 0x1},
    {"ReplaceSpaces", 65, 1, 0x1},
    {"HostUrlView", 66, 1, 0x3},
    {"LargeIcons", 67, 1, 0xF},
    {"MD5SlashSep", 68, 1, 0x1},
};

// Before the packed record, these settings were single DWORD values under "Settings".
struct OlderValue {
    std::string_view name;
    size_t offset;
};

constexpr OlderValue kOlderValues[] = {
    {"Classic", 6},    {"KeepAuth", 7}, {"KeepHost", 8},   {"KeepXDir", 9}, {"KeepXMode", 10},
    {"LastXMode", 11}, {"LogCmd", 12},  {"LogExt", 13},    {"Logging", 14}, {"NoUIQuit", 15},
    {"NoUITray", 16},  {"Passive", 17}, {"ProxyType", 18}, {"Restart", 19}, {"UpdateONLY", 20},
};

// Integer settings kept as DWORD values of their own under "Settings", beside the record.
struct DwordSetting {
    std::string_view name;
    uint32_t defaultValue;
};

constexpr DwordSetting kStoredDwords[] = {
    {"Timeout", 120},  // seconds a peer may stay silent; 0 waits for ever
};

struct StringSetting {
    std::string_view name;
    std::string_view defaultValue;
};

// Read at load with their defaults. "AppFile" is only written; "AuthData" is the stored
// form of "AuthName" and "AuthPasswd".
constexpr StringSetting kStoredStrings[] = {
    {"EMail", kDefaultEmail}, {"Proxy", ""}, {"LastHost", ""}, {"LastXDir", ""}, {"LastSearch", ""},
};

struct PerHostField {
    unsigned shift;
    uint32_t mask;
};

constexpr PerHostField kPerHostFields[] = {
    {0, 0xFFFF},  // language
    {16, 0x3},    // transfer type at connect
    {18, 0x1},    // direct connection
    {19, 0x7F},   // time zone
    {26, 0x3},    // data-connection mode at connect
    {28, 0x3},    // security (bits the older words never used)
};

bool IsPerHostOption(int option) {
    return option >= 0 && static_cast<size_t>(option) < std::size(kPerHostFields);
}

// `digits` must be hexadecimal digits only.
uint32_t HexNumber(std::string_view digits) {
    uint32_t value = 0;
    for (char c : digits) {
        value = value << 4 | static_cast<uint32_t>(HexDigitValue(c));
    }
    return value;
}

void AppendHexByte(std::string& out, uint8_t byte) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0xFu]);
}

// `record` is a normalized record.
std::array<uint8_t, 73> BytesOf(std::string_view record) {
    std::array<uint8_t, 73> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(HexNumber(record.substr(2 * i, 2)));
    }
    return bytes;
}

// The record text as stored: upper-case digits, with the checksum over bytes 4 to 68.
std::string TextOf(const std::array<uint8_t, 73>& bytes) {
    std::string text;
    text.reserve(kOptionsRecordLength);
    for (size_t i = 0; i < kChecksumOffset; ++i) {
        AppendHexByte(text, bytes[i]);
    }
    uint32_t crc = Crc32(std::string_view(text).substr(2 * kVersionByte));
    for (int shift = 24; shift >= 0; shift -= 8) {
        AppendHexByte(text, static_cast<uint8_t>(crc >> shift));
    }
    return text;
}

uint32_t ReadField(const std::array<uint8_t, 73>& bytes, const OptionField& field) {
    uint32_t value = 0;
    for (size_t i = 0; i < field.size; ++i) {
        value = value << 8 | bytes[field.offset + i];
    }
    return value & field.mask;
}

void WriteField(std::array<uint8_t, 73>& bytes, const OptionField& field, uint32_t value) {
    value &= field.mask;
    for (size_t i = field.size; i-- > 0;) {
        bytes[field.offset + i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

}  // namespace

std::optional<std::string> NormalizeOptionsRecord(std::string_view text) {
    // A record is whole bytes of hex digits; the checksum alone would let other characters
    // through into the fields.
    if (text.size() < kMinimumRecordLength || text.size() % 2 != 0 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return HexDigitValue(c) >= 0; })) {
        return std::nullopt;
    }
    if (text.substr(0, kMagicDigits.size()) != kMagicDigits) {
        return std::nullopt;
    }
    std::string_view checked =
        text.substr(kMagicDigits.size(), text.size() - kMagicDigits.size() - kChecksumDigits);
    if (Crc32(checked) != HexNumber(text.substr(text.size() - kChecksumDigits))) {
        return std::nullopt;
    }
    if (HexNumber(text.substr(2 * kVersionByte, 2)) > kRecordVersion) {
        return std::nullopt;
    }
    if (text.size() >= kOptionsRecordLength) {
        return std::string(text.substr(0, kOptionsRecordLength));
    }
    // Written by an older version: the fields it did not know take their defaults.
    size_t kept = text.size() - kChecksumDigits;
    std::string record(text.substr(0, kept));
    record += kDefaultOptionsRecord.substr(kept);
    return record;
}

Settings::Settings(platform::RegistryFile& registry)
    : registry_(registry), record_(BytesOf(kDefaultOptionsRecord)) {
    ints_["AppVersion"] = static_cast<int32_t>(kAppVersion);
}

int32_t Settings::GetInt(std::string_view name) const {
    std::lock_guard guard(mutex_);
    auto found = ints_.find(name);
    return found == ints_.end() ? 0 : found->second;
}

std::string Settings::GetString(std::string_view name) const {
    std::lock_guard guard(mutex_);
    auto found = strings_.find(name);
    return found == strings_.end() ? std::string() : found->second;
}

void Settings::StoreInt(const std::string& name, int32_t value, std::vector<std::string>& changed) {
    auto found = ints_.find(name);
    int32_t old = found == ints_.end() ? 0 : found->second;
    if (old == value) {
        return;
    }
    ints_[name] = value;
    changed.push_back(name);
}

void Settings::StoreString(const std::string& name, std::string value,
                           std::vector<std::string>& changed) {
    auto found = strings_.find(name);
    if (found == strings_.end() ? value.empty() : found->second == value) {
        return;
    }
    strings_[name] = std::move(value);
    changed.push_back(name);
}

void Settings::SetInt(std::string_view name, int32_t value) {
    std::vector<std::string> changed;
    {
        std::lock_guard guard(mutex_);
        StoreInt(std::string(name), value, changed);
    }
    Notify(changed);
}

void Settings::SetString(std::string_view name, std::string value) {
    std::vector<std::string> changed;
    {
        std::lock_guard guard(mutex_);
        StoreString(std::string(name), std::move(value), changed);
    }
    Notify(changed);
}

void Settings::WatchSetting(std::string name,
                            std::function<void(const std::string& name)> onChange) {
    std::lock_guard guard(mutex_);
    watchers_[std::move(name)].push_back(std::move(onChange));
}

void Settings::Notify(const std::vector<std::string>& changed) const {
    for (const std::string& name : changed) {
        Watchers watchers;
        {
            std::lock_guard guard(mutex_);
            auto found = watchers_.find(name);
            if (found == watchers_.end()) {
                continue;
            }
            watchers = found->second;
        }
        // Outside the lock, so a watcher may read or change settings.
        for (const auto& onChange : watchers) {
            onChange(name);
        }
    }
}

void Settings::LoadSettings() {
    registry_.Reload();
    std::optional<std::string> stored = registry_.ReadString(kSettingsKey, "Options");
    std::optional<std::string> record = stored ? NormalizeOptionsRecord(*stored) : std::nullopt;
    OptionsBytes bytes = BytesOf(record ? std::string_view(*record) : kDefaultOptionsRecord);
    bool tookOver = false;
    if (!record) {
        for (const OlderValue& older : kOlderValues) {
            if (std::optional<uint32_t> value = registry_.ReadDword(kSettingsKey, older.name)) {
                bytes[older.offset] = static_cast<uint8_t>(*value);
                tookOver = true;
            }
        }
    }

    std::vector<std::pair<std::string, std::string>> strings;
    for (const StringSetting& setting : kStoredStrings) {
        strings.emplace_back(setting.name, registry_.ReadString(kSettingsKey, setting.name)
                                               .value_or(std::string(setting.defaultValue)));
    }
    const OptionField& versionField =
        *std::find_if(std::begin(kOptionFields), std::end(kOptionFields),
                      [](const OptionField& field) { return field.name == "XAppVersion"; });
    uint32_t savedBy = ReadField(bytes, versionField);
    std::string authName;
    std::string authPasswd;
    if (record && savedBy >= kVersion212) {
        std::string authData = registry_.ReadString(kSettingsKey, "AuthData").value_or("");
        if (auto auth = DecodeAuthData(authData)) {
            authName = std::move(auth->first);
            authPasswd = std::move(auth->second);
        }
    } else {
        authName = registry_.ReadString(kSettingsKey, "AuthName").value_or("");
        authPasswd = DecodeSecret(registry_.ReadString(kSettingsKey, "AuthPasswd").value_or(""))
                         .value_or("");
    }
    strings.emplace_back("AuthName", std::move(authName));
    strings.emplace_back("AuthPasswd", std::move(authPasswd));

    std::vector<std::pair<std::string, int32_t>> dwords;
    for (const DwordSetting& setting : kStoredDwords) {
        dwords.emplace_back(
            setting.name,
            static_cast<int32_t>(
                registry_.ReadDword(kSettingsKey, setting.name).value_or(setting.defaultValue)));
    }

    std::vector<std::string> changed;
    {
        std::lock_guard guard(mutex_);
        record_ = bytes;
        loadedAppVersion_ = savedBy;
        replacedByDefaults_ = !record;
        olderValuesTakenOver_ = tookOver;
        auto intOf = [this](std::string_view name) {
            auto found = ints_.find(name);
            return found == ints_.end() ? 0 : found->second;
        };
        bool commandLineConnect = intOf("CLConnect") != 0;
        for (const OptionField& field : kOptionFields) {
            auto value = static_cast<int32_t>(ReadField(bytes, field));
            if (field.name == "UpdateONLY" && commandLineConnect) {
                value = intOf("CLXFlags") & 1;
            }
            StoreInt(std::string(field.name), value, changed);
        }
        for (auto& [name, value] : strings) {
            StoreString(name, std::move(value), changed);
        }
        for (const auto& [name, value] : dwords) {
            StoreInt(name, value, changed);
        }
    }
    Notify(changed);
}

Settings::OptionsBytes Settings::RecordForSave() const {
    auto intOf = [this](std::string_view name) {
        auto found = ints_.find(name);
        return found == ints_.end() ? 0 : found->second;
    };
    bool commandLineConnect = intOf("CLConnect") != 0;
    bool commandLineWork = intOf("CLStart") != 0;
    OptionsBytes bytes = record_;  // the reserved bytes stay as they were read
    std::copy(std::begin(kMagic), std::end(kMagic), bytes.begin());
    bytes[kVersionByte] = kRecordVersion;
    bytes[kRevisionByte] = kLayoutRevision;
    bytes[kClassicByte] = 0;
    for (const OptionField& field : kOptionFields) {
        int32_t value = intOf(field.name);
        if (field.name == "UpdateONLY" && commandLineConnect) {
            continue;  // a command-line choice is not the user's preference
        }
        if (field.name == "LastXMode") {
            if (commandLineWork) {
                continue;
            }
            value = intOf("KeepXMode") != 0 ? value : kDefaultLastXMode;
        }
        if (field.name == "XAppVersion") {
            value = intOf("AppVersion");
        }
        WriteField(bytes, field, static_cast<uint32_t>(value));
    }
    return bytes;
}

void Settings::SaveSettings() {
    std::vector<RegistryChange> changes;
    OptionsBytes bytes;
    bool deleteOlder = false;
    {
        std::lock_guard guard(mutex_);
        auto stringOf = [this](std::string_view name) {
            auto found = strings_.find(name);
            return found == strings_.end() ? std::string() : found->second;
        };
        auto intOf = [this](std::string_view name) {
            auto found = ints_.find(name);
            return found == ints_.end() ? 0 : found->second;
        };
        auto writeString = [&changes](std::string_view name, std::string text) {
            changes.push_back(RegistryChange::String(std::string(kSettingsKey), std::string(name),
                                                     std::move(text)));
        };
        bytes = RecordForSave();
        writeString("Options", TextOf(bytes));
        writeString("EMail", stringOf("EMail"));
        writeString("Proxy", stringOf("Proxy"));
        writeString("AppFile", stringOf("AppFile"));
        writeString("AuthData", EncodeAuthData(stringOf("AuthName"), stringOf("AuthPasswd")));
        for (const DwordSetting& setting : kStoredDwords) {
            changes.push_back(RegistryChange::Dword(std::string(kSettingsKey),
                                                    std::string(setting.name),
                                                    static_cast<uint32_t>(intOf(setting.name))));
        }
        if (intOf("CLStart") == 0) {
            writeString("LastHost", intOf("KeepHost") != 0 ? stringOf("LastHost") : "");
            writeString("LastXDir", intOf("KeepXDir") != 0 ? stringOf("LastXDir") : "");
            writeString("LastSearch", stringOf("LastSearch"));
        }
        deleteOlder = olderValuesTakenOver_;
    }
    AppendPerHostChanges(kDefaultLanguage, changes);
    if (deleteOlder) {
        for (const OlderValue& older : kOlderValues) {
            changes.push_back(
                RegistryChange::Remove(std::string(kSettingsKey), std::string(older.name)));
        }
    }
    if (registry_.Apply(changes)) {
        std::lock_guard guard(mutex_);
        record_ = bytes;
        olderValuesTakenOver_ = false;
    }
}

uint32_t PerHostOptionOf(uint32_t word, int option) {
    if (!IsPerHostOption(option)) {
        return 0;
    }
    const PerHostField& field = kPerHostFields[static_cast<size_t>(option)];
    return (word >> field.shift) & field.mask;
}

uint32_t Settings::GetPerHostOption(std::string_view url, int option) const {
    return PerHostOptionOf(PerHostWord(url), option);
}

void Settings::SetPerHostOption(std::string_view url, int option, uint32_t value) {
    if (!IsPerHostOption(option)) {
        return;
    }
    const PerHostField& field = kPerHostFields[static_cast<size_t>(option)];
    std::lock_guard guard(mutex_);
    auto found = perHost_.find(url);
    uint32_t old = found == perHost_.end() ? 0 : found->second;
    uint32_t word = (old & ~(field.mask << field.shift)) | (value & field.mask) << field.shift;
    if (old == 0 && word == 0) {
        return;
    }
    perHost_.insert_or_assign(std::string(url), word);
}

uint32_t Settings::PerHostWord(std::string_view url) const {
    std::lock_guard guard(mutex_);
    auto found = perHost_.find(url);
    return found == perHost_.end() ? 0 : found->second;
}

void Settings::SetPerHostWord(std::string_view url, uint32_t word) {
    std::lock_guard guard(mutex_);
    perHost_.insert_or_assign(std::string(url), word);
}

void Settings::ErasePerHostWord(std::string_view url) {
    std::lock_guard guard(mutex_);
    if (auto found = perHost_.find(url); found != perHost_.end()) {
        perHost_.erase(found);
    }
}

uint32_t Settings::ConvertOlderPerHostWord(uint32_t word) {
    const PerHostField& field = kPerHostFields[kPerHostTimeZone];
    uint32_t position = (word >> field.shift) & field.mask;
    auto code = static_cast<uint32_t>(TimeZoneCodeAt(position));
    return (word & ~(field.mask << field.shift)) | (code & field.mask) << field.shift;
}

void Settings::SetHostListMembership(std::function<bool(std::string_view url)> isInHostList) {
    std::lock_guard guard(mutex_);
    isInHostList_ = std::move(isInHostList);
}

void Settings::AppendPerHostChanges(uint32_t defaultLanguage,
                                    std::vector<RegistryChange>& changes) const {
    std::map<std::string, uint32_t, std::less<>> words;
    std::function<bool(std::string_view)> isInHostList;
    uint32_t savedBy = 0;
    {
        std::lock_guard guard(mutex_);
        words = perHost_;
        isInHostList = isInHostList_;
        savedBy = loadedAppVersion_;
    }
    const uint32_t languageMask = kPerHostFields[kPerHostLanguage].mask;
    for (const auto& [url, word] : words) {
        // Asked outside the lock: the host list may read settings while it answers.
        if (isInHostList && !isInHostList(url)) {
            continue;
        }
        // A word that holds nothing but the default language says nothing; one with bits
        // outside the language field is kept whole.
        bool onlyDefaultLanguage =
            word != 0 && (defaultLanguage & ~languageMask) == 0 && word == defaultLanguage;
        bool empty = savedBy >= kVersion212 && word == 0;
        std::string name = EncodeHostName(url);
        if (empty || onlyDefaultLanguage) {
            changes.push_back(RegistryChange::Remove(std::string(kPerHostKey), std::move(name)));
        } else {
            changes.push_back(
                RegistryChange::Dword(std::string(kPerHostKey), std::move(name), word));
        }
    }
}

void Settings::SavePerHostOptions(uint32_t defaultLanguage) {
    std::vector<RegistryChange> changes;
    AppendPerHostChanges(defaultLanguage, changes);
    if (!changes.empty()) {
        (void)registry_.Apply(changes);  // write failures are ignored, as for all settings
    }
}

bool Settings::OptionsReplacedByDefaults() const {
    std::lock_guard guard(mutex_);
    return replacedByDefaults_;
}

}  // namespace qvex
