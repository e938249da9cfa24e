// Desktop entry commands: the Exec value's quoting in both directions, and the one key
// rewritten in a real file with every other byte kept.
#include "platform/desktop_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

using Arguments = std::vector<std::string>;

struct ExecRow {
    const char* value;  // as written in the file
    Arguments arguments;
};

TEST(DesktopEntry, ExecValuesInBothDirections) {
    // Rows in the form FormatExecValue writes: they parse to the arguments and back.
    const ExecRow written[] = {
        {"/opt/qvex/Qvex3 -o %f", {"/opt/qvex/Qvex3", "-o", "%f"}},
        {"\"/opt/my apps/Qvex3\" -o %f", {"/opt/my apps/Qvex3", "-o", "%f"}},
        {"\"/opt/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e\" -o %f", {"/opt/a\"b$c`d\\e", "-o", "%f"}},
        {"\"/opt/new\\nline\" \"\"", {"/opt/new\nline", ""}},
        {"\"/opt/q'(x)*?;&|<>~#\" -o", {"/opt/q'(x)*?;&|<>~#", "-o"}},
        {"/opt/100%%/Qvex3", {"/opt/100%%/Qvex3"}},
    };
    for (const ExecRow& row : written) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(ParseExecValue(row.value), row.arguments);
        EXPECT_EQ(FormatExecValue(row.arguments), row.value);
    }
    // Other writers' forms read the same.
    const ExecRow read[] = {
        {"  /opt/Qvex3\t -o  %f ", {"/opt/Qvex3", "-o", "%f"}},
        {"\"/opt/Qvex3\" \"-o\" \"%f\"", {"/opt/Qvex3", "-o", "%f"}},
        {"/opt/my\\sapps/Qvex3", {"/opt/my", "apps/Qvex3"}},
        {"\"/opt/a\\\"b\"", {"/opt/a\"b"}},
        {"", {}},
    };
    for (const ExecRow& row : read) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(ParseExecValue(row.value), row.arguments);
    }
    EXPECT_EQ(ParseExecValue("\"/opt/Qvex3 -o %f"), std::nullopt);
    EXPECT_EQ(ExecArgumentOfPath("/opt/100%/Qvex3"), "/opt/100%%/Qvex3");
}

TEST(DesktopEntry, RewritesOnlyTheMainGroupsExec) {
    test::TempFolder folder;
    const std::string path = folder.path("qvex3.desktop");
    const std::string before =
        "# made elsewhere\n"
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Qvex3\n"
        "ExecFoo=keep\n"
        "Exec = /old/Qvex3 -o %f\n"
        "MimeType=application/x-qvex-shortcut;\n"
        "\n"
        "[Desktop Action new]\n"
        "Exec=/old/Qvex3\n";
    test::WriteFileBytes(path, before);
    EXPECT_EQ(ReadDesktopEntryCommand(path), (Arguments{"/old/Qvex3", "-o", "%f"}));
    ASSERT_TRUE(WriteDesktopEntryCommand(path, {"/new place/Qvex3", "-o", "%f"}));
    std::string after = before;
    after.replace(after.find("/old/Qvex3 -o %f"), 16, "\"/new place/Qvex3\" -o %f");
    EXPECT_EQ(test::ReadFileBytes(path), after);
    EXPECT_EQ(ReadDesktopEntryCommand(path), (Arguments{"/new place/Qvex3", "-o", "%f"}));

    // No Exec in the main group, or no file: nothing read, nothing written or created.
    const std::string actionOnly = "[Desktop Entry]\nName=x\n[Desktop Action a]\nExec=/old/x\n";
    test::WriteFileBytes(path, actionOnly);
    EXPECT_EQ(ReadDesktopEntryCommand(path), std::nullopt);
    EXPECT_FALSE(WriteDesktopEntryCommand(path, {"/x"}));
    EXPECT_EQ(test::ReadFileBytes(path), actionOnly);
    EXPECT_FALSE(WriteDesktopEntryCommand(folder.path("none.desktop"), {"/x"}));
    EXPECT_FALSE(test::FileExists(folder.path("none.desktop")));
}

}  // namespace
}  // namespace qvex::platform
