#include "state/startup/command_line.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/inherited_section.h"
#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

using Args = std::vector<std::string>;

constexpr uint32_t kUpdate = kCommandLineUpdateOnly;
constexpr uint32_t kHash = kCommandLineHashJob;
constexpr uint32_t kShared = kCommandLineSharedNames;

// What a parse must give. `args` holds every entry, the two fixed ones included.
struct Expected {
    CommandLineKind kind = CommandLineKind::None;
    int mode = 0;
    uint32_t flags = 0;
    Args args = {"", ""};
    bool silent = false;
    char pending = 0;
};

void ExpectRequest(const CommandLineRequest& got, const Expected& want) {
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.mode, want.mode);
    EXPECT_EQ(got.flags, want.flags);
    EXPECT_EQ(got.args, want.args);
    EXPECT_EQ(got.silent, want.silent);
    EXPECT_EQ(got.pending, want.pending);
    EXPECT_EQ(got.positional, want.args.size());
}

struct ParseRow {
    const char* what;
    Args line;
    Expected want;
};

// For lines without "-o": any shortcut read is a fault.
std::optional<ShortcutData> NoShortcut(const std::string& path) {
    ADD_FAILURE() << "shortcut read: " << path;
    return std::nullopt;
}

TEST(CommandLine, ParsesOptionsAndPositionalArguments) {
    using K = CommandLineKind;
    const std::vector<ParseRow> rows = {
        {"nothing", {}, {}},
        {"URL alone connects", {"-u", "ftp://h/pub/"}, {K::Connect, 0, 0, {"ftp://h/pub/", ""}}},
        {"URL and two files upload them",
         {"-u", "ftp://h/in/", "/home/me/a.txt", "/home/me/b c.txt"},
         {K::Upload, 0, 0, {"ftp://h/in/", "", "/home/me/a.txt", "/home/me/b c.txt"}}},
        {"files before the URL", {"a", "-u", "ftp://h/"}, {K::Upload, 0, 0, {"ftp://h/", "", "a"}}},
        {"letters in either case",
         {"-U", "ftp://h/", "-D", "/in", "-V", "-Z"},
         {K::Connect, 0, kUpdate, {"ftp://h/", "/in"}, true}},
        {"a later URL wins",
         {"-u", "ftp://a/", "-u", "ftp://b/"},
         {K::Connect, 0, 0, {"ftp://b/", ""}}},
        {"fetch", {"-f", "ftp://h/pub/f.zip"}, {K::Fetch, 0, 0, {"ftp://h/pub/f.zip", ""}}},
        {"fetch a listing",
         {"-f", "ftp://h/pub/;type=d", "-d", "/out"},
         {K::Fetch, 0, 0, {"ftp://h/pub/;type=d", "/out"}}},
        {"fetch keeps its kind with files",
         {"-f", "ftp://h/", "x"},
         {K::Fetch, 0, 0, {"ftp://h/", "", "x"}}},
        {"upload only", {"-u", "ftp://h/", "-p"}, {K::UploadOnly, 0, 0, {"ftp://h/", ""}}},
        {"download only", {"-g", "-u", "ftp://h/"}, {K::DownloadOnly, 0, 0, {"ftp://h/", ""}}},
        {"the later kind wins", {"-p", "-g"}, {K::DownloadOnly}},
        {"-xI selects image", {"-xI"}, {K::None, 2}},
        {"-xa selects text", {"-xa"}, {K::None, 1}},
        {"-xi", {"-xi"}, {K::None, 2}},
        {"-xX selects smart", {"-xX"}, {K::None, 3}},
        {"-xq leaves the mode", {"-xa", "-xq"}, {K::None, 1}},
        {"-x alone leaves the mode", {"-xi", "-x"}, {K::None, 2}},
        {"-x reads only its next letter", {"-xaq"}, {K::None, 1}},
        {"-5m computes hash sums",
         {"-5m", "/home/me/f"},
         {K::ComputeSums, 'm', kHash, {"", "", "/home/me/f"}}},
        {"-6 verifies with its letter kept as given",
         {"-6S", "-d", "/in", "sums.md5"},
         {K::VerifySums, 'S', kHash, {"", "/in", "sums.md5"}}},
        {"-6 without a letter", {"-6"}, {K::VerifySums, 0, kHash}},
        {"hash job with a URL keeps its kind",
         {"-u", "ftp://h/", "-5m"},
         {K::ComputeSums, 'm', kHash, {"ftp://h/", ""}}},
        {"8-bit letter after -5", {"-5\xe9"}, {K::ComputeSums, 0xe9, kHash}},
        {"-v", {"-v"}, {K::None, 0, kUpdate}},
        {"-z", {"-z"}, {K::None, 0, 0, {"", ""}, true}},
        {"-@ and its handle", {"-@", "1f"}, {K::None, 0, kShared, {"", "", "1f"}}},
        {"-@ with a URL uploads",
         {"-u", "ftp://h/", "-@", "1F"},
         {K::Upload, 0, kShared, {"ftp://h/", "", "1F"}}},
        {"unknown options are ignored",
         {"-r", "-d", "/home/me", "-q", "-rfoo", "-?"},
         {K::None, 0, 0, {"", "/home/me"}}},
        {"- alone is an option, not a file",
         {"-u", "ftp://h/", "-"},
         {K::Connect, 0, 0, {"ftp://h/", ""}}},
        {"a leading slash is a path here",
         {"-u", "ftp://h/", "/p"},
         {K::Upload, 0, 0, {"ftp://h/", "", "/p"}}},
        {"an empty argument is positional", {""}, {K::None, 0, 0, {"", "", ""}}},
        {"only the first letter names the option",
         {"-ufoo", "ftp://h/"},
         {K::Connect, 0, 0, {"ftp://h/", ""}}},
        {"a value may look like an option",
         {"-u", "-v", "-d", "-"},
         {K::Connect, 0, 0, {"-v", "-"}}},
        {"a value option consumes a value option",
         {"-d", "-u", "ftp://h/"},
         {K::None, 0, 0, {"", "-u", "ftp://h/"}}},
        {"-u at the end sets nothing", {"-u"}, {K::None, 0, 0, {"", ""}, false, 'u'}},
        {"-u at the end keeps an earlier URL",
         {"-u", "ftp://h/", "-u"},
         {K::Connect, 0, 0, {"ftp://h/", ""}, false, 'u'}},
        {"-f at the end: fetch of nothing", {"-f"}, {K::Fetch, 0, 0, {"", ""}, false, 'f'}},
        {"-d at the end", {"-v", "-d"}, {K::None, 0, kUpdate, {"", ""}, false, 'd'}},
        {"-o at the end reads nothing", {"-o"}, {K::None, 0, 0, {"", ""}, false, 'o'}},
    };
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(row.what);
        ExpectRequest(ParseCommandLine(row.line, NoShortcut), row.want);
    }
}

TEST(CommandLine, ShortcutFileFillsTheRequest) {
    test::TempFolder folder;
    const std::string full = folder.path("full.qvex");
    test::WriteFileBytes(full,
                         "[QvexShortcut]\r\nURL=ftp://h/d/\r\nXDir=/tmp/in\r\nXMode=i\r\nUpdate=1");
    const std::string typeOnly = folder.path("type only.qvex");
    test::WriteFileBytes(typeOnly, "[QvexShortcut]\nXMode=x");
    const std::string empty = folder.path("empty.qvex");
    test::WriteFileBytes(empty, "");
    const std::string foreign = folder.path("foreign.qvex");
    test::WriteFileBytes(foreign, "[InternetShortcut]\nURL=ftp://other/");
    const std::string missing = folder.path("missing.qvex");

    using K = CommandLineKind;
    const std::vector<ParseRow> rows = {
        {"every field", {"-o", full}, {K::Connect, 2, kUpdate, {"ftp://h/d/", "/tmp/in"}}},
        {"the shortcut overrides what came before",
         {"-u", "ftp://x/", "-d", "/x", "-xa", "-o", full},
         {K::Connect, 2, kUpdate, {"ftp://h/d/", "/tmp/in"}}},
        {"later options override the shortcut",
         {"-o", full, "-d", "/x", "-xa"},
         {K::Connect, 1, kUpdate, {"ftp://h/d/", "/x"}}},
        {"files dropped beside a shortcut",
         {"-o", full, "/a"},
         {K::Upload, 2, kUpdate, {"ftp://h/d/", "/tmp/in", "/a"}}},
        {"empty fields keep the URL and folder",
         {"-u", "ftp://x/", "-d", "/x", "-o", typeOnly},
         {K::Connect, 3, 0, {"ftp://x/", "/x"}}},
        {"the type is taken even when it is none", {"-xa", "-o", empty}, {}},
        {"Update-ONLY is ORed in", {"-v", "-o", typeOnly}, {K::None, 3, kUpdate}},
        {"a file without the header contributes nothing",
         {"-xa", "-v", "-o", foreign},
         {K::None, 1, kUpdate}},
        {"a missing file contributes nothing",
         {"-u", "ftp://x/", "-xi", "-o", missing},
         {K::Connect, 2, 0, {"ftp://x/", ""}}},
        {"a folder contributes nothing", {"-xx", "-o", folder.root()}, {K::None, 3}},
    };
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(row.what);
        ExpectRequest(ParseCommandLine(row.line), row.want);
    }
    // Each refused shortcut leaves one line for the log.
    const CommandLineRequest refused =
        ParseCommandLine(Args{"-o", full, "-o", "/dev/zero", "-o", missing});
    EXPECT_EQ(refused.url(), "ftp://h/d/");
    const std::string why = ": not a Qvex Shortcut file (a regular file of at most 64 KiB)";
    EXPECT_EQ(refused.problems,
              (Args{"@@@ Unable to read /dev/zero" + why, "@@@ Unable to read " + missing + why}));
    EXPECT_TRUE(ParseCommandLine(Args{"-o", full}).problems.empty());
}

// The URL arguments' passwords are blanked in the process's own argument memory.
TEST(CommandLine, UrlPasswordsAreBlankedInTheArgumentMemory) {
    const Args line = {"-u", "ftp://u:secret@h/", "-d", "/x:y@z", "-f", "ftp:/v:pw@h/", "a:b@c",
                       "-u", "ftp://h/",          "-u"};
    CommandLineRequest request = ParseCommandLine(line, NoShortcut);
    EXPECT_EQ(request.urlArguments, (std::vector<size_t>{1, 5, 8}));
    // The parsed request keeps its copy.
    EXPECT_EQ(request.url(), "ftp://h/");
    std::vector<std::vector<char>> memory;
    for (const std::string& argument : line) {
        memory.emplace_back(argument.c_str(), argument.c_str() + argument.size() + 1);
    }
    std::vector<char*> pointers;
    for (std::vector<char>& argument : memory) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    HideUrlPasswords(request, pointers);
    Args after;
    for (size_t i = 0; i < line.size(); ++i) {
        after.emplace_back(pointers[i]);
        EXPECT_EQ(after.back().size(), line[i].size());
    }
    EXPECT_EQ(after, (Args{"-u", "ftp://u:******@h/", "-d", "/x:y@z", "-f", "ftp:*****@h/", "a:b@c",
                           "-u", "ftp://h/", "-u"}));
}

TEST(CommandLine, ShortcutReaderGetsTheValueAsGiven) {
    std::vector<std::string> asked;
    auto reader = [&asked](const std::string& path) -> std::optional<ShortcutData> {
        asked.push_back(path);
        ShortcutData data;
        data.url = "ftp://from/" + path;
        return data;
    };
    const Args line = {"-O", "-v", "x", "-o", "", "-o"};
    CommandLineRequest request = ParseCommandLine(line, reader);
    EXPECT_EQ(asked, (Args{"-v", ""}));
    ExpectRequest(request, {CommandLineKind::Upload, 0, 0, {"ftp://from/", "", "x"}, false, 'o'});
}

TEST(CommandLine, KeysCarryTheRequest) {
    struct Row {
        const char* what;
        Args line;
        CommandLineKeys keys;
    };
    const std::vector<Row> rows = {
        {"nothing", {}, {0, 0, 0, 0, 0, ""}},
        {"a folder alone opens the local pane there",
         {"-r", "-d", "/home/me"},
         {0, 0, 0, 0, 0, "/home/me"}},
        {"connect only", {"-u", "ftp://h/", "-xi"}, {1, 0, 0, 2, 0, ""}},
        {"upload", {"-u", "ftp://h/", "-d", "/up", "-v", "a"}, {1, 1, 0, 0, 1, "/up"}},
        {"fetch", {"-f", "ftp://h/f", "-xx"}, {1, 1, 0, 3, 0, ""}},
        {"upload only", {"-p", "-u", "ftp://h/", "-d", "/up"}, {1, 1, 1, 0, 0, "/up"}},
        {"download only without a URL", {"-g"}, {1, 1, 1, 0, 0, ""}},
        {"hash jobs keep their folder to themselves",
         {"-5m", "-d", "/in", "-@", "3"},
         {1, 1, 0, 'm', 6, ""}},
        {"verify", {"-6s", "-d", "/in", "f.sha1", "-v"}, {1, 1, 0, 's', 3, ""}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const CommandLineRequest request = ParseCommandLine(row.line, NoShortcut);
        EXPECT_EQ(CommandLineKeysOf(request), row.keys);

        test::TempFolder folder;
        platform::RegistryFile registry(folder.path("registry.reg"));
        Settings settings(registry);
        settings.SetString("CLXDir", "untouched");
        StoreCommandLineKeys(request, settings);
        EXPECT_EQ(settings.GetInt("CLConnect"), row.keys.connect);
        EXPECT_EQ(settings.GetInt("CLStart"), row.keys.start);
        EXPECT_EQ(settings.GetInt("CLOnly"), row.keys.only);
        EXPECT_EQ(settings.GetInt("CLXMode"), row.keys.xMode);
        EXPECT_EQ(settings.GetInt("CLXFlags"), row.keys.xFlags);
        EXPECT_EQ(settings.GetString("CLXDir"),
                  row.keys.xDir.empty() ? "untouched" : row.keys.xDir);
    }
}

TEST(CommandLine, UploadFilesAreJoinedToTheFolder) {
    struct Row {
        const char* what;
        Args line;
        Args paths;
    };
    const std::vector<Row> rows = {
        {"relative to the folder",
         {"-u", "ftp://h/", "-d", "/up", "a.txt", "sub/b c"},
         {"/up/a.txt", "/up/sub/b c"}},
        {"folder with its separator", {"-u", "ftp://h/", "-d", "/up/", "a"}, {"/up/a"}},
        {"full paths stay full", {"-u", "ftp://h/", "-d", "/up", "/abs/c"}, {"/abs/c"}},
        {"without a folder names are taken as given",
         {"-u", "ftp://h/", "/a/b", "c"},
         {"/a/b", "c"}},
        {"empty names are skipped", {"-u", "ftp://h/", "-d", "/up", "", "a"}, {"/up/a"}},
        {"no files", {"-p", "-u", "ftp://h/"}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CommandLineFiles files = CommandLineUploadFiles(ParseCommandLine(row.line, NoShortcut));
        EXPECT_EQ(files.paths, row.paths);
        EXPECT_EQ(files.failure, "");
    }
}

TEST(CommandLine, UploadFilesComeFromTheInheritedSection) {
    platform::InheritedSection section;
    ASSERT_TRUE(section.Create({"a.txt", "sub/b c", "/abs/d"}));
    const std::string handle = section.HandleText();
    // The list is taken over and closed by the reading side.
    const int fd = section.Release();

    const Args line = {"-u", "ftp://h/in/", "-d", "/up", "-@", handle};
    const CommandLineRequest request = ParseCommandLine(line, NoShortcut);
    EXPECT_EQ(request.kind, CommandLineKind::Upload);
    CommandLineFiles files = CommandLineUploadFiles(request);
    EXPECT_EQ(files.failure, "");
    EXPECT_EQ(files.paths, (Args{"/up/a.txt", "/up/sub/b c", "/abs/d"}));
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

    // Gone once taken: a second attempt fails.
    files = CommandLineUploadFiles(request);
    EXPECT_TRUE(files.paths.empty());
    EXPECT_EQ(files.failure, "@@@ Unable to read the file list of -@ " + handle);
}

TEST(CommandLine, BadInheritedHandleGivesNoFilesAndAReason) {
    struct Row {
        const char* what;
        Args line;
        std::string failure;
    };
    const std::vector<Row> rows = {
        {"not a number",
         {"-u", "ftp://h/", "-@", "zz"},
         "@@@ Unable to read the file list of -@ zz"},
        {"standard output is no section",
         {"-u", "ftp://h/", "-d", "/up", "-@", "1"},
         "@@@ Unable to read the file list of -@ 1"},
        {"no handle at all", {"-u", "ftp://h/", "-@"}, "@@@ No file list handle after -@"},
        {"an empty handle", {"-u", "ftp://h/", "-@", ""}, "@@@ No file list handle after -@"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CommandLineFiles files = CommandLineUploadFiles(ParseCommandLine(row.line, NoShortcut));
        EXPECT_TRUE(files.paths.empty());
        EXPECT_EQ(files.failure, row.failure);
    }
    // The program's output stays open.
    EXPECT_NE(::fcntl(1, F_GETFD), -1);
}

}  // namespace
}  // namespace qvex
