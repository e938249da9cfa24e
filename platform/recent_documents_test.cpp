// The recently used files: an opened file merged into the desktop's bookmark file, every
// other entry kept byte for byte, a foreign file left alone.
#include "platform/recent_documents.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tests/support/temp_env.h"

namespace qvex::platform {
namespace {

const RecentDocument kShortcut{"/home/me/My Site & co.qvex", "application/x-qvex-shortcut", "Qvex3",
                               "/opt/qvex/Qvex3 -o %f"};
const std::string kHref = "file:///home/me/My%20Site%20&amp;%20co.qvex";

// An entry of another program, as the desktop's own library writes it.
const std::string kOtherEntry =
    "  <bookmark href=\"file:///home/me/notes.txt\" added=\"2026-01-02T03:04:05.000001Z\" "
    "modified=\"2026-01-02T03:04:05.000001Z\" visited=\"2026-01-02T03:04:05.000001Z\">\n"
    "    <info>\n"
    "      <metadata owner=\"http://freedesktop.org\">\n"
    "        <mime:mime-type type=\"text/plain\"/>\n"
    "        <bookmark:applications>\n"
    "          <bookmark:application name=\"Text Editor\" exec=\"&apos;gnome-text-editor "
    "%u&apos;\" "
    "modified=\"2026-01-02T03:04:05.000001Z\" count=\"3\"/>\n"
    "        </bookmark:applications>\n"
    "      </metadata>\n"
    "    </info>\n"
    "  </bookmark>\n";
const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<xbel version=\"1.0\"\n"
    "      xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\"\n"
    "      xmlns:mime=\"http://www.freedesktop.org/standards/shared-mime-info\"\n"
    ">\n";

std::string Entry(const std::string& added, const std::string& now, int count) {
    return "  <bookmark href=\"" + kHref + "\" added=\"" + added + "\" modified=\"" + now +
           "\" visited=\"" + now +
           "\">\n"
           "    <info>\n"
           "      <metadata owner=\"http://freedesktop.org\">\n"
           "        <mime:mime-type type=\"application/x-qvex-shortcut\"/>\n"
           "        <bookmark:applications>\n"
           "          <bookmark:application name=\"Qvex3\" exec=\"&apos;/opt/qvex/Qvex3 -o "
           "%f&apos;\" modified=\"" +
           now + "\" count=\"" + std::to_string(count) +
           "\"/>\n"
           "        </bookmark:applications>\n"
           "      </metadata>\n"
           "    </info>\n"
           "  </bookmark>\n";
}

TEST(RecentDocuments, MergesIntoTheBookmarkFile) {
    const std::string t1 = "2026-12-07T10:00:00.000000Z";
    const std::string t2 = "2026-12-07T11:00:00.000000Z";
    EXPECT_EQ(FileUri("/a b/ü%#?.qvex"), "file:///a%20b/%C3%BC%25%23%3F.qvex");

    // A new file.
    EXPECT_EQ(MergeRecentDocument("", kShortcut, t1), kHead + Entry(t1, t1, 1) + "</xbel>\n");

    // Another program's entries stay; a second opening replaces the first one's entry,
    // keeping when it was added and counting the uses.
    const std::string theirs = kHead + kOtherEntry + "</xbel>";
    const std::string once = *MergeRecentDocument(theirs, kShortcut, t1);
    EXPECT_EQ(once, kHead + kOtherEntry + Entry(t1, t1, 1) + "</xbel>");
    const std::string twice =
        *MergeRecentDocument(kHead + Entry(t1, t1, 1) + kOtherEntry + "</xbel>\n", kShortcut, t2);
    EXPECT_EQ(twice, kHead + kOtherEntry + Entry(t1, t2, 2) + "</xbel>\n");

    // A closing tag on the last entry's line gets a line of its own.
    EXPECT_EQ(*MergeRecentDocument(kHead + "  <bookmark href=\"x\"/></xbel>", kShortcut, t1),
              kHead + "  <bookmark href=\"x\"/>\n" + Entry(t1, t1, 1) + "</xbel>");

    // Anything but a bookmark file is not touched.
    for (const char* foreign : {"not xml at all", "<xbel version=\"1.0\">", "\x01\x02</xbel>"}) {
        SCOPED_TRACE(foreign);
        EXPECT_EQ(MergeRecentDocument(foreign, kShortcut, t1), std::nullopt);
    }
}

TEST(RecentDocuments, ReplacesTheFileInTheDataHome) {
    test::TempEnv env;
    const std::string path = env.path("data/recently-used.xbel");
    ASSERT_TRUE(AddRecentDocument(kShortcut));
    std::string first = test::ReadFileBytes(path);
    EXPECT_NE(first.find("<bookmark href=\"" + kHref + "\""), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    test::WriteFileBytes(path, kHead + kOtherEntry + "</xbel>\n");
    ASSERT_TRUE(AddRecentDocument(kShortcut));
    const std::string merged = test::ReadFileBytes(path);
    EXPECT_TRUE(merged.starts_with(kHead + kOtherEntry + "  <bookmark href=\"" + kHref + "\""));
    EXPECT_TRUE(merged.ends_with("  </bookmark>\n</xbel>\n"));
    // No temporary is left behind.
    EXPECT_EQ(test::TreeOf(env.path("data")).size(), 1u);

    // Something there that cannot be read is never replaced.
    const std::string folder = env.path("data/elsewhere");
    ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folder + "/recently-used.xbel").c_str(), 0700), 0);
    EXPECT_FALSE(AddRecentDocument(kShortcut));
    EXPECT_EQ(test::TreeOf(folder).size(), 1u);
}

}  // namespace
}  // namespace qvex::platform
