#include "state/hosts/host_completion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry_file.h"
#include "state/settings.h"
#include "tests/support/temp_env.h"

namespace qvex {
namespace {

using Urls = std::vector<std::string>;

TEST(HostCompleterTest, PrefixesInTheirOrderEachInListOrder) {
    const HostCompleter completer(Urls{"ftp://ftp.alpha", "alpha", "ftp.alpine", "ftp://alps",
                                       "beta", "ALPHABET", "ftp://ftp.Alt/"});
    struct Row {
        const char* typed;
        Urls matches;
    };
    const Row rows[] = {
        {"al",
         {"alpha", "ALPHABET", "ftp.alpine", "ftp://alps", "ftp://ftp.alpha", "ftp://ftp.Alt/"}},
        {"AL",
         {"alpha", "ALPHABET", "ftp.alpine", "ftp://alps", "ftp://ftp.alpha", "ftp://ftp.Alt/"}},
        {"alph", {"alpha", "ALPHABET", "ftp://ftp.alpha"}},
        {"ftp.", {"ftp.alpine", "ftp://ftp.alpha", "ftp://ftp.Alt/"}},
        {"ftp://", {"ftp://ftp.alpha", "ftp://alps", "ftp://ftp.Alt/"}},
        {"ftp://ftp.al", {"ftp://ftp.alpha", "ftp://ftp.Alt/"}},
        {"alt/", {"ftp://ftp.Alt/"}},
        {"b", {"beta"}},
        {"gamma", {}},
        {"alpha ", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.typed);
        EXPECT_EQ(completer.Complete(row.typed), row.matches);
    }
    EXPECT_EQ(completer.Match("alph"), (std::vector<size_t>{1, 5, 0}));
}

TEST(HostCompleterTest, NoEntryTwice) {
    const HostCompleter completer(Urls{"ftp.x", "ftp.ftp.x", "b"});
    // "ftp.ftp.x" begins with "" + "ftp." and with "ftp." + "ftp.": it is listed once.
    EXPECT_EQ(completer.Complete("ftp."), (Urls{"ftp.x", "ftp.ftp.x"}));
    // Nothing typed: every entry, once, in list order.
    EXPECT_EQ(completer.Complete(""), (Urls{"ftp.x", "ftp.ftp.x", "b"}));
}

TEST(HostCompleterTest, OnlyTheFirst511TypedCharactersCount) {
    const std::string long511(511, 'a');
    const HostCompleter completer(Urls{long511 + "zzz", "a"});
    EXPECT_EQ(completer.Complete(long511 + "b"), (Urls{long511 + "zzz"}));
    EXPECT_EQ(completer.Complete(long511.substr(1) + "b"), Urls{});
}

TEST(HostCompleterTest, ResetTakesTheNewList) {
    HostCompleter completer;
    EXPECT_TRUE(completer.Match("a").empty());
    completer.Reset(Urls{"abc"});
    EXPECT_EQ(completer.urls(), Urls{"abc"});
    EXPECT_EQ(completer.Complete("A"), Urls{"abc"});
    completer.Reset(Urls{"xyz"});
    EXPECT_TRUE(completer.Complete("a").empty());
}

TEST(HostCompleterTest, SettingSwitchesCompletionOff) {
    test::TempEnv env;
    platform::RegistryFile registry(env.path("registry.reg"));
    Settings settings(registry);
    const HostCompleter completer(Urls{"alpha"});
    EXPECT_TRUE(CompleteHostField(settings, completer, "al").empty());
    settings.SetInt("HostUrlAuto", 1);
    EXPECT_EQ(CompleteHostField(settings, completer, "al"), Urls{"alpha"});
}

}  // namespace
}  // namespace qvex
