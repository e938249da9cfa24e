#include "state/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "state/secret_codec.h"
#include "state/time_zones.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

using platform::RegistryFile;
using platform::RegistryNamedValue;
using platform::RegistryValue;

// Computed here bit by bit, apart from the code under test.
uint32_t BitwiseCrc32(std::string_view text) {
    uint32_t crc = 0xFFFFFFFFu;
    for (char c : text) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return ~crc;
}

std::string Hex8(uint32_t value) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", value);
    return digits;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Appends the checksum of everything after the magic.
std::string Sealed(const std::string& body) {
    return body + Hex8(BitwiseCrc32(std::string_view(body).substr(8)));
}

// The default record without its checksum field, in upper case.
std::string DefaultBody() {
    return Upper(std::string(kDefaultOptionsRecord.substr(0, 138)));
}

std::string WithBytes(std::string record, size_t byte, const std::string& digits) {
    record.replace(2 * byte, digits.size(), digits);
    return record;
}

struct IntDefault {
    const char* name;
    int32_t value;
};

// The table of integer settings with their defaults.
const IntDefault kIntDefaults[] = {
    {"Statistics", 1},
    {"KeepHost", 1},
    {"KeepXDir", 1},
    {"KeepXMode", 1},
    {"LastXMode", 2},
    {"LogCmd", 1},
    {"LogExt", 1},
    {"Logging", 1},
    {"NoUIQuit", 1},
    {"NoUITray", 1},
    {"Passive", 1},
    {"ProxyType", 0},
    {"Restart", 1},
    {"UpdateONLY", 0},
    {"XAppVersion", 0x03000000},
    {"LocalIcons", 1},
    {"RemotePC", 65},
    {"RemoteView", 3},
    {"LocalView", 3},
    {"RemoteCols", 0x23101819},
    {"LocalCols", 0x211A1316},
    {"RemotePC2", 0},
    {"RemoteCols2", 0},
    {"LocalCols2", 0},
    {"Opacity", 100},
    {"LogColor", 1},
    {"LogKeep", 1},
    {"SearchTree", 1},
    {"SearchPCRE", 0},
    {"LocalOverwrite1", 1},
    {"LocalOverwrite2", 1},
    {"RemoteDelete1", 1},
    {"RemoteDelete2", 1},
    {"RestartDelete", 1},
    {"SnapTo", 1},
    {"ModelessSearch", 0},
    {"HostUrlAuto", 1},
    {"HostUrlSort", 0},
    {"PerCPUMD5", 0},
    {"ReplaceSpaces", 0},
    {"HostUrlView", 0},
    {"LargeIcons", 9},
    {"MD5SlashSep", 1},
};

class SettingsTest : public ::testing::Test {
  protected:
    void StoreString(std::string_view name, std::string_view text) {
        ASSERT_TRUE(registry_.WriteString(kSettingsKey, name, text));
    }
    void StoreDword(std::string_view name, uint32_t number) {
        ASSERT_TRUE(registry_.WriteDword(kSettingsKey, name, number));
    }
    std::optional<std::string> Stored(std::string_view name) {
        RegistryFile reader;
        return reader.ReadString(kSettingsKey, name);
    }
    std::string StoredOptions() { return Stored("Options").value_or("(absent)"); }

    test::TempEnv env_;
    RegistryFile registry_;  // the file of the temporary environment
};

// --- the record ---

TEST(OptionsRecordTest, Normalization) {
    const std::string body = DefaultBody();
    const std::string valid = Sealed(body);
    const std::string lower = Sealed(std::string(kDefaultOptionsRecord.substr(0, 138)));
    const std::string passiveOff = WithBytes(body, 17, "00");
    std::string longer = Sealed(body + "ABCDEF");
    struct Row {
        const char* what;
        std::string text;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {"full record", valid, valid},
        {"lower-case digits, checksum over them", lower, lower},
        {"record version 0", Sealed(WithBytes(body, 4, "00")), Sealed(WithBytes(body, 4, "00"))},
        {"record version 2", Sealed(WithBytes(body, 4, "02")), std::nullopt},
        {"record version FF", Sealed(WithBytes(body, 4, "FF")), std::nullopt},
        {"wrong magic", Sealed(WithBytes(body, 0, "51766579")), std::nullopt},
        {"changed field", WithBytes(valid, 17, "00"), std::nullopt},
        {"changed checksum", WithBytes(valid, 72, "FF"), std::nullopt},
        {"case changed after sealing", Upper(lower.substr(0, 138)) + lower.substr(138),
         std::nullopt},
        {"not hex", Sealed(WithBytes(body, 30, "4G")), std::nullopt},
        {"odd length", Sealed(body.substr(0, 93)), std::nullopt},
        {"65 characters", Sealed(body.substr(0, 57)), std::nullopt},
        {"66 characters", Sealed(body.substr(0, 58)),
         body.substr(0, 58) + std::string(kDefaultOptionsRecord.substr(58))},
        {"100 characters", Sealed(passiveOff.substr(0, 92)),
         passiveOff.substr(0, 92) + std::string(kDefaultOptionsRecord.substr(92))},
        {"longer", longer, longer.substr(0, 146)},
        {"empty", "", std::nullopt},
        {"foreign", "hello world", std::nullopt},
        {"spaces", std::string(146, ' '), std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(NormalizeOptionsRecord(row.text), row.expected);
    }
}

TEST(OptionsRecordTest, OneChangedCharacterAnywhereAfterTheMagicFails) {
    const std::string valid = Sealed(DefaultBody());
    ASSERT_TRUE(NormalizeOptionsRecord(valid).has_value());
    for (size_t pos = 8; pos < valid.size(); ++pos) {
        std::string changed = valid;
        changed[pos] = changed[pos] == '0' ? '1' : '0';
        SCOPED_TRACE(pos);
        EXPECT_FALSE(NormalizeOptionsRecord(changed).has_value());
    }
}

// --- loading ---

TEST_F(SettingsTest, DefaultsWithoutRegistry) {
    Settings settings(registry_);
    settings.LoadSettings();
    for (const IntDefault& row : kIntDefaults) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(settings.GetInt(row.name), row.value);
    }
    EXPECT_EQ(settings.GetString("EMail"), "QvexUser@");
    for (const char* name : {"Proxy", "LastHost", "LastXDir", "LastSearch", "AuthName",
                             "AuthPasswd", "AppFile", "Never set"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(settings.GetString(name), "");
    }
    EXPECT_EQ(settings.GetInt("Never set"), 0);
    EXPECT_EQ(settings.GetInt("Timeout"), 120);
    EXPECT_EQ(settings.GetInt("AppVersion"), 0x03050000);
    EXPECT_TRUE(settings.OptionsReplacedByDefaults());
}

TEST_F(SettingsTest, ValidRecordFillsTheTableWithMasks) {
    std::string body = DefaultBody();
    body = WithBytes(body, 7, "FE");         // "Statistics" bit 0 only
    body = WithBytes(body, 11, "FF");        // "LastXMode" bits 0-1
    body = WithBytes(body, 17, "00");        // "Passive"
    body = WithBytes(body, 31, "FF");        // "RemoteView" bits 0-2
    body = WithBytes(body, 33, "80000001");  // "RemoteCols" as a whole u32
    body = WithBytes(body, 50, "37");        // "Opacity"
    body = WithBytes(body, 67, "FF");        // "LargeIcons" bits 0-3
    StoreString("Options", Sealed(body));
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_FALSE(settings.OptionsReplacedByDefaults());
    EXPECT_EQ(settings.GetInt("Statistics"), 0);
    EXPECT_EQ(settings.GetInt("LastXMode"), 3);
    EXPECT_EQ(settings.GetInt("Passive"), 0);
    EXPECT_EQ(settings.GetInt("RemoteView"), 7);
    EXPECT_EQ(settings.GetInt("RemoteCols"), static_cast<int32_t>(0x80000001u));
    EXPECT_EQ(settings.GetInt("Opacity"), 0x37);
    EXPECT_EQ(settings.GetInt("LargeIcons"), 15);
    EXPECT_EQ(settings.GetInt("Logging"), 1);
}

TEST_F(SettingsTest, RecordVersionTwoGivesTheDefaults) {
    StoreString("Options", Sealed(WithBytes(WithBytes(DefaultBody(), 4, "02"), 17, "00")));
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_TRUE(settings.OptionsReplacedByDefaults());
    EXPECT_EQ(settings.GetInt("Passive"), 1);
}

TEST_F(SettingsTest, OneChangedCharacterGivesTheDefaults) {
    const std::string valid = Sealed(WithBytes(DefaultBody(), 17, "00"));
    StoreString("Options", valid);
    Settings settings(registry_);
    settings.LoadSettings();
    ASSERT_EQ(settings.GetInt("Passive"), 0);  // the untouched record is honoured

    StoreString("Options", WithBytes(valid, 30, "42"));
    settings.LoadSettings();
    EXPECT_TRUE(settings.OptionsReplacedByDefaults());
    EXPECT_EQ(settings.GetInt("Passive"), 1);
    EXPECT_EQ(settings.GetInt("RemotePC"), 65);
}

TEST_F(SettingsTest, ShortRecordTakesNewerFieldsFromTheDefaults) {
    std::string body = DefaultBody();
    body = WithBytes(body, 17, "00");                    // "Passive", char 34: kept
    body = WithBytes(body, 42, "AABBCCDD");              // "RemoteCols2", chars 84-91: kept
    body = WithBytes(body, 46, "11223344");              // "LocalCols2", chars 92-99: replaced
    body = WithBytes(body, 50, "10");                    // "Opacity", chars 100-101: replaced
    StoreString("Options", Sealed(body.substr(0, 92)));  // 100 characters in all
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_FALSE(settings.OptionsReplacedByDefaults());
    EXPECT_EQ(settings.GetInt("Passive"), 0);
    EXPECT_EQ(settings.GetInt("RemoteCols2"), static_cast<int32_t>(0xAABBCCDDu));
    EXPECT_EQ(settings.GetInt("LocalCols2"), 0);
    EXPECT_EQ(settings.GetInt("Opacity"), 100);
    EXPECT_EQ(settings.GetInt("MD5SlashSep"), 1);
}

TEST_F(SettingsTest, OlderIndividualValuesAreTakenOverAndDeletedAtSave) {
    StoreDword("Passive", 0);
    StoreDword("LastXMode", 1);
    StoreDword("ProxyType", 3);
    StoreDword("Restart", 0);
    StoreDword("UpdateONLY", 1);
    StoreDword("KeepAuth", 0);     // its byte is "Statistics" now
    StoreDword("Classic", 1);      // its byte is never read
    StoreDword("Logging", 0x100);  // only the low byte counts
    StoreDword("Unrelated", 5);
    StoreString("NoUITray", "0");  // a string is not an older DWORD value
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_TRUE(settings.OptionsReplacedByDefaults());
    EXPECT_EQ(settings.GetInt("Passive"), 0);
    EXPECT_EQ(settings.GetInt("LastXMode"), 1);
    EXPECT_EQ(settings.GetInt("ProxyType"), 3);
    EXPECT_EQ(settings.GetInt("Restart"), 0);
    EXPECT_EQ(settings.GetInt("UpdateONLY"), 1);
    EXPECT_EQ(settings.GetInt("Statistics"), 0);
    EXPECT_EQ(settings.GetInt("Logging"), 0);
    EXPECT_EQ(settings.GetInt("NoUITray"), 1);
    EXPECT_EQ(settings.GetInt("KeepHost"), 1);

    settings.SaveSettings();
    RegistryFile reader;
    for (const char* name : {"Classic", "KeepAuth", "KeepHost", "KeepXDir", "KeepXMode",
                             "LastXMode", "LogCmd", "LogExt", "Logging", "NoUIQuit", "NoUITray",
                             "Passive", "ProxyType", "Restart", "UpdateONLY"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(reader.ReadDword(kSettingsKey, name).has_value());
        EXPECT_FALSE(reader.ReadString(kSettingsKey, name).has_value());
    }
    EXPECT_EQ(reader.ReadDword(kSettingsKey, "Unrelated"), 5u);
    EXPECT_EQ(StoredOptions().substr(12, 2), "00");  // byte 6 is written as 0

    Settings again(registry_);
    again.LoadSettings();
    EXPECT_FALSE(again.OptionsReplacedByDefaults());
    EXPECT_EQ(again.GetInt("Passive"), 0);
    EXPECT_EQ(again.GetInt("LastXMode"), 1);
    EXPECT_EQ(again.GetInt("ProxyType"), 3);
    EXPECT_EQ(again.GetInt("Statistics"), 0);
    EXPECT_EQ(again.GetInt("UpdateONLY"), 1);
}

TEST_F(SettingsTest, OlderValuesBesideAValidRecordAreIgnoredAndKept) {
    StoreString("Options", Sealed(DefaultBody()));
    StoreDword("Passive", 0);
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_EQ(settings.GetInt("Passive"), 1);
    settings.SaveSettings();
    RegistryFile reader;
    EXPECT_EQ(reader.ReadDword(kSettingsKey, "Passive"), 0u);
}

TEST_F(SettingsTest, GarbageRegistryFileGivesDefaultsAndIsRewrittenValid) {
    test::WriteFileBytes(registry_.path(), std::string("\0\xFF garbage [\"=\n\"", 16));
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_TRUE(settings.OptionsReplacedByDefaults());
    EXPECT_EQ(settings.GetInt("Passive"), 1);
    EXPECT_EQ(settings.GetString("EMail"), "QvexUser@");
    settings.SetInt("Passive", 0);
    settings.SetString("Proxy", "proxy.example:8021");
    settings.SaveSettings();

    EXPECT_TRUE(test::ReadFileBytes(registry_.path()).starts_with("REGEDIT4\n"));
    Settings again(registry_);
    again.LoadSettings();
    EXPECT_FALSE(again.OptionsReplacedByDefaults());
    EXPECT_EQ(again.GetInt("Passive"), 0);
    EXPECT_EQ(again.GetString("Proxy"), "proxy.example:8021");
    EXPECT_EQ(again.GetString("EMail"), "QvexUser@");
}

// --- saving ---

TEST_F(SettingsTest, SavedRecordIsTheDefaultRecordWithRevisionVersionAndChecksum) {
    Settings settings(registry_);
    settings.LoadSettings();
    settings.SaveSettings();
    std::string expected = DefaultBody();
    expected.replace(10, 2, "05");        // layout revision
    expected.replace(42, 8, "03050000");  // "XAppVersion" := "AppVersion" (3.5.0.0)
    expected += Hex8(BitwiseCrc32(std::string_view(expected).substr(8)));
    EXPECT_EQ(StoredOptions(), expected);
    EXPECT_EQ(StoredOptions().size(), 146u);
}

TEST_F(SettingsTest, SaveWritesTheStoredStringsAndNothingHeldOnlyInMemory) {
    Settings settings(registry_);
    settings.LoadSettings();
    settings.SetString("AppFile", "/opt/qvex/Qvex3");
    settings.SetString("AppData", "/home/u/.local/share/VbKs/Qvex/");
    settings.SetString("CLXDir", "/tmp");
    settings.SetString("AuthName", "proxyuser");
    settings.SetString("AuthPasswd", "proxypass");
    settings.SetString("LastHost", "ftp://example.org/");
    settings.SetInt("CLOnly", 1);
    settings.SetInt("CLXMode", 1);
    settings.SaveSettings();

    RegistryFile reader;
    std::vector<std::string> names;
    for (const RegistryNamedValue& entry : reader.EnumerateValues(kSettingsKey)) {
        EXPECT_EQ(entry.value.type, entry.name == "Timeout" ? RegistryValue::Type::Dword
                                                            : RegistryValue::Type::String)
            << entry.name;
        names.push_back(entry.name);
    }
    std::vector<std::string> expected = {"Options", "EMail",    "Proxy",    "AppFile",   "AuthData",
                                         "Timeout", "LastHost", "LastXDir", "LastSearch"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(reader.ReadString(kSettingsKey, "AppFile"), "/opt/qvex/Qvex3");
    EXPECT_EQ(reader.ReadString(kSettingsKey, "EMail"), "QvexUser@");
    EXPECT_EQ(reader.ReadString(kSettingsKey, "LastHost"), "ftp://example.org/");
    std::string authData = reader.ReadString(kSettingsKey, "AuthData").value_or("");
    EXPECT_EQ(authData.find("proxy"), std::string::npos);
    EXPECT_EQ(DecodeAuthData(authData),
              (std::pair<std::string, std::string>("proxyuser", "proxypass")));
    EXPECT_NE(test::ReadFileBytes(registry_.path()).find("/opt/qvex/Qvex3"), std::string::npos);
}

// "Timeout" lives beside the record, as a DWORD of its own; every value round-trips, 0
// (wait for ever) included.
TEST_F(SettingsTest, TimeoutIsADwordOfItsOwn) {
    for (uint32_t value : {0u, 2u, 120u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(value);
        StoreDword("Timeout", value);
        Settings settings(registry_);
        settings.LoadSettings();
        EXPECT_EQ(static_cast<uint32_t>(settings.GetInt("Timeout")), value);
        settings.SetInt("Timeout", static_cast<int32_t>(value ^ 1));
        settings.SaveSettings();
        RegistryFile reader;
        EXPECT_EQ(reader.ReadDword(kSettingsKey, "Timeout"), value ^ 1);
    }
}

TEST_F(SettingsTest, ReservedBytesAreKeptAsRead) {
    StoreString("Options", Sealed(WithBytes(DefaultBody(), 25, "DEADBEEF")));
    Settings settings(registry_);
    settings.LoadSettings();
    settings.SetInt("Passive", 0);
    settings.SaveSettings();
    EXPECT_EQ(StoredOptions().substr(50, 8), "DEADBEEF");
    EXPECT_EQ(StoredOptions().substr(34, 2), "00");
}

TEST_F(SettingsTest, EveryIntegerSettingRoundTripsAtItsLargestValue) {
    struct Row {
        const char* name;
        int32_t largest;
    };
    const Row rows[] = {
        {"Statistics", 1},      {"KeepHost", 1},        {"KeepXDir", 1},       {"KeepXMode", 1},
        {"LastXMode", 3},       {"LogCmd", 1},          {"LogExt", 1},         {"Logging", 1},
        {"NoUIQuit", 1},        {"NoUITray", 1},        {"Passive", 1},        {"ProxyType", 3},
        {"Restart", 1},         {"UpdateONLY", 1},      {"LocalIcons", 1},     {"RemotePC", 255},
        {"RemoteView", 7},      {"LocalView", 7},       {"RemoteCols", -1},    {"LocalCols", -1},
        {"RemotePC2", 255},     {"RemoteCols2", -1},    {"LocalCols2", -1},    {"Opacity", 255},
        {"LogColor", 1},        {"LogKeep", 3},         {"SearchTree", 1},     {"SearchPCRE", 1},
        {"LocalOverwrite1", 1}, {"LocalOverwrite2", 1}, {"RemoteDelete1", 1},  {"RemoteDelete2", 1},
        {"RestartDelete", 1},   {"SnapTo", 1},          {"ModelessSearch", 1}, {"HostUrlAuto", 1},
        {"HostUrlSort", 1},     {"PerCPUMD5", 1},       {"ReplaceSpaces", 1},  {"HostUrlView", 3},
        {"LargeIcons", 15},     {"MD5SlashSep", 1},
    };
    {
        Settings settings(registry_);
        settings.LoadSettings();
        for (const Row& row : rows) {
            settings.SetInt(row.name, row.largest);
        }
        settings.SetInt("AppVersion", -1);
        settings.SaveSettings();
    }
    Settings settings(registry_);
    settings.LoadSettings();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(settings.GetInt(row.name), row.largest);
    }
    EXPECT_EQ(settings.GetInt("XAppVersion"), -1);
}

TEST_F(SettingsTest, ValuesBeyondAFieldAreMaskedAtSave) {
    {
        Settings settings(registry_);
        settings.LoadSettings();
        settings.SetInt("LastXMode", 7);
        settings.SetInt("Opacity", 0x1FF);
        settings.SetInt("Passive", 2);
        settings.SaveSettings();
    }
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_EQ(settings.GetInt("LastXMode"), 3);
    EXPECT_EQ(settings.GetInt("Opacity"), 0xFF);
    EXPECT_EQ(settings.GetInt("Passive"), 0);
}

TEST_F(SettingsTest, CommandLineConnectionTakesUpdateOnlyFromItsFlags) {
    StoreString("Options", Sealed(DefaultBody()));  // "UpdateONLY" stored as 0
    struct Row {
        int32_t connect;
        int32_t flags;
        int32_t expected;
    };
    const Row rows[] = {{1, 1, 1}, {1, 3, 1}, {1, 2, 0}, {0, 1, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flags + 10 * row.connect);
        Settings settings(registry_);
        settings.SetInt("CLConnect", row.connect);
        settings.SetInt("CLXFlags", row.flags);
        settings.LoadSettings();
        EXPECT_EQ(settings.GetInt("UpdateONLY"), row.expected);
    }
}

TEST_F(SettingsTest, UpdateOnlyIsSavedOnlyWithoutACommandLineConnection) {
    {
        Settings settings(registry_);
        settings.SetInt("CLConnect", 1);
        settings.SetInt("CLXFlags", 1);
        settings.LoadSettings();
        ASSERT_EQ(settings.GetInt("UpdateONLY"), 1);
        settings.SaveSettings();
    }
    EXPECT_EQ(StoredOptions().substr(40, 2), "00");
    {
        Settings settings(registry_);
        settings.LoadSettings();
        settings.SetInt("UpdateONLY", 1);
        settings.SaveSettings();
    }
    EXPECT_EQ(StoredOptions().substr(40, 2), "01");
}

TEST_F(SettingsTest, CommandLineWorkLeavesLastValuesAlone) {
    StoreString("LastHost", "ftp://old.example/");
    StoreString("LastXDir", "/old/dir");
    StoreString("LastSearch", "*.old");
    {
        Settings settings(registry_);
        settings.SetInt("CLStart", 1);
        settings.SetInt("CLConnect", 1);
        settings.LoadSettings();
        EXPECT_EQ(settings.GetString("LastHost"), "ftp://old.example/");
        settings.SetString("LastHost", "ftp://new.example/");
        settings.SetString("LastXDir", "/new/dir");
        settings.SetString("LastSearch", "*.new");
        settings.SetString("EMail", "me@example.org");
        settings.SetInt("LastXMode", 0);
        settings.SaveSettings();
    }
    EXPECT_EQ(Stored("LastHost"), "ftp://old.example/");
    EXPECT_EQ(Stored("LastXDir"), "/old/dir");
    EXPECT_EQ(Stored("LastSearch"), "*.old");
    EXPECT_EQ(Stored("EMail"), "me@example.org");
    EXPECT_EQ(StoredOptions().substr(22, 2), "02");  // "LastXMode" as it was
}

TEST_F(SettingsTest, KeepSwitchesDecideWhatIsRemembered) {
    {
        Settings settings(registry_);
        settings.LoadSettings();
        settings.SetString("LastHost", "ftp://host/");
        settings.SetString("LastXDir", "/dir");
        settings.SetString("LastSearch", "*.txt");
        settings.SetInt("LastXMode", 1);
        settings.SetInt("KeepHost", 0);
        settings.SetInt("KeepXDir", 0);
        settings.SetInt("KeepXMode", 0);
        settings.SaveSettings();
    }
    EXPECT_EQ(Stored("LastHost"), "");
    EXPECT_EQ(Stored("LastXDir"), "");
    EXPECT_EQ(Stored("LastSearch"), "*.txt");
    EXPECT_EQ(StoredOptions().substr(22, 2), "02");
    {
        Settings settings(registry_);
        settings.LoadSettings();
        settings.SetString("LastHost", "ftp://host/");
        settings.SetString("LastXDir", "/dir");
        settings.SetInt("LastXMode", 1);
        settings.SetInt("KeepHost", 1);
        settings.SetInt("KeepXDir", 1);
        settings.SetInt("KeepXMode", 1);
        settings.SaveSettings();
    }
    EXPECT_EQ(Stored("LastHost"), "ftp://host/");
    EXPECT_EQ(Stored("LastXDir"), "/dir");
    EXPECT_EQ(StoredOptions().substr(22, 2), "01");
}

TEST_F(SettingsTest, StringsRoundTripWithAnyBytes) {
    const std::string nasty = std::string("\"quoted\" \\back\\ line\nbreak \0 \xFF end", 34);
    {
        Settings settings(registry_);
        settings.LoadSettings();
        settings.SetString("EMail", nasty);
        settings.SetString("Proxy", nasty + "2");
        settings.SetString("LastSearch", nasty + "3");
        settings.SaveSettings();
    }
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_EQ(settings.GetString("EMail"), nasty);
    EXPECT_EQ(settings.GetString("Proxy"), nasty + "2");
    EXPECT_EQ(settings.GetString("LastSearch"), nasty + "3");
}

// --- proxy credentials ---

TEST_F(SettingsTest, AuthDataRoundTripsAnyUserAndPassword) {
    std::string all;
    for (int value = 0; value < 256; ++value) {
        all.push_back(static_cast<char>(value));
    }
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},       {"user", ""},
        {"a:b", "c:d"}, {std::string("\\\"\n\0\xFF", 5), std::string("\0", 1)},
        {all, all},
    };
    for (const auto& [user, password] : rows) {
        SCOPED_TRACE(user.size());
        {
            Settings settings(registry_);
            settings.LoadSettings();
            settings.SetString("AuthName", user);
            settings.SetString("AuthPasswd", password);
            settings.SaveSettings();
        }
        Settings settings(registry_);
        settings.LoadSettings();
        EXPECT_EQ(settings.GetString("AuthName"), user);
        EXPECT_EQ(settings.GetString("AuthPasswd"), password);
    }
}

TEST_F(SettingsTest, CredentialsComeFromAuthDataOrTheOlderValuesByVersion) {
    StoreString("AuthData", EncodeAuthData("newuser", "newpass"));
    StoreString("AuthName", "olduser");
    StoreString("AuthPasswd", "D4ED6E34E620");  // "secret" in the older form
    struct Row {
        const char* what;
        std::optional<std::string> options;
        const char* user;
        const char* password;
    };
    const Row rows[] = {
        {"no record", std::nullopt, "olduser", "secret"},
        {"invalid record", Sealed(WithBytes(DefaultBody(), 4, "02")), "olduser", "secret"},
        {"saved by 2.1.1", Sealed(WithBytes(DefaultBody(), 21, "02010100")), "olduser", "secret"},
        {"saved by 2.1.2", Sealed(WithBytes(DefaultBody(), 21, "02010200")), "newuser", "newpass"},
        {"saved by 3.0", Sealed(DefaultBody()), "newuser", "newpass"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.options) {
            StoreString("Options", *row.options);
        } else {
            ASSERT_TRUE(registry_.DeleteValue(kSettingsKey, "Options"));
        }
        Settings settings(registry_);
        settings.LoadSettings();
        EXPECT_EQ(settings.GetString("AuthName"), row.user);
        EXPECT_EQ(settings.GetString("AuthPasswd"), row.password);
    }
}

TEST_F(SettingsTest, OlderCredentialsAreSavedAsAuthData) {
    StoreString("AuthName", "olduser");
    StoreString("AuthPasswd", "D4ED6E34E620");
    {
        Settings settings(registry_);
        settings.LoadSettings();
        settings.SaveSettings();
    }
    ASSERT_TRUE(registry_.WriteString(kSettingsKey, "AuthName", "changed"));
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_EQ(settings.GetString("AuthName"), "olduser");
    EXPECT_EQ(settings.GetString("AuthPasswd"), "secret");
}

TEST_F(SettingsTest, DamagedCredentialsReadAsEmpty) {
    StoreString("Options", Sealed(DefaultBody()));
    StoreString("AuthData", "not:hex");
    Settings settings(registry_);
    settings.LoadSettings();
    EXPECT_EQ(settings.GetString("AuthName"), "");
    EXPECT_EQ(settings.GetString("AuthPasswd"), "");

    ASSERT_TRUE(registry_.DeleteValue(kSettingsKey, "Options"));
    StoreString("AuthName", "user");
    StoreString("AuthPasswd", "plain text");
    settings.LoadSettings();
    EXPECT_EQ(settings.GetString("AuthName"), "user");
    EXPECT_EQ(settings.GetString("AuthPasswd"), "");
}

// --- watching ---

TEST_F(SettingsTest, WatchersRunOncePerRealChange) {
    Settings settings(registry_);
    std::vector<std::string> calls;
    int second = 0;
    settings.WatchSetting("Restart", [&](const std::string& name) { calls.push_back(name); });
    settings.WatchSetting("Restart", [&](const std::string&) { ++second; });
    settings.WatchSetting("LastHost", [&](const std::string& name) { calls.push_back(name); });

    settings.SetInt("Restart", 0);  // never set reads as 0: unchanged
    settings.SetString("LastHost", "");
    EXPECT_TRUE(calls.empty());
    settings.SetInt("Restart", 1);
    settings.SetInt("Restart", 1);
    settings.SetInt("Statistics", 1);
    settings.SetString("LastHost", "ftp://a/");
    settings.SetString("LastHost", "ftp://a/");
    settings.SetInt("Restart", 0);
    std::vector<std::string> expected = {"Restart", "LastHost", "Restart"};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(second, 2);

    calls.clear();
    settings.LoadSettings();  // "Restart" becomes 1 again, "LastHost" becomes ""
    expected = {"Restart", "LastHost"};
    EXPECT_EQ(calls, expected);
    calls.clear();
    settings.LoadSettings();
    EXPECT_TRUE(calls.empty());
}

TEST_F(SettingsTest, WatchersMayUseTheSettings) {
    Settings settings(registry_);
    int seen = -1;
    settings.WatchSetting("Statistics", [&](const std::string& name) {
        seen = settings.GetInt(name);
        settings.SetInt("Mirror", seen + 10);
    });
    settings.SetInt("Statistics", 1);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(settings.GetInt("Mirror"), 11);
}

TEST_F(SettingsTest, ConcurrentChangesAreAllKept) {
    Settings settings(registry_);
    constexpr int kCount = 2000;
    int calls = 0;  // watchers run on the changing thread; each thread has its own name
    settings.WatchSetting("A", [&](const std::string&) { ++calls; });
    std::thread first([&] {
        for (int i = 1; i <= kCount; ++i) {
            settings.SetInt("A", i);
        }
    });
    std::thread second([&] {
        for (int i = 1; i <= kCount; ++i) {
            settings.SetString("B", std::to_string(i));
        }
    });
    first.join();
    second.join();
    EXPECT_EQ(settings.GetInt("A"), kCount);
    EXPECT_EQ(settings.GetString("B"), std::to_string(kCount));
    EXPECT_EQ(calls, kCount);
}

// --- per-host options ---

TEST_F(SettingsTest, PerHostFieldsPackIntoTheWord) {
    Settings settings(registry_);
    const std::string url = "ftp://user@host:2121/dir";
    settings.SetPerHostOption(url, kPerHostLanguage, 0x407);
    settings.SetPerHostOption(url, kPerHostTransferType, 3);
    settings.SetPerHostOption(url, kPerHostDirect, 1);
    settings.SetPerHostOption(url, kPerHostTimeZone, 68);
    settings.SetPerHostOption(url, kPerHostDataMode, 2);
    EXPECT_EQ(settings.PerHostWord(url), 0x0A270407u);
    const uint32_t expected[] = {0x407, 3, 1, 68, 2};
    for (int option = 0; option < 5; ++option) {
        SCOPED_TRACE(option);
        EXPECT_EQ(settings.GetPerHostOption(url, option), expected[option]);
    }
    settings.SetPerHostOption(url, kPerHostTimeZone, 0x1FF);  // masked to 7 bits
    EXPECT_EQ(settings.GetPerHostOption(url, kPerHostTimeZone), 0x7Fu);
    EXPECT_EQ(settings.GetPerHostOption(url, kPerHostDataMode), 2u);
    settings.SetPerHostOption(url, kPerHostTimeZone, 0);
    EXPECT_EQ(settings.PerHostWord(url), 0x08070407u);
    settings.SetPerHostOption(url, 6, 1);  // no such option
    settings.SetPerHostOption(url, -1, 1);
    EXPECT_EQ(settings.PerHostWord(url), 0x08070407u);
    EXPECT_EQ(settings.GetPerHostOption(url, 6), 0u);
    // "Security" lives in bits 28-29, which the other fields never touch.
    settings.SetPerHostOption(url, kPerHostSecurity, 7);  // masked to 2 bits
    EXPECT_EQ(settings.PerHostWord(url), 0x38070407u);
    EXPECT_EQ(settings.GetPerHostOption(url, kPerHostSecurity), 3u);
    EXPECT_EQ(settings.GetPerHostOption(url, kPerHostDataMode), 2u);
    settings.SetPerHostOption(url, kPerHostDataMode, 0);
    EXPECT_EQ(settings.GetPerHostOption(url, kPerHostSecurity), 3u);
    settings.SetPerHostOption(url, kPerHostSecurity, 0);
    EXPECT_EQ(settings.PerHostWord(url), 0x00070407u);
    EXPECT_EQ(settings.GetPerHostOption("ftp://other/", kPerHostLanguage), 0u);
}

TEST_F(SettingsTest, SavePerHostOptionsWritesAndDeletesWords) {
    const std::string defaultOnly = "ftp://default.example/";
    const std::string direct = "ftp://direct.example/";
    const std::string cleared = "ftp://cleared.example/";
    const std::string german = "ftp://german.example/";
    const std::string removed = "ftp://removed.example/";
    const std::string untouched = "ftp://never.example/";
    for (const std::string* url : {&defaultOnly, &cleared, &removed}) {
        ASSERT_TRUE(registry_.WriteDword(kPerHostKey, EncodeHostName(*url), 0x12345678));
    }
    Settings settings(registry_);
    settings.LoadSettings();
    settings.SetPerHostOption(defaultOnly, kPerHostLanguage, 0x409);
    settings.SetPerHostOption(direct, kPerHostLanguage, 0x409);
    settings.SetPerHostOption(direct, kPerHostDirect, 1);
    settings.SetPerHostOption(cleared, kPerHostDirect, 1);
    settings.SetPerHostOption(cleared, kPerHostDirect, 0);
    settings.SetPerHostOption(german, kPerHostLanguage, 0x407);
    settings.SetPerHostOption(removed, kPerHostLanguage, 0x407);
    settings.SetPerHostOption(untouched, kPerHostDirect, 0);  // 0 to 0: not kept
    settings.SetHostListMembership([&](std::string_view url) { return url != removed; });
    settings.SavePerHostOptions(0x409);

    RegistryFile reader;
    std::vector<RegistryNamedValue> expected = {
        {EncodeHostName(removed), RegistryValue::Dword(0x12345678)},
        {EncodeHostName(direct), RegistryValue::Dword(0x40409)},
        {EncodeHostName(german), RegistryValue::Dword(0x407)},
    };
    std::vector<RegistryNamedValue> stored = reader.EnumerateValues(kPerHostKey);
    std::sort(stored.begin() + 1, stored.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    std::sort(expected.begin() + 1, expected.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    EXPECT_EQ(stored, expected);
}

TEST_F(SettingsTest, EmptyWordsOfAnOlderVersionAreWritten) {
    StoreString("Options", Sealed(WithBytes(DefaultBody(), 21, "02010100")));
    Settings settings(registry_);
    settings.LoadSettings();
    settings.SetPerHostWord("ftp://zero/", 0);
    settings.SetPerHostWord("ftp://default/", 0x409);
    settings.SaveSettings();  // saving includes the per-host words
    RegistryFile reader;
    std::vector<RegistryNamedValue> expected = {
        {EncodeHostName("ftp://zero/"), RegistryValue::Dword(0)},
    };
    EXPECT_EQ(reader.EnumerateValues(kPerHostKey), expected);
}

TEST_F(SettingsTest, WordsWithBitsBeyondTheFieldsAreKept) {
    Settings settings(registry_);
    settings.LoadSettings();
    settings.SetPerHostWord("ftp://high/", 0x80000409u);
    settings.SetPerHostWord("ftp://zero/", 0);
    settings.SavePerHostOptions(0x409);
    RegistryFile reader;
    std::vector<RegistryNamedValue> expected = {
        {EncodeHostName("ftp://high/"), RegistryValue::Dword(0x80000409u)},
    };
    EXPECT_EQ(reader.EnumerateValues(kPerHostKey), expected);
    settings.ErasePerHostWord("ftp://high/");
    EXPECT_EQ(settings.PerHostWord("ftp://high/"), 0u);
}

TEST(PerHostWordTest, OlderTimeZonePositionsBecomeCodes) {
    struct Row {
        uint32_t position;
        uint32_t code;
    };
    const Row rows[] = {{0, 0},   {1, 16},   {17, 64}, {18, 68},
                        {26, 87}, {38, 116}, {39, 0},  {127, 0}};
    const uint32_t others = 0x0C070407u;  // every other field set, time zone clear
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        uint32_t older = others | row.position << 19;
        EXPECT_EQ(Settings::ConvertOlderPerHostWord(older), others | row.code << 19);
    }
}

// --- time zones ---

TEST(TimeZonesTest, EveryRowCodeFollowsFromItsText) {
    EXPECT_EQ(kTimeZones.front().text, "Local Time (default)");
    EXPECT_EQ(kTimeZones.back().text, "GMT+13:00 Enderbury");
    for (size_t i = 0; i < kTimeZones.size(); ++i) {
        SCOPED_TRACE(kTimeZones[i].text);
        EXPECT_EQ(TimeZoneCodeOf(kTimeZones[i].text), kTimeZones[i].code);
        EXPECT_EQ(TimeZoneCodeAt(static_cast<unsigned>(i)), kTimeZones[i].code);
        if (i > 1) {
            EXPECT_GT(kTimeZones[i].code, kTimeZones[i - 1].code);
        }
    }
    EXPECT_EQ(TimeZoneCodeAt(39), 0);
}

TEST(TimeZonesTest, CodeFromText) {
    struct Row {
        const char* text;
        int code;
    };
    const Row rows[] = {
        {"UTC+02:00", 72},
        {"GMT-05:30", 42},
        {"(UTC-03:30) shown before GMT+05:00", 50},  // "UTC" is looked for first
        {"GMT+05:45", 87},
        {"GMT+05:44", 86},  // minutes count in whole quarter hours
        {"GMT", 64},
        {"GMT 1", 64},
        {"GMT+", 64},
        {"GMT+5", 84},
        {"GMT+5:30", 84},  // the minutes are expected three characters after the sign + 1
        {"CET", 0},
        {"utc+01:00", 0},
        {"", 0},
        {"GMT+99:59", 64 + 396 + 3},
        {"GMT-99999999999999999999:00", 64 - 400000 - 6666},  // saturated, no overflow
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(TimeZoneCodeOf(row.text), row.code);
    }
}

}  // namespace
}  // namespace qvex
