#include "search/search_pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qvex {
namespace {

TEST(CompileWildcard, EveryStarAndQuestionMarkIsATokenAndRunsBetweenAreLiterals) {
    const WildcardToken star{WildcardTokenKind::Star, {}};
    const WildcardToken question{WildcardTokenKind::Question, {}};
    auto literal = [](std::string text) {
        return WildcardToken{WildcardTokenKind::Literal, std::move(text)};
    };
    const std::vector<std::pair<std::string, std::vector<WildcardToken>>> rows = {
        {"", {}},
        {"*.gif", {star, literal(".gif")}},
        {"main?.htm*", {literal("main"), question, literal(".htm"), star}},
        {"**??", {star, star, question, question}},
        {"x y*[z]", {literal("x y"), star, literal("[z]")}},
    };
    for (const auto& [pattern, tokens] : rows) {
        SCOPED_TRACE(pattern);
        EXPECT_EQ(CompileWildcard(pattern), tokens);
    }
}

struct Row {
    std::string pattern;
    std::string name;
    bool matches;
};

void ExpectMatches(bool pcre, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE("pattern \"" + row.pattern.substr(0, 40) + "\", name \"" +
                     row.name.substr(0, 40) + "\"");
        SearchPattern pattern;
        ASSERT_TRUE(pattern.Compile(row.pattern, pcre));
        EXPECT_EQ(pattern.Matches(row.name), row.matches);
    }
}

TEST(SearchPattern, WildcardsAnchorAtTheStartAndAfterQuestionMarksButNeverAtTheEnd) {
    const std::string e = "\xC3\xA9";  // U+00E9
    ExpectMatches(false, {
                             {"abc*", "abc", false},  // a trailing '*' needs a character
                             {"abc*", "abcd", true},
                             {"abc", "abcdef", true},
                             {"abc", "xabc", false},
                             {"?", "a", true},
                             {"??", "a", false},
                             {"*.GIF", "a.gif", false},
                             {"*.gif", "a.gif.bak", true},
                             {"*.gif", ".gif", true},
                             {"main?.htm*", "main1.html", true},
                             {"main?.htm*", "main1.htm", false},
                             {"main?.htm*", "main12.html", false},
                             {"*?c", "abc", false},
                             {"*b?d", "abcd", true},
                             {"", "anything", true},
                             {"a.c", "abc", false},
                             // The first occurrence is taken; later ones are never tried.
                             {"*.b?c", "x.bz.byc", false},
                             {"*.b?c", "x.byc", true},
                             // '?' takes a whole UTF-8 character, else one byte.
                             {"a?b", "a" + e + "b", true},
                             {"a?b",
                              "a\xE2\x82\xAC"
                              "b",
                              true},
                             {"a??b", "a" + e + "b", false},
                             {"caf? b", "caf\xE9 b", true},
                             {"a?\x82", "a\xE2\x82", true},
                             {std::string(511, '*'), "a", true},
                             {std::string(511, '?'), std::string(511, 'n'), true},
                             {std::string(511, '?'), std::string(510, 'n'), false},
                             {"*" + std::string(510, 'n'), std::string(511, 'n'), true},
                         });
}

TEST(SearchPattern, ExpressionsMatchAnywhereCaseSensitivelyUnlessAnchored) {
    ExpectMatches(true, {
                            {"([a-z]+[0-9]*)\\.html", "index2.html", true},
                            {"([a-z]+[0-9]*)\\.html", "old-page.html.bak", true},
                            {"([a-z]+[0-9]*)\\.html", "INDEX.html", false},
                            {"^img", "my_img.png", false},
                            {"\\.png$", "a.png.old", false},
                            {"", "anything", true},
                            {"tail$", std::string("head\0tail", 9), true},
                            {std::string(510, 'a') + "b", std::string(510, 'a') + "bc", true},
                            {"^(a+)+$", std::string(40, 'a') + "b", false},
                        });
    // The subject ends where the name ends, not at a NUL behind it.
    SearchPattern pattern;
    ASSERT_TRUE(pattern.Compile("tail$", true));
    EXPECT_FALSE(pattern.Matches(std::string_view("nametail").substr(0, 4)));
}

TEST(SearchPattern, BadExpressionsAndOverlongPatternsDoNotCompile) {
    const std::vector<std::pair<std::string, bool>> bad = {
        {"(", true},
        {"[a-", true},
        {"a{2,1}", true},
        {"(?P<n>a)(?P<n>b)", true},
        {std::string(511, '*'), true},
        {std::string("a\0b", 3), true},  // the wrapper would see only "a"
        {std::string(512, 'a'), true},
        {std::string(512, '*'), false},
    };
    for (const auto& [text, pcre] : bad) {
        SCOPED_TRACE(text.substr(0, 20));
        SearchPattern pattern;
        EXPECT_FALSE(pattern.Compile(text, pcre));
        EXPECT_FALSE(pattern.Matches("abc"));
    }
}

}  // namespace
}  // namespace qvex
