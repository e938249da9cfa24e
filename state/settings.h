#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_file.h"

namespace qvex {

// Registry keys, relative to the current user's hive.
inline constexpr std::string_view kSettingsKey = "Software\\VbKs\\Qvex\\Settings";
inline constexpr std::string_view kHostsKey = "Software\\VbKs\\Qvex\\Hosts";
inline constexpr std::string_view kPerHostKey = "Software\\VbKs\\Qvex\\PerHost";

// The "Options" record: 73 bytes as 146 hexadecimal digits, most integer settings packed
// into it, ending in a CRC-32 of the 130 digits that encode bytes 4 to 68.
inline constexpr size_t kOptionsRecordLength = 146;
// Its checksum field is zero and is never checked.
inline constexpr std::string_view kDefaultOptionsRecord =
    "51766578010400010101010201010101010100010003000000000000000141030323101819211a1316000000"
    "0000000000006401010100010101010101000100000000090100000000";
static_assert(kDefaultOptionsRecord.size() == kOptionsRecordLength);

// A stored "Options" text made ready for use, or nullopt when it is not valid: valid means
// more than 65 characters, all hexadecimal digits in whole bytes, the magic "Qvex" in bytes 0
// to 3, a record version (byte 4) of 1 or less, and a last 8 digits equal to the CRC-32 of
// the digits between the first 8 and the last 8. A shorter record is completed from the
// default record (its checksum digits give way to the newer fields' defaults); a longer
// one is cut to 146 digits.
[[nodiscard]] std::optional<std::string> NormalizeOptionsRecord(std::string_view text);

// Per-host option fields of the per-host word.
inline constexpr int kPerHostLanguage = 0;           // bits 0-15, Windows language identifier
inline constexpr int kPerHostTransferType = 1;       // bits 16-17, transfer type + 1, 0 none
inline constexpr int kPerHostDirect = 2;             // bit 18, connect without the proxy
inline constexpr int kPerHostTimeZone = 3;           // bits 19-25, time-zone code
inline constexpr int kPerHostDataMode = 4;           // bits 26-27, 0 none, 1 Port, 2 Passive
// bits 28-29, "Security": 0 "None", 1 "Explicit TLS if available", 2 "Require explicit
// TLS", 3 "Implicit TLS"
inline constexpr int kPerHostSecurity = 5;
inline constexpr uint32_t kDefaultLanguage = 0x409;  // "Default (US English)"

// One field (kPerHost...) of a per-host word; 0 for an unknown option.
[[nodiscard]] uint32_t PerHostOptionOf(uint32_t word, int option);

// All user preferences: integer and string settings by name, the per-host option words,
// and their storage under kSettingsKey and kPerHostKey. Nothing reaches the registry before
// SaveSettings (or SavePerHostOptions). Thread-safe; watch callbacks run on the thread that
// made the change, after the internal lock is released.
class Settings {
  public:
    // "AppVersion" starts as this program's version.
    explicit Settings(platform::RegistryFile& registry);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // 0 for a name never set.
    int32_t GetInt(std::string_view name) const;
    // Does nothing when the value is unchanged; otherwise stores it and runs the watchers.
    void SetInt(std::string_view name, int32_t value);
    // "" for a name never set.
    std::string GetString(std::string_view name) const;
    void SetString(std::string_view name, std::string value);
    // onChange(name) runs after every real change of that setting (integer or string).
    void WatchSetting(std::string name, std::function<void(const std::string& name)> onChange);

    // Fills the tables from the registry (after the command line is parsed, as "CLConnect"
    // and "CLXFlags" take part). A missing or damaged record silently gives the defaults.
    void LoadSettings();
    // Writes everything back in one rewrite of the registry file; failures are ignored.
    void SaveSettings();

    // The field `option` (kPerHost...) of the host's word; 0 without a word.
    uint32_t GetPerHostOption(std::string_view url, int option) const;
    void SetPerHostOption(std::string_view url, int option, uint32_t value);
    // Writes the words of the hosts still in the host list; deletes those that say nothing
    // beyond the defaults.
    void SavePerHostOptions(uint32_t defaultLanguage);

    // For the host list, which reads and stores the words with its entries.
    uint32_t PerHostWord(std::string_view url) const;
    void SetPerHostWord(std::string_view url, uint32_t word);
    void ErasePerHostWord(std::string_view url);
    // A word saved before 2.1.2 holds a time-zone list position in option 3; this gives the
    // word with that position replaced by the entry's code.
    static uint32_t ConvertOlderPerHostWord(uint32_t word);
    // Tells which URLs are still in the host list; without it every word counts as present.
    void SetHostListMembership(std::function<bool(std::string_view url)> isInHostList);

    // Whether the last LoadSettings found no valid record and took the defaults.
    bool OptionsReplacedByDefaults() const;

  private:
    using OptionsBytes = std::array<uint8_t, 73>;
    using Watchers = std::vector<std::function<void(const std::string&)>>;

    void StoreInt(const std::string& name, int32_t value, std::vector<std::string>& changed);
    void StoreString(const std::string& name, std::string value, std::vector<std::string>& changed);
    void Notify(const std::vector<std::string>& changed) const;
    OptionsBytes RecordForSave() const;
    void AppendPerHostChanges(uint32_t defaultLanguage,
                              std::vector<platform::RegistryChange>& changes) const;

    platform::RegistryFile& registry_;
    mutable std::mutex mutex_;
    std::map<std::string, int32_t, std::less<>> ints_;
    std::map<std::string, std::string, std::less<>> strings_;
    std::map<std::string, uint32_t, std::less<>> perHost_;  // URL -> per-host word
    OptionsBytes record_{};                                 // as loaded, later as saved
    uint32_t loadedAppVersion_ = 0;                         // "XAppVersion" as loaded
    bool replacedByDefaults_ = false;
    bool olderValuesTakenOver_ = false;
    std::function<bool(std::string_view)> isInHostList_;
    std::map<std::string, Watchers, std::less<>> watchers_;
};

}  // namespace qvex
