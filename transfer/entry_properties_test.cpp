// What the file properties dialog shows for a selection of entries.
#include "transfer/entry_properties.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/locale.h"

namespace qvex {
namespace {

enum class Kind {
    File,
    Folder,
    Link,
    LinkToFolder,  // a local link to a folder has both flags
};

// 2004-01-05 14:07:09 UTC, a Monday: 15:07:09 in Central Europe.
constexpr int64_t kMonday = 1073311629;

RemoteEntry Entry(const std::string& name, Kind kind, int64_t size, std::optional<uint32_t> mode,
                  int64_t time = 0) {
    RemoteEntry entry;
    entry.name = name;
    entry.size = size;
    entry.time = time;
    switch (kind) {
        case Kind::File:
            entry.flags = kEntryTypeFile;
            break;
        case Kind::Folder:
            entry.flags = kEntryDirectory | kEntryTypeFolder;
            break;
        case Kind::Link:
            entry.flags = kEntrySymLink | kEntryTypeSymLink;
            break;
        case Kind::LinkToFolder:
            entry.flags = kEntrySymLink | kEntryDirectory | kEntryTypeSymLink;
            break;
    }
    if (mode) {
        entry.flags |= kEntryModeValid;
        entry.modeAndIcon = *mode << kEntryModeShift | 7;  // an icon index below the mode
    }
    return entry;
}

// Type texts by extension, as the local pane's file types give them.
std::string TypeByExtension(const RemoteEntry& entry) {
    if (isDirectory(entry)) {
        return "Folder";
    }
    return entry.name.ends_with(".txt") ? "Plain text document" : "PNG image";
}

struct Row {
    const char* what;
    std::vector<RemoteEntry> entries;
    bool typesByExtension;
    const char* name;
    const char* type;
    int64_t size;
    const char* summary;
    const char* modified;
    uint32_t mode;
    uint32_t undecided;
    const char* octal;
};

class EntryPropertiesTest : public ::testing::Test {
  protected:
    // A zone given as a POSIX rule needs no zone files.
    void SetUp() override {
        const char* saved = std::getenv("TZ");
        hadZone_ = saved != nullptr;
        savedZone_ = hadZone_ ? saved : "";
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        platform::ForgetLocalTimeOffsets();
    }
    void TearDown() override {
        if (hadZone_) {
            ::setenv("TZ", savedZone_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        platform::ForgetLocalTimeOffsets();
    }

  private:
    bool hadZone_ = false;
    std::string savedZone_;
};

TEST_F(EntryPropertiesTest, SelectionsGiveTheDialogTexts) {
    const std::vector<Row> rows = {
        {"one file",
         {Entry("read me.txt", Kind::File, 1234, 0644, kMonday)},
         false,
         "read me.txt",
         "File",
         1234,
         "1 File, 0 Folders, 0 Symbolic Links",
         "Monday, January 05, 2004 3:07:09 PM",
         0644,
         0,
         "0644"},
        {"one folder of a DOS listing: no mode, no time",
         {Entry("My Folder", Kind::Folder, 0, std::nullopt)},
         false,
         "My Folder",
         "Folder",
         0,
         "0 Files, 1 Folder, 0 Symbolic Links",
         "",
         0,
         0,
         "0000"},
        {"one link with set-id and sticky bits, morning time",
         {Entry("latest", Kind::Link, 11, 07777, kMonday - 6 * 3600)},
         false,
         "latest",
         "Symbolic Link",
         11,
         "0 Files, 0 Folders, 1 Symbolic Link",
         "Monday, January 05, 2004 9:07:09 AM",
         07777,
         0,
         "7777"},
        {"several of different kinds and modes",
         {Entry("a", Kind::File, 10, 0644, kMonday), Entry("b", Kind::File, 20, 0755),
          Entry("pub", Kind::Folder, 0, 02755)},
         false,
         "a, ...",
         "Multiple types",
         30,
         "2 Files, 1 Folder, 0 Symbolic Links",
         "",
         02755,
         02111,
         "****"},
        {"an unknown mode leaves no bit undecided",
         {Entry("a", Kind::File, 1, 0600), Entry("b", Kind::File, 2, std::nullopt)},
         false,
         "a, ...",
         "All of type File",
         3,
         "2 Files, 0 Folders, 0 Symbolic Links",
         "",
         0600,
         0,
         "0600"},
        {"no mode known at all",
         {Entry("a", Kind::File, 1, std::nullopt), Entry("b", Kind::Folder, 0, std::nullopt)},
         false,
         "a, ...",
         "Multiple types",
         1,
         "1 File, 1 Folder, 0 Symbolic Links",
         "",
         0,
         0,
         "0000"},
        {"links, one to a folder, count as links",
         {Entry("l1", Kind::Link, 3, 0777), Entry("l2", Kind::LinkToFolder, 4, 0777)},
         false,
         "l1, ...",
         "All of type Symbolic Link",
         7,
         "0 Files, 0 Folders, 2 Symbolic Links",
         "",
         0777,
         0,
         "0777"},
        {"one of each; a folder being made adds no size",
         {Entry("f", Kind::File, 5, 0640), Entry("NewFolder", Kind::Folder, -1, 0750),
          Entry("l", Kind::Link, 1, 0640)},
         false,
         "f, ...",
         "Multiple types",
         6,
         "1 File, 1 Folder, 1 Symbolic Link",
         "",
         0750,
         0110,
         "****"},
        {"the caller's type texts: one type",
         {Entry("a.txt", Kind::File, 1, 0644), Entry("b.txt", Kind::File, 1, 0644)},
         true,
         "a.txt, ...",
         "All of type Plain text document",
         2,
         "2 Files, 0 Folders, 0 Symbolic Links",
         "",
         0644,
         0,
         "0644"},
        {"the caller's type texts: two types",
         {Entry("a.txt", Kind::File, 1, 0644), Entry("b.png", Kind::File, 1, 0644)},
         true,
         "a.txt, ...",
         "Multiple types",
         2,
         "2 Files, 0 Folders, 0 Symbolic Links",
         "",
         0644,
         0,
         "0644"},
        {"the caller's type text for one entry",
         {Entry("c.png", Kind::File, 9, 0600)},
         true,
         "c.png",
         "PNG image",
         9,
         "1 File, 0 Folders, 0 Symbolic Links",
         "",
         0600,
         0,
         "0600"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const EntryProperties got =
            entryProperties(row.entries, row.typesByExtension ? TypeByExtension : EntryTypeText{});
        EXPECT_EQ(got.nameText, row.name);
        EXPECT_EQ(got.typeText, row.type);
        EXPECT_EQ(got.size, row.size);
        EXPECT_EQ(got.summaryText, row.summary);
        EXPECT_EQ(got.modifiedText, row.modified);
        EXPECT_EQ(got.mode, row.mode);
        EXPECT_EQ(got.undecided, row.undecided);
        EXPECT_EQ(got.octalText, row.octal);
    }
}

TEST(OctalModeText, FourDigitsOrStars) {
    const struct {
        uint32_t mode;
        uint32_t undecided;
        const char* text;
    } rows[] = {
        {0, 0, "0000"},           // nothing set
        {0644, 0, "0644"},        // a plain file
        {04755, 0, "4755"},       // set-user-ID
        {0100644, 0, "0644"},     // a file-type bit above the permission bits is not shown
        {0644, 01000, "****"},    // sticky undecided
        {0644, 0100000, "0644"},  // nor does a file-type bit make the mode undecided
    };
    for (const auto& row : rows) {
        EXPECT_EQ(octalModeText(row.mode, row.undecided), row.text) << std::oct << row.mode;
    }
}

}  // namespace
}  // namespace qvex
