// Start-up's desktop integration in temporary XDG folders: the extension registered through
// its library while the MIME package is missing, the desktop entry's command repaired only
// when it names another program, and a shortcut opened with "-o" among the recent files.
#include "state/startup/desktop_integration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/desktop_names.h"
#include "platform/recent_documents.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

class DesktopIntegrationTest : public testing::Test {
  protected:
    void SetUp() override {
        ::setenv("QVEX_PROBE_RECORD", record_.c_str(), 1);
        ::unsetenv("QVEX_PROBE_RESULT");
    }
    void TearDown() override {
        ::unsetenv("QVEX_PROBE_RECORD");
        ::unsetenv("QVEX_PROBE_RESULT");
    }

    std::string Calls() const {
        return test::FileExists(record_) ? test::ReadFileBytes(record_) : std::string();
    }
    std::string DataPath(std::string_view relative) const {
        return env_.path("data/" + std::string(relative));
    }

    test::TempEnv env_;
    const std::string record_ = env_.path("calls.txt");
};

TEST_F(DesktopIntegrationTest, RegistersWhileTheMimePackageIsMissing) {
    // No library: a failure, and nothing written.
    EXPECT_EQ(RegisterShellExtension(env_.path("nowhere/")), ExtensionRegistration::Failed);
    EXPECT_FALSE(test::FileExists(env_.path("data")));

    // The library's call fails: the next start tries again.
    ::setenv("QVEX_PROBE_RESULT", "5", 1);
    EXPECT_EQ(RegisterShellExtension(QVEX_REGISTER_PROBE_FOLDER), ExtensionRegistration::Failed);
    EXPECT_EQ(Calls(), "DllRegisterServer\n");
    ::unsetenv("QVEX_PROBE_RESULT");
    EXPECT_EQ(RegisterShellExtension(QVEX_REGISTER_PROBE_FOLDER),
              ExtensionRegistration::Registered);
    EXPECT_EQ(Calls(), "DllRegisterServer\nDllRegisterServer\n");
    EXPECT_TRUE(test::FileExists(DataPath(platform::kShortcutMimePackage)));

    // Registered: the library is not even loaded again.
    EXPECT_EQ(RegisterShellExtension(QVEX_REGISTER_PROBE_FOLDER), ExtensionRegistration::Present);
    EXPECT_EQ(Calls(), "DllRegisterServer\nDllRegisterServer\n");
}

// A rewritten recent-hosts list reaches the upload items of a registered extension only.
TEST_F(DesktopIntegrationTest, UploadMenusAreRefreshedOnlyWhenRegistered) {
    EXPECT_FALSE(RefreshUploadMenus(QVEX_REGISTER_PROBE_FOLDER));
    EXPECT_EQ(Calls(), "");
    ASSERT_EQ(RegisterShellExtension(QVEX_REGISTER_PROBE_FOLDER),
              ExtensionRegistration::Registered);
    EXPECT_TRUE(RefreshUploadMenus(QVEX_REGISTER_PROBE_FOLDER));
    EXPECT_EQ(Calls(), "DllRegisterServer\nQvexSX2UpdateMenus\n");
    EXPECT_FALSE(RefreshUploadMenus(env_.path("nowhere/")));
}

TEST_F(DesktopIntegrationTest, RepairsTheEntryNamingAnotherProgram) {
    const std::string program = "/opt/new place/Qvex3";
    const std::string entry = DataPath(platform::kProgramDesktopEntry);
    // Not registered: nothing is created.
    EXPECT_FALSE(RepairShortcutAssociation(program));
    EXPECT_FALSE(test::FileExists(entry));

    const std::string head = "[Desktop Entry]\nType=Application\nName=Qvex3\nExec=";
    const std::string tail = "\nMimeType=application/x-qvex-shortcut;\n";
    std::filesystem::create_directories(DataPath("applications"));
    test::WriteFileBytes(entry, head + "/usr/old/Qvex3 -o %f" + tail);
    EXPECT_TRUE(RepairShortcutAssociation(program));
    EXPECT_EQ(test::ReadFileBytes(entry), head + "\"/opt/new place/Qvex3\" -o %f" + tail);

    // The right command, however it is quoted, is left alone (file and time).
    for (const std::string same :
         {"\"/opt/new place/Qvex3\" -o %f", "\"/opt/new place/Qvex3\" \"-o\" \"%f\""}) {
        SCOPED_TRACE(same);
        test::WriteFileBytes(entry, head + same + tail);
        test::SetFileTime(entry, 1000000000);
        EXPECT_FALSE(RepairShortcutAssociation(program));
        EXPECT_EQ(test::ReadFileBytes(entry), head + same + tail);
        EXPECT_EQ(test::FileTime(entry), 1000000000);
    }
    // Another option than "-o %f" is repaired too.
    test::WriteFileBytes(entry, head + "\"/opt/new place/Qvex3\" %f" + tail);
    EXPECT_TRUE(RepairShortcutAssociation(program));
    EXPECT_EQ(test::ReadFileBytes(entry), head + "\"/opt/new place/Qvex3\" -o %f" + tail);
}

TEST_F(DesktopIntegrationTest, OpenedShortcutBecomesARecentFile) {
    const std::string shortcut = env_.path("My Site.qvex");
    test::WriteFileBytes(shortcut, "[QvexShortcut]\nURL=ftp://h/");
    // A relative name, as a file manager started in the folder may pass it.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(env_.root());
    const std::vector<std::string> arguments{"-o", "My Site.qvex", "-o", "missing.qvex"};
    CommandLineRequest request = ParseCommandLine(arguments);
    EXPECT_EQ(request.shortcuts, std::vector<std::string>{"My Site.qvex"});
    KeepDesktopIntegration(request);
    std::filesystem::current_path(before);
    const std::string recent = test::ReadFileBytes(DataPath("recently-used.xbel"));
    EXPECT_NE(recent.find("<bookmark href=\"" + platform::FileUri(shortcut) + "\""),
              std::string::npos);
    EXPECT_EQ(recent.find("missing.qvex"), std::string::npos);
    EXPECT_NE(recent.find("<mime:mime-type type=\"application/x-qvex-shortcut\"/>"),
              std::string::npos);
}

}  // namespace
}  // namespace qvex
