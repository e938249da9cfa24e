#include "platform/registry_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::WriteFileBytes;

constexpr std::string_view kSettings = "Software\\VbKs\\Qvex\\Settings";
constexpr std::string_view kFullSettings = "HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings";

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777u;
}

std::string AllBytes() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

// --- the document: parse and serialize ---

TEST(RegistryDocumentTest, SerializesInTheExportFormat) {
    RegistryDocument document;
    ASSERT_TRUE(document.Set(kFullSettings, "Options", RegistryValue::String("5176657801")));
    ASSERT_TRUE(document.Set(kFullSettings, "EMail", RegistryValue::String("a\\b\"c")));
    ASSERT_TRUE(document.Set(kFullSettings, "Passive", RegistryValue::Dword(10)));
    ASSERT_TRUE(document.Set("HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\PerHost", "X",
                             RegistryValue::Dword(0xFFFFFFFFu)));
    EXPECT_EQ(document.Serialize(),
              "REGEDIT4\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings]\n"
              "\"Options\"=\"5176657801\"\n"
              "\"EMail\"=\"a\\\\b\\\"c\"\n"
              "\"Passive\"=dword:0000000a\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\PerHost]\n"
              "\"X\"=dword:ffffffff\n"
              "\n");
    EXPECT_EQ(RegistryDocument().Serialize(), "REGEDIT4\n\n");
}

TEST(RegistryDocumentTest, ParsesTheExportFormat) {
    RegistryDocument document = RegistryDocument::Parse(
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment\r\n"
        "[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings]\r\n"
        "\"Options\"=\"51766578\"\r\n"
        "  \"Passive\"=DWORD:0000000A  \r\n"
        "\"Short\"=dword:1\n"
        "\"Quoted\"=\"say \\\"hi\\\" \\\\ \\n\"");
    EXPECT_EQ(document.Get(kFullSettings, "Options"), RegistryValue::String("51766578"));
    EXPECT_EQ(document.Get(kFullSettings, "Passive"), RegistryValue::Dword(10));
    EXPECT_EQ(document.Get(kFullSettings, "Short"), RegistryValue::Dword(1));
    // Only \\ and \" are escapes; any other backslash stands for itself.
    EXPECT_EQ(document.Get(kFullSettings, "Quoted"), RegistryValue::String("say \"hi\" \\ \\n"));
}

TEST(RegistryDocumentTest, EveryByteRoundTripsInNamesAndData) {
    const std::string bytes = AllBytes();
    RegistryDocument document;
    ASSERT_TRUE(document.Set(kFullSettings, bytes, RegistryValue::String(bytes)));
    for (int value = 0; value < 256; ++value) {
        std::string one(1, static_cast<char>(value));
        ASSERT_TRUE(document.Set(kFullSettings, "n" + one + "n", RegistryValue::String(one)));
    }
    std::string text = document.Serialize();
    RegistryDocument parsed = RegistryDocument::Parse(text);
    EXPECT_EQ(parsed.Values(kFullSettings), document.Values(kFullSettings));
    EXPECT_EQ(parsed.Serialize(), text);
    EXPECT_EQ(parsed.Get(kFullSettings, bytes), RegistryValue::String(bytes));
}

TEST(RegistryDocumentTest, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    RegistryDocument document;
    ASSERT_TRUE(document.Set(kFullSettings, "LastHost", RegistryValue::String("one")));
    ASSERT_TRUE(document.Set("hkey_current_user\\SOFTWARE\\vbks\\qvex\\settings", "LASTHOST",
                             RegistryValue::String("two")));
    std::vector<RegistryNamedValue> values = document.Values(kFullSettings);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "LastHost");
    EXPECT_EQ(values[0].value, RegistryValue::String("two"));
    EXPECT_EQ(document.Keys(), std::vector<std::string>{std::string(kFullSettings)});
    EXPECT_EQ(document.Get(kFullSettings, "lasthost"), RegistryValue::String("two"));
    // Case folding is ASCII only: other bytes must match exactly.
    ASSERT_TRUE(document.Set(kFullSettings, "\xC3\x84", RegistryValue::Dword(1)));
    EXPECT_FALSE(document.Get(kFullSettings, "\xC3\xA4").has_value());
}

TEST(RegistryDocumentTest, RepeatedValuesAndKeysMerge) {
    RegistryDocument document = RegistryDocument::Parse(
        "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
        "[hkey_current_user\\a]\n\"X\"=\"3\"\n");
    std::vector<RegistryNamedValue> expected = {
        {"x", RegistryValue::String("3")},
        {"y", RegistryValue::String("2")},
    };
    EXPECT_EQ(document.Values("HKEY_CURRENT_USER\\A"), expected);
    EXPECT_EQ(document.Keys().size(), 1u);
}

TEST(RegistryDocumentTest, ForeignTextParsesAsEmpty) {
    const std::string rows[] = {
        "",
        "REGEDIT",
        "REGEDIT5\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n",
        std::string("\x00\x01\x02garbage", 10),
        " REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n",
    };
    for (const std::string& text : rows) {
        SCOPED_TRACE(text);
        RegistryDocument document = RegistryDocument::Parse(text);
        EXPECT_TRUE(document.Keys().empty());
        EXPECT_EQ(document.Serialize(), "REGEDIT4\n\n");
    }
}

TEST(RegistryDocumentTest, MalformedEntriesAreSkippedLineByLine) {
    RegistryDocument document = RegistryDocument::Parse(
        "\xEF\xBB\xBFREGEDIT4\n"
        "\"before\"=\"no key yet\"\n"
        "[HKEY_CURRENT_USER\\A]\n"
        "\"ok1\"=\"1\"\n"
        "\"unterminated=\"x\n"
        "\"ok2\"=dword:00000002\n"
        "\"toolong\"=dword:000000001\n"
        "\"nodigits\"=dword:\n"
        "\"binary\"=hex:01,02\n"
        "\"trailing\"=\"x\" junk\n"
        "\"nospace\" = \"x\"\n"
        "garbage line\n"
        "\"ok3\"=\"multi\nline\"\n"
        "[HKEY_CURRENT_USER\\\\Double]\n"
        "\"lost\"=\"under a malformed key\"\n"
        "[HKEY_CURRENT_USER\\B] trailing\n"
        "\"lost2\"=\"1\"\n"
        "[HKEY_CURRENT_USER\\C]\n"
        "\"ok4\"=\"4\"\n"
        "\"open\"=\"never closed\n");
    std::vector<RegistryNamedValue> expectedA = {
        {"ok1", RegistryValue::String("1")},
        {"ok2", RegistryValue::Dword(2)},
        {"ok3", RegistryValue::String("multi\nline")},
    };
    EXPECT_EQ(document.Values("HKEY_CURRENT_USER\\A"), expectedA);
    std::vector<RegistryNamedValue> expectedC = {{"ok4", RegistryValue::String("4")}};
    EXPECT_EQ(document.Values("HKEY_CURRENT_USER\\C"), expectedC);
    std::vector<std::string> keys = {"HKEY_CURRENT_USER\\A", "HKEY_CURRENT_USER\\C"};
    EXPECT_EQ(document.Keys(), keys);
}

TEST(RegistryDocumentTest, InvalidKeyPathsAreRefused) {
    const std::string rows[] = {"", "\\A", "A\\", "A\\\\B", "A\nB", "A\rB"};
    for (const std::string& key : rows) {
        SCOPED_TRACE(key);
        RegistryDocument document;
        EXPECT_FALSE(RegistryDocument::IsValidKeyPath(key));
        EXPECT_FALSE(document.Set(key, "x", RegistryValue::Dword(1)));
        EXPECT_TRUE(document.Keys().empty());
    }
    EXPECT_TRUE(RegistryDocument::IsValidKeyPath("A] b\\ c"));
}

TEST(RegistryDocumentTest, DeleteKeyTakesItsSubkeysOnly) {
    RegistryDocument document;
    for (std::string key : {"R\\Qvex", "R\\Qvex\\Settings", "R\\Qvex\\Hosts", "R\\QvexOther"}) {
        ASSERT_TRUE(document.Set(key, "v", RegistryValue::Dword(1)));
    }
    EXPECT_TRUE(document.DeleteKey("r\\QVEX"));
    EXPECT_EQ(document.Keys(), std::vector<std::string>{"R\\QvexOther"});
    EXPECT_FALSE(document.DeleteKey("R\\Qvex"));
    EXPECT_TRUE(document.Delete("R\\QvexOther", "V"));
    EXPECT_FALSE(document.Delete("R\\QvexOther", "v"));
    EXPECT_TRUE(document.HasKey("R\\QvexOther"));
}

// --- the file ---

class RegistryFileTest : public ::testing::Test {
  protected:
    test::TempEnv env_;
    std::string path_ = RegistryFilePath();
};

TEST_F(RegistryFileTest, LivesInTheConfigFolderOfTheTestEnvironment) {
    EXPECT_EQ(path_, env_.path("config/VbKs/Qvex/registry.reg"));
}

TEST_F(RegistryFileTest, MissingFileReadsAsEmpty) {
    RegistryFile registry(path_);
    EXPECT_FALSE(registry.ReadString(kSettings, "Options").has_value());
    EXPECT_FALSE(registry.ReadDword(kSettings, "Passive").has_value());
    EXPECT_TRUE(registry.EnumerateValues(kSettings).empty());
    EXPECT_FALSE(FileExists(path_));
}

TEST_F(RegistryFileTest, WritesCreateFolderFileAndLockPrivately) {
    RegistryFile registry;
    ASSERT_TRUE(registry.WriteString(kSettings, "EMail", "QvexUser@"));
    ASSERT_TRUE(registry.WriteDword(kSettings, "Passive", 1));
    EXPECT_EQ(ReadFileBytes(path_),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings]\n"
              "\"EMail\"=\"QvexUser@\"\n\"Passive\"=dword:00000001\n\n");
    EXPECT_EQ(ModeOf(path_), 0600u);
    EXPECT_EQ(ModeOf(path_ + ".lock"), 0600u);
    EXPECT_EQ(ModeOf(ConfigFolder()), 0700u);
    EXPECT_EQ(registry.ReadString(kSettings, "email"), "QvexUser@");
    EXPECT_EQ(registry.ReadDword(kSettings, "PASSIVE"), 1u);
    // A value of the other type reads as absent.
    EXPECT_FALSE(registry.ReadDword(kSettings, "EMail").has_value());
    EXPECT_FALSE(registry.ReadString(kSettings, "Passive").has_value());
}

TEST_F(RegistryFileTest, EveryByteRoundTripsThroughTheFile) {
    const std::string bytes = AllBytes();
    {
        RegistryFile registry(path_);
        ASSERT_TRUE(registry.WriteString(kSettings, bytes, bytes));
        ASSERT_TRUE(registry.WriteString(kSettings, "empty", ""));
    }
    RegistryFile reader(path_);
    EXPECT_EQ(reader.ReadString(kSettings, bytes), bytes);
    EXPECT_EQ(reader.ReadString(kSettings, "empty"), "");
}

TEST_F(RegistryFileTest, TwoCopiesKeepEachOthersValues) {
    RegistryFile first(path_);
    RegistryFile second(path_);
    ASSERT_TRUE(first.WriteString(kSettings, "A", "from first"));
    ASSERT_TRUE(second.WriteString(kSettings, "B", "from second"));  // its cache lacks "A"
    ASSERT_TRUE(first.WriteDword(kSettings, "C", 3));
    ASSERT_TRUE(second.DeleteValue(kSettings, "a"));
    ASSERT_TRUE(first.WriteString(kSettings, "D", "d"));
    RegistryFile reader(path_);
    std::vector<RegistryNamedValue> expected = {
        {"B", RegistryValue::String("from second")},
        {"C", RegistryValue::Dword(3)},
        {"D", RegistryValue::String("d")},
    };
    EXPECT_EQ(reader.EnumerateValues(kSettings), expected);
    // A write refreshes the writer's copy; the other sees changes after Reload.
    EXPECT_EQ(first.EnumerateValues(kSettings), expected);
    EXPECT_FALSE(second.ReadString(kSettings, "D").has_value());
    second.Reload();
    EXPECT_EQ(second.ReadString(kSettings, "D"), "d");
}

TEST_F(RegistryFileTest, TwoCopiesInSeparateProcessesLoseNothing) {
    constexpr int kWrites = 20;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RegistryFile registry(path_);
        bool ok = true;
        for (int i = 0; i < kWrites; ++i) {
            ok = registry.WriteDword(kSettings, "child" + std::to_string(i), 1) && ok;
        }
        ::_exit(ok ? 0 : 1);
    }
    RegistryFile registry(path_);
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_TRUE(registry.WriteDword(kSettings, "parent" + std::to_string(i), 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    registry.Reload();
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(registry.ReadDword(kSettings, "child" + std::to_string(i)), 1u) << i;
        EXPECT_EQ(registry.ReadDword(kSettings, "parent" + std::to_string(i)), 2u) << i;
    }
}

TEST_F(RegistryFileTest, ApplyStoresAllChangesOrNone) {
    RegistryFile registry(path_);
    ASSERT_TRUE(registry.WriteString(kSettings, "Old", "old"));
    ASSERT_TRUE(registry.WriteString("Software\\VbKs\\Qvex\\Hosts", "H", "h"));
    ASSERT_TRUE(registry.Apply({
        RegistryChange::String(std::string(kSettings), "S", "s"),
        RegistryChange::Dword(std::string(kSettings), "N", 7),
        RegistryChange::Remove(std::string(kSettings), "old"),
        RegistryChange::Remove(std::string(kSettings), "absent"),
        RegistryChange::RemoveKey("Software\\VbKs\\Qvex\\Hosts"),
    }));
    RegistryFile reader(path_);
    std::vector<RegistryNamedValue> expected = {
        {"S", RegistryValue::String("s")},
        {"N", RegistryValue::Dword(7)},
    };
    EXPECT_EQ(reader.EnumerateValues(kSettings), expected);
    EXPECT_TRUE(reader.EnumerateValues("Software\\VbKs\\Qvex\\Hosts").empty());

    std::string before = ReadFileBytes(path_);
    EXPECT_FALSE(registry.Apply({
        RegistryChange::String(std::string(kSettings), "T", "t"),
        RegistryChange::String("Bad\\\\Key", "x", "y"),
    }));
    EXPECT_EQ(ReadFileBytes(path_), before);
    EXPECT_FALSE(registry.ReadString(kSettings, "T").has_value());
}

TEST_F(RegistryFileTest, GarbageFileReadsAsEmptyAndIsRewrittenValid) {
    WriteFileBytes(path_, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    RegistryFile registry(path_);
    EXPECT_TRUE(registry.EnumerateValues(kSettings).empty());
    ASSERT_TRUE(registry.WriteString(kSettings, "EMail", "x@y"));
    EXPECT_EQ(ReadFileBytes(path_),
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings]\n"
              "\"EMail\"=\"x@y\"\n\n");
    EXPECT_EQ(ModeOf(path_), 0600u);
}

TEST_F(RegistryFileTest, WriterKilledBeforeRenameLeavesTheOldFile) {
    RegistryFile registry(path_);
    ASSERT_TRUE(registry.WriteString(kSettings, "Keep", "old value"));
    const std::string before = ReadFileBytes(path_);

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RegistryFile writer(path_);
        writer.SetBeforeRenameHookForTesting([] { ::_exit(42); });
        (void)writer.WriteString(kSettings, "Keep", "new value");
        ::_exit(1);  // the hook never returned, so this is not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42);

    const std::string leftover = path_ + ".tmp." + std::to_string(child);
    ASSERT_TRUE(FileExists(leftover));
    EXPECT_NE(ReadFileBytes(leftover).find("new value"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(path_), before);
    RegistryFile reader(path_);
    EXPECT_EQ(reader.ReadString(kSettings, "Keep"), "old value");

    // The dead writer's lock went with it; the next write succeeds and clears its leftover.
    ASSERT_TRUE(registry.WriteString(kSettings, "Other", "x"));
    EXPECT_FALSE(FileExists(leftover));
    reader.Reload();
    EXPECT_EQ(reader.ReadString(kSettings, "Keep"), "old value");
    EXPECT_EQ(reader.ReadString(kSettings, "Other"), "x");
}

TEST_F(RegistryFileTest, FailedWriteLeavesTheOldFile) {
    RegistryFile registry(path_);
    ASSERT_TRUE(registry.WriteString(kSettings, "Keep", "old value"));
    const std::string before = ReadFileBytes(path_);
    // A folder where the temporary file must go blocks the write even for root.
    const std::string blocker = path_ + ".tmp." + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(blocker.c_str(), 0700), 0);
    WriteFileBytes(blocker + "/inside", "x");

    EXPECT_FALSE(registry.WriteString(kSettings, "Keep", "new value"));
    EXPECT_EQ(ReadFileBytes(path_), before);
    EXPECT_EQ(registry.ReadString(kSettings, "Keep"), "old value");
}

TEST_F(RegistryFileTest, AFailedWriteLeavesTheOldFileIntact) {
    RegistryFile registry(path_);
    ASSERT_TRUE(registry.WriteString(kSettings, "Keep", "old value"));
    const std::string before = ReadFileBytes(path_);
    // A folder where the writer's temporary file must go makes the write fail, even for root.
    const std::string blocker = path_ + ".tmp." + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(blocker.c_str(), 0700), 0);
    WriteFileBytes(blocker + "/inside", "x");
    EXPECT_FALSE(registry.WriteString(kSettings, "Keep", "new value"));
    EXPECT_EQ(ReadFileBytes(path_), before);
    EXPECT_EQ(registry.ReadString(kSettings, "Keep"), "old value");
}

TEST_F(RegistryFileTest, UncreatableFolderFails) {
    WriteFileBytes(env_.path("config/VbKs"), "a file where the folder should be");
    RegistryFile registry;
    EXPECT_FALSE(registry.WriteString(kSettings, "x", "y"));
}

TEST_F(RegistryFileTest, DeletingWhatIsAbsentLeavesTheFileAlone) {
    RegistryFile registry(path_);
    EXPECT_TRUE(registry.DeleteValue(kSettings, "nothing"));
    EXPECT_TRUE(registry.DeleteKey("Software\\Nothing"));
    EXPECT_FALSE(FileExists(path_));
    ASSERT_TRUE(registry.WriteString(kSettings, "x", "y"));
    ASSERT_TRUE(registry.DeleteKey("SOFTWARE\\VBKS"));
    EXPECT_EQ(ReadFileBytes(path_), "REGEDIT4\n\n");
}

}  // namespace
}  // namespace qvex::platform
