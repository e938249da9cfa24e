#include "state/hosts/host_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "state/hosts/host_test_print.h"
#include "state/secret_codec.h"
#include "state/settings.h"
#include "state/statistics_database.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

using platform::RegistryValue;

class HostListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settings_.SetInt("Statistics", 1);
        settings_.SetInt("XAppVersion", 0x03000000);  // as a current record loads
    }

    std::string RegistryText() const { return test::ReadFileBytes(registryPath_); }

    test::TempEnv env_;
    const std::string registryPath_ = env_.path("registry.reg");
    platform::RegistryFile registry_{registryPath_};
    Settings settings_{registry_};
    StatisticsDatabase statistics_{env_.root(), settings_};
};

int Sign(int value) {
    return value < 0 ? -1 : value > 0 ? 1 : 0;
}

TEST(CompareHostUrlsTest, HostsFirstThenTheRest) {
    struct Row {
        const char* a;
        const char* b;
        int order;
    };
    const Row rows[] = {
        {"ftp://zeta", "gamma", 1},             // hosts zeta and gamma
        {"ftp://beta", "gamma", -1},            // hosts beta and gamma
        {"ftp://Alpha/x", "alpha/y", -1},       // same host whatever its case; "/x" < "/y"
        {"ftp://alpha", "ftp://alphabet", -1},  // the shorter host first
        {"ftp://ALPHA", "ftp://alphabet", -1},  //
        {"a.b/Z", "a.b/a", -1},                 // the rest compares byte by byte
        {"ftp://h:21/", "ftp://h:3/", -1},      //
        {"ftp://u@h/p", "h/p", 0},              // what lies before the host takes no part
        {"ftp://h/p;type=a", "ftp://h/p", 1},   //
        {"has space", "HAS SPACE", 0},          // not URLs: whole texts, case-blind
        {"zeta space", "alpha", 1},             //
        {"ftp://beta", "beta gamma", 1},        // one of them no URL: whole texts
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.a) + " | " + row.b);
        EXPECT_EQ(Sign(CompareHostUrls(row.a, row.b)), row.order);
        EXPECT_EQ(Sign(CompareHostUrls(row.b, row.a)), -row.order);
    }
}

TEST(HostViewTest, NamesTipsAndToggles) {
    EXPECT_EQ(HostViewName(0), "Chronological");
    EXPECT_EQ(HostViewName(1), "Alphabetic");
    EXPECT_EQ(HostViewName(2), "Most Recently Used");
    EXPECT_EQ(HostViewTip(2), "(currently \"Most Recently Used\")");
    EXPECT_EQ(ToggleHostView(0, 1), 1);
    EXPECT_EQ(ToggleHostView(1, 1), 0);
    EXPECT_EQ(ToggleHostView(1, 2), 2);
    EXPECT_EQ(ToggleHostView(2, 2), 0);
    EXPECT_EQ(ToggleHostView(2, 1), 1);
}

TEST(UrlPasswordTest, PasswordsAreFoundRemovedAndMasked) {
    struct Row {
        const char* text;
        bool carries;
        const char* without;
        const char* masked;
    };
    const Row rows[] = {
        {"ftp://u:secret@h/p", true, "ftp://u@h/p", "ftp://u:****@h/p"},
        {"u:secret@h", true, "u@h", "u:****@h"},
        // In the path: no password for the stores, but the log hides it all the same.
        {"ftp://u@h/p:x@y", false, "ftp://u@h/p:x@y", "ftp://u@h/p:****@y"},
        {"h/a:b@c", false, "h/a:b@c", "h/a:****@c"},
        // Near misses of the grammar, as typed by mistake.
        {"ftp:/u:pw@h/", false, "ftp:/u:pw@h/", "ftp:****@h/"},
        {"ftp//u:pw@h/", false, "ftp//u:pw@h/", "ftp//u:****@h/"},
        {"ftp:///u:pw@h/", false, "ftp:///u:pw@h/", "ftp:///u:****@h/"},
        {"ftp://u:pw@h:21@x/", true, "ftp://u@x/", "ftp://u:****@x/"},
        {"ftp://u:@h", false, "ftp://u@h", "ftp://u:@h"},  // an empty password
        {"u:p@ss@h", true, "u@h", "u:****@h"},             // the last "@" ends it
        {"ftp://h:21/", false, "ftp://h:21/", "ftp://h:21/"},
        {"x:y@bad host\r\n", true, "x@bad host\r\n", "x:****@bad host??"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(UrlMayCarryPassword(row.text), row.carries);
        EXPECT_EQ(UrlWithoutPassword(row.text), row.without);
        EXPECT_EQ(MaskUrlPassword(row.text), row.masked);
    }
}

TEST(HostNameTextTest, PlainUnlessItWouldShowAPassword) {
    EXPECT_EQ(HostNameForText("ftp://h/p"), "ftp://h/p");
    EXPECT_EQ(HostNameForText("h"), "h");
    EXPECT_EQ(HostNameForText("ftp://u:p@h"), "*" + EncodeHostName("ftp://u:p@h"));
    EXPECT_EQ(HostNameForText("*star"), "*" + EncodeHostName("*star"));
    EXPECT_EQ(HostNameForText("tab\there"), "*" + EncodeHostName("tab\there"));
    for (const char* url : {"ftp://h/p", "ftp://u:p@h", "*star", "*", "tab\there", "*CF"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(HostNameFromText(HostNameForText(url)), url);
    }
    EXPECT_EQ(HostNameFromText("*CF"), "h");
    EXPECT_EQ(HostNameFromText("*not hex"), "*not hex");
    EXPECT_EQ(HostNameFromText("*"), "*");
}

TEST(HostEntryDataTest, CurrentAndOlderForms) {
    EXPECT_EQ(EncodeHostEntryData("u", "p"), "D2:D7");
    EXPECT_EQ(EncodeHostEntryData("", ""), ":");
    EXPECT_EQ(DecodeHostEntryData("D2:D7"), (std::pair<std::string, std::string>{"u", "p"}));
    EXPECT_EQ(DecodeHostEntryData("d2:d7"), (std::pair<std::string, std::string>{"u", "p"}));
    EXPECT_EQ(DecodeHostEntryData(""), (std::pair<std::string, std::string>{}));
    EXPECT_EQ(DecodeHostEntryData("some,user,D7"),
              (std::pair<std::string, std::string>{"some,user", "p"}));
    EXPECT_EQ(DecodeHostEntryData("user,"), (std::pair<std::string, std::string>{"user", ""}));
    EXPECT_FALSE(DecodeHostEntryData("user,XYZ").has_value());
    EXPECT_FALSE(DecodeHostEntryData("D2").has_value());
    EXPECT_FALSE(DecodeHostEntryData("D2:D7:D7").has_value());
    EXPECT_FALSE(DecodeHostEntryData("plain text").has_value());
}

TEST_F(HostListTest, EntriesAreStoredEncodedAndWrittenThrough) {
    HostList hosts(registry_, settings_);
    EXPECT_TRUE(hosts.SaveHostEntry("h", "u", "p", 7));
    EXPECT_TRUE(hosts.SaveHostEntry("ab", "", "", 0));
    EXPECT_FALSE(hosts.SaveHostEntry("", "u", "p", 1));
    const std::string text = RegistryText();
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Hosts]\n\"CF\"=\"D2:D7\"\n"
                        "\"C6EA\"=\":\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\PerHost]\n"
                        "\"CF\"=dword:00000007\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(registry_.ReadDword(kPerHostKey, "C6EA"), std::nullopt);  // no word, no value
    EXPECT_EQ(hosts.Urls(), (std::vector<std::string>{"h", "ab"}));
    EXPECT_EQ(hosts.Find("h"), (HostEntry{"h", "u", "p", 7, 0}));
    EXPECT_EQ(settings_.PerHostWord("h"), 7u);

    // Saving again changes the entry in place; a word of 0 leaves the stored word alone.
    EXPECT_TRUE(hosts.SaveHostEntry("h", "v", "", 0));
    EXPECT_EQ(hosts.Find("h"), (HostEntry{"h", "v", "", 7, 0}));
    EXPECT_EQ(registry_.ReadDword(kPerHostKey, "CF"), 7u);
    EXPECT_EQ(hosts.Urls(), (std::vector<std::string>{"h", "ab"}));
    EXPECT_FALSE(hosts.Find("H").has_value());
}

TEST_F(HostListTest, LoadingSkipsWhatDoesNotDecodeAndRewritesOlderData) {
    ASSERT_TRUE(registry_.WriteString(kHostsKey, EncodeHostName("ftp://first"), "D2:D7"));
    ASSERT_TRUE(registry_.WriteString(kHostsKey, "ABC", "D2:D7"));  // odd length
    ASSERT_TRUE(registry_.WriteString(kHostsKey, "ZZ", "D2:D7"));   // not hex
    ASSERT_TRUE(registry_.WriteString(kHostsKey, EncodeHostName("bad data"), "D2-D7"));
    ASSERT_TRUE(registry_.WriteDword(kHostsKey, EncodeHostName("a number"), 5));
    ASSERT_TRUE(registry_.WriteString(kHostsKey, EncodeHostName("old,er"), "older,user,D7"));
    ASSERT_TRUE(registry_.WriteString(kHostsKey, EncodeHostName("bad old"), "user,QQ"));
    ASSERT_TRUE(registry_.WriteString(kHostsKey, EncodeHostName("ftp://u:p@last"), ""));
    ASSERT_TRUE(registry_.WriteDword(kPerHostKey, EncodeHostName("ftp://first"), 0x00480409));
    ASSERT_TRUE(registry_.WriteDword(kPerHostKey, EncodeHostName("gone"), 3));
    settings_.SetString("LastHost", HostNameForText("ftp://u:p@last"));
    ASSERT_EQ(statistics_.FindHostRecord("first", true), 1);
    statistics_.BeginHostStatistics("first");
    statistics_.AccumulateConnect(0x5562DB5E);
    statistics_.CommitHostStatistics();

    HostList hosts(registry_, settings_, &statistics_);
    hosts.LoadHostList();
    EXPECT_EQ(hosts.Urls(), (std::vector<std::string>{"ftp://first", "old,er", "ftp://u:p@last"}));
    EXPECT_EQ(hosts.Find("ftp://first"),
              (HostEntry{"ftp://first", "u", "p", 0x00480409, 0x5562DB5E}));
    EXPECT_EQ(hosts.Find("old,er"), (HostEntry{"old,er", "older,user", "p", 0, 0}));
    EXPECT_EQ(hosts.Find("ftp://u:p@last"), (HostEntry{"ftp://u:p@last", "", "", 0, 0}));
    EXPECT_EQ(hosts.selected(), "ftp://u:p@last");
    EXPECT_EQ(settings_.PerHostWord("gone"), 0u);
    // The older entry is stored again in the current form; the others are left as found.
    EXPECT_EQ(registry_.ReadString(kHostsKey, EncodeHostName("old,er")),
              EncodeAuthData("older,user", "p"));
    EXPECT_EQ(registry_.ReadString(kHostsKey, "ABC"), "D2:D7");
}

TEST_F(HostListTest, WordsSavedBeforeVersion212AreConverted) {
    // Option 3 held a position in the time-zone list then.
    const uint32_t older = 0x409 | 5u << 19;
    ASSERT_TRUE(registry_.WriteString(kHostsKey, EncodeHostName("h"), ""));
    ASSERT_TRUE(registry_.WriteDword(kPerHostKey, EncodeHostName("h"), older));
    settings_.SetInt("XAppVersion", 0x02010100);
    HostList hosts(registry_, settings_);
    hosts.LoadHostList();
    EXPECT_EQ(settings_.PerHostWord("h"), Settings::ConvertOlderPerHostWord(older));
    EXPECT_NE(Settings::ConvertOlderPerHostWord(older), older);

    settings_.SetInt("XAppVersion", 0x02010200);
    hosts.LoadHostList();
    EXPECT_EQ(settings_.PerHostWord("h"), older);
}

TEST_F(HostListTest, SortingByTheThreeViews) {
    HostList hosts(registry_, settings_);
    for (const char* url : {"gamma", "ftp://zeta", "ftp://Alpha:2121/", "beta/x"}) {
        ASSERT_TRUE(hosts.SaveHostEntry(url, "", "", 0));
    }
    hosts.Select("gamma");
    hosts.SortHostList(kHostViewAlphabetic);
    EXPECT_EQ(hosts.Urls(),
              (std::vector<std::string>{"beta/x", "ftp://Alpha:2121/", "ftp://zeta", "gamma"}));
    settings_.SetInt("HostUrlSort", 1);
    hosts.SortHostList(kHostViewAlphabetic);
    EXPECT_EQ(hosts.Urls(),
              (std::vector<std::string>{"ftp://Alpha:2121/", "beta/x", "gamma", "ftp://zeta"}));
    hosts.NoteConnect("zeta", 500);
    hosts.NoteConnect("beta", 900);
    hosts.NoteConnect("Beta", 950);  // hosts compare exactly here
    hosts.SortHostList(kHostViewMostRecent);
    EXPECT_EQ(hosts.Urls(),
              (std::vector<std::string>{"beta/x", "ftp://zeta", "ftp://Alpha:2121/", "gamma"}));
    // Chronological keeps whatever order the list has now.
    hosts.SortHostList(kHostViewChronological);
    EXPECT_EQ(hosts.Urls(),
              (std::vector<std::string>{"beta/x", "ftp://zeta", "ftp://Alpha:2121/", "gamma"}));
    EXPECT_EQ(hosts.selected(), "gamma");
    EXPECT_EQ(hosts.Find("beta/x")->lastConnect, 900u);
}

TEST_F(HostListTest, NewEntryNames) {
    HostList hosts(registry_, settings_);
    ASSERT_TRUE(hosts.SaveHostEntry("ftp://host/1", "", "", 0));
    ASSERT_TRUE(hosts.SaveHostEntry("ftp://busy/1", "", "", 0));
    ASSERT_TRUE(hosts.SaveHostEntry("ftp://busy/2", "", "", 0));
    struct Row {
        const char* url;
        const char* name;
    };
    const Row rows[] = {
        {"ftp://host", "ftp://host/2"},
        {"ftp://host/", "ftp://host/2"},
        {"ftp://busy", "ftp://busy/3"},
        {"ftp://other", "ftp://other/1"},
        {"x/", "x/1"},
        {"", "/1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(hosts.NewEntryName(row.url), row.name);
    }
}

TEST_F(HostListTest, RemovingAnEntry) {
    HostList hosts(registry_, settings_, &statistics_);
    for (const char* url : {"ftp://a.example", "ftp://b.example/x", "ftp://c.example"}) {
        ASSERT_TRUE(hosts.SaveHostEntry(url, "u", "p", 9));
    }
    ASSERT_EQ(statistics_.FindHostRecord("b.example", true), 1);
    ASSERT_EQ(statistics_.FindHostRecord("c.example", true), 2);
    settings_.SetString("LastHost", "ftp://b.example/x");

    EXPECT_EQ(hosts.RemoveHostEntry("ftp://b.example/x"), "ftp://c.example");
    EXPECT_EQ(registry_.ReadString(kHostsKey, EncodeHostName("ftp://b.example/x")), std::nullopt);
    EXPECT_EQ(registry_.ReadDword(kPerHostKey, EncodeHostName("ftp://b.example/x")), std::nullopt);
    EXPECT_EQ(settings_.PerHostWord("ftp://b.example/x"), 0u);
    EXPECT_EQ(settings_.GetString("LastHost"), "");
    EXPECT_EQ(statistics_.FindHostRecord("b.example", false), 1);  // kept without Ctrl

    // The last entry: its neighbour before it is selected; with Ctrl its statistics go too.
    EXPECT_EQ(hosts.RemoveHostEntry("ftp://c.example", true), "ftp://a.example");
    EXPECT_EQ(statistics_.FindHostRecord("c.example", false), 0);
    EXPECT_EQ(hosts.RemoveHostEntry("ftp://nothing"), std::nullopt);
    EXPECT_EQ(hosts.RemoveHostEntry("ftp://a.example"), std::nullopt);
    EXPECT_EQ(hosts.size(), 0u);
    EXPECT_EQ(hosts.selected(), "");
    EXPECT_EQ(registry_.EnumerateValues(kHostsKey).size(), 0u);
}

TEST_F(HostListTest, MruFileHoldsTheEightMostRecentWithoutPasswords) {
    HostList hosts(registry_, settings_);
    for (uint32_t n = 1; n <= 12; ++n) {
        const std::string host = "host" + std::to_string(n);
        const std::string url = n == 12 ? "ftp://u:topsecret@" + host : "ftp://" + host + "/";
        ASSERT_TRUE(hosts.SaveHostEntry(url, "", "", 0));
        hosts.NoteConnect(host, n == 5 ? 0 : 100 + (n * 7) % 12);
    }
    ASSERT_TRUE(hosts.WriteMruFile(env_.root()));
    // Times: host1 107, 2 102, 3 109, 4 104, 6 106, 7 101, 8 108, 9 103, 10 110, 11 105, 12 100.
    EXPECT_EQ(test::ReadFileBytes(env_.path("QvexMRU.txt")),
              "ftp://host10/\nftp://host3/\nftp://host8/\nftp://host1/\nftp://host6/\n"
              "ftp://host11/\nftp://host4/\nftp://host9/\n");
    hosts.NoteConnect("host12", 200);
    ASSERT_TRUE(hosts.WriteMruFile(env_.root() + "/"));
    const std::string text = test::ReadFileBytes(env_.path("QvexMRU.txt"));
    EXPECT_EQ(text.substr(0, text.find('\n')), "ftp://u@host12");
    EXPECT_EQ(text.find("topsecret"), std::string::npos);
    EXPECT_FALSE(test::FileExists(env_.path("QvexMRU.txt.tmp")));

    EXPECT_FALSE(hosts.WriteMruFile(env_.path("no/such/folder")));
}

TEST_F(HostListTest, UnsavedEntriesAndSelection) {
    HostList hosts(registry_, settings_, &statistics_);
    statistics_.BeginHostStatistics("outside.example");
    statistics_.AccumulateConnect(1234);
    statistics_.CommitHostStatistics();
    hosts.AddUnsavedEntry("ftp://outside.example/pub");
    hosts.AddUnsavedEntry("ftp://outside.example/pub");
    EXPECT_EQ(hosts.Urls(), (std::vector<std::string>{"ftp://outside.example/pub"}));
    EXPECT_EQ(hosts.Find("ftp://outside.example/pub")->lastConnect, 1234u);
    EXPECT_TRUE(registry_.EnumerateValues(kHostsKey).empty());
    hosts.Select("ftp://nowhere");
    EXPECT_EQ(hosts.selected(), "");
    hosts.Select("ftp://outside.example/pub");
    EXPECT_EQ(hosts.selected(), "ftp://outside.example/pub");
    // The settings save the words of listed URLs only.
    settings_.SetPerHostWord("ftp://outside.example/pub", 0x10000);
    settings_.SetPerHostWord("ftp://unlisted", 0x10000);
    settings_.SavePerHostOptions(kDefaultLanguage);
    EXPECT_EQ(registry_.ReadDword(kPerHostKey, EncodeHostName("ftp://outside.example/pub")),
              0x10000u);
    EXPECT_EQ(registry_.ReadDword(kPerHostKey, EncodeHostName("ftp://unlisted")), std::nullopt);
}

}  // namespace
}  // namespace qvex
