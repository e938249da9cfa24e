#include "state/url_grammar.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qvex {
namespace {

using namespace std::string_literals;

constexpr char kEmail[] = "me@example.org";

// Every test starts from known defaults and leaves the process-wide ones as it found them.
class UrlGrammarTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = GetUrlDefaults();
        SetUrlDefaults("ftp", "anonymous", kEmail, "21");
    }
    void TearDown() override {
        SetUrlDefaults(saved_.scheme.c_str(), saved_.user.c_str(), saved_.password.c_str(),
                       saved_.port.c_str());
    }

  private:
    UrlDefaults saved_;
};

SessionRequest Request(std::string scheme, std::string user, std::string password, std::string host,
                       std::string port, std::string path, char typeCode, bool schemeDefaulted,
                       bool credentialsDefaulted, bool portDefaulted) {
    return SessionRequest{std::move(scheme), std::move(user), std::move(password),
                          std::move(host),   std::move(port), std::move(path),
                          typeCode,          schemeDefaulted, credentialsDefaulted,
                          portDefaulted};
}

void ExpectRequest(const SessionRequest& actual, const SessionRequest& expected) {
    EXPECT_EQ(actual.scheme, expected.scheme);
    EXPECT_EQ(actual.user, expected.user);
    EXPECT_EQ(actual.password, expected.password);
    EXPECT_EQ(actual.host, expected.host);
    EXPECT_EQ(actual.port, expected.port);
    EXPECT_EQ(actual.path, expected.path);
    EXPECT_EQ(actual.typeCode, expected.typeCode);
    EXPECT_EQ(actual.schemeDefaulted, expected.schemeDefaulted);
    EXPECT_EQ(actual.credentialsDefaulted, expected.credentialsDefaulted);
    EXPECT_EQ(actual.portDefaulted, expected.portDefaulted);
}

TEST_F(UrlGrammarTest, UrlsThatParse) {
    struct Row {
        std::string text;
        SessionRequest expected;
        std::string canonical;
    };
    const Row rows[] = {
        {"ftp.example.com",
         Request("ftp", "anonymous", kEmail, "ftp.example.com", "21", "", 0, true, true, true),
         "ftp.example.com"},
        {"ftp://u:p@h:2121/pub/dir/;type=i",
         Request("ftp", "u", "p", "h", "2121", "pub/dir/", 'i', false, false, false),
         "ftp://h:2121/pub/dir/"},
        {"u%40x@h", Request("ftp", "u@x", "", "h", "21", "", 0, true, false, true), "h"},
        {"u:a%2Fb@h", Request("ftp", "u", "a/b", "h", "21", "", 0, true, false, true), "h"},
        {"u:a%2fb@h", Request("ftp", "u", "a/b", "h", "21", "", 0, true, false, true), "h"},
        {"u%4A%4a:%7E%7e@h", Request("ftp", "uJJ", "~~", "h", "21", "", 0, true, false, true), "h"},
        // Decoded bytes stay as written, even those the command sender will refuse.
        {"u:p%00q%0D%0A@h", Request("ftp", "u", "p\0q\r\n"s, "h", "21", "", 0, true, false, true),
         "h"},
        {"u:%FF@h", Request("ftp", "u", "\xFF", "h", "21", "", 0, true, false, true), "h"},
        {"user@h", Request("ftp", "user", "", "h", "21", "", 0, true, false, true), "h"},
        {"ftp://h/", Request("ftp", "anonymous", kEmail, "h", "21", "", 0, false, true, true),
         "ftp://h"},
        {"h/pub/", Request("ftp", "anonymous", kEmail, "h", "21", "pub/", 0, true, true, true),
         "h/pub/"},
        // The path stays encoded.
        {"h/pub/a%20b",
         Request("ftp", "anonymous", kEmail, "h", "21", "pub/a%20b", 0, true, true, true),
         "h/pub/a%20b"},
        {"h/a@b&c.txt;type=d",
         Request("ftp", "anonymous", kEmail, "h", "21", "a@b&c.txt", 'd', true, true, true),
         "h/a@b&c.txt"},
        {"h;type=a", Request("ftp", "anonymous", kEmail, "h", "21", "", 'a', true, true, true),
         "h"},
        // FTP over TLS: implicit TLS has its own default port, explicit TLS the one of FTP.
        {"ftps://h", Request("ftps", "anonymous", kEmail, "h", "990", "", 0, false, true, true),
         "ftps://h"},
        {"FTPS://u@h:21/pub", Request("FTPS", "u", "", "h", "21", "pub", 0, false, false, false),
         "FTPS://h:21/pub"},
        {"ftpes://u:p@h/pub", Request("ftpes", "u", "p", "h", "21", "pub", 0, false, false, true),
         "ftpes://h/pub"},
        // Schemes and case are kept as written; the caller decides what it serves.
        {"http://h", Request("http", "anonymous", kEmail, "h", "21", "", 0, false, true, true),
         "http://h"},
        {"svn+ssh://h:22",
         Request("svn+ssh", "anonymous", kEmail, "h", "22", "", 0, false, true, false),
         "svn+ssh://h:22"},
        {"FTP://Ftp.Example.COM:00021",
         Request("FTP", "anonymous", kEmail, "Ftp.Example.COM", "00021", "", 0, false, true, false),
         "FTP://Ftp.Example.COM:00021"},
        {"192.168.1.10:2121",
         Request("ftp", "anonymous", kEmail, "192.168.1.10", "2121", "", 0, true, true, false),
         "192.168.1.10:2121"},
        {"h:123456789012345678901234567890",
         Request("ftp", "anonymous", kEmail, "h", "123456789012345678901234567890", "", 0, true,
                 true, false),
         "h:123456789012345678901234567890"},
        {"a-b.c-d.example",
         Request("ftp", "anonymous", kEmail, "a-b.c-d.example", "21", "", 0, true, true, true),
         "a-b.c-d.example"},
        {"u!$'()+,.;=?_-:p!$'()+,.;=?_-@h",
         Request("ftp", "u!$'()+,.;=?_-", "p!$'()+,.;=?_-", "h", "21", "", 0, true, false, true),
         "h"},
        // A literal IPv6 address in brackets; the host is the address alone.
        {"ftp://[::1]", Request("ftp", "anonymous", kEmail, "::1", "21", "", 0, false, true, true),
         "ftp://[::1]"},
        {"u:p@[2001:DB8::7]:2121/pub",
         Request("ftp", "u", "p", "2001:DB8::7", "2121", "pub", 0, true, false, false),
         "[2001:DB8::7]:2121/pub"},
        {"[::ffff:192.0.2.1]",
         Request("ftp", "anonymous", kEmail, "::ffff:192.0.2.1", "21", "", 0, true, true, true),
         "[::ffff:192.0.2.1]"},
        // A link-local address with its zone after "%25"; the host holds it after a "%".
        {"ftp://[fe80::1%25eth0]/",
         Request("ftp", "anonymous", kEmail, "fe80::1%eth0", "21", "", 0, false, true, true),
         "ftp://[fe80::1%25eth0]"},
        {"u:p@[FEBF::a:1%252]:2121/pub",
         Request("ftp", "u", "p", "FEBF::a:1%2", "2121", "pub", 0, true, false, false),
         "[FEBF::a:1%252]:2121/pub"},
        {"[fe80::1%25en%30.v~_-1]",
         Request("ftp", "anonymous", kEmail, "fe80::1%en0.v~_-1", "21", "", 0, true, true, true),
         "[fe80::1%25en0.v~_-1]"},
        // Escaped again in the canonical text, so it parses back to the same zone.
        {"[fe80::1%25a%25b%2F%5d]",
         Request("ftp", "anonymous", kEmail, "fe80::1%a%b/]", "21", "", 0, true, true, true),
         "[fe80::1%25a%25b%2F%5D]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::optional<SessionRequest> request = ParseUrl(row.text);
        ASSERT_TRUE(request.has_value());
        ExpectRequest(*request, row.expected);
        EXPECT_EQ(CanonicalUrl(*request), row.canonical);
    }
}

TEST_F(UrlGrammarTest, TextsThatDoNotParse) {
    const std::string rows[] = {
        "",
        "ftp://",
        "ftp://u:p@",
        "ftp://h x",
        " h",
        "h ",
        "h\t",
        "h;type=x",
        "h;type=A",
        "h;type=",
        "u%zz@h",
        "u%4@h",
        "u%@h",
        "u:p%@h",
        "u:p%4@h",
        "u:%g0@h",
        "u:%0g@h",
        "host_x",
        "h..x",
        ".h",
        "h.",
        "h:",
        "h:21x",
        "h//x",
        "h/~user",
        "h/a b",
        "ftp://h/path?query",
        "@h",
        ":p@h",
        "u:@h",
        "ftp:/h",
        "::1",
        "[::1",
        "::1]",
        "[]",
        "[h]",
        "[.]",
        "[1.2.3.4]",
        "[::1]x",
        "[::1]:",
        "[[::1]]",
        // Zones: "%25" and at least one character, on a link-local address only, never
        // decoding to a space, a control character or a byte beyond ASCII.
        "ftp://[fe80::1%eth0]",
        "[fe80::1%]",
        "[fe80::1%25]",
        "[fe80::1%2]",
        "[fe80::1%25eth0%]",
        "[fe80::1%25eth0%2]",
        "[fe80::1%25eth0%zz]",
        "[fe80::1%25eth/0]",
        "[fe80::1%25eth:0]",
        "[fe80::1%25%20]",
        "[fe80::1%25a%0A]",
        "[fe80::1%25a%00]",
        "[fe80::1%25%C3%A9]",
        "[fe80::1%25eth0]%25eth0",
        "[fe80::1]%25eth0",
        "fe80::1%25eth0",
        "[::1%25lo]",
        "[2001:db8::1%25eth0]",
        "[fec0::1%25eth0]",
        "[fe7f::1%25eth0]",
        "[fe8::1%25eth0]",
        "[0fe80::1%25eth0]",
        "[%25eth0]",
        "[1.2.3.4%25eth0]",
        "h%25eth0",
        // A line end after a URL is not part of it.
        "ftp://h\n",
        "h\r\n",
        "h\0x"s,
        "h\0"s,
        "\0h"s,
        "u:p\0@h"s,
    };
    for (const std::string& text : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_FALSE(ParseUrl(text).has_value());
        EXPECT_FALSE(FindUrlHost(text).has_value());
    }
}

TEST_F(UrlGrammarTest, LongUrlsAreParsedWhole) {
    std::string host;
    while (host.size() < 4000) {
        host += "abcdefghi.";
    }
    host += "net";
    std::string path = "dir";
    while (path.size() < 6000) {
        path += "/segment";
    }
    std::string text = "ftp://" + host + ":2121/" + path + "/";
    ASSERT_GT(text.size(), 10000u);
    std::optional<SessionRequest> request = ParseUrl(text);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->host, host);
    EXPECT_EQ(request->path, path + "/");
    EXPECT_EQ(CanonicalUrl(*request), text);

    // One bad byte at the very end still refuses the whole text.
    EXPECT_FALSE(ParseUrl(text + " ").has_value());
    std::string longUser(1000000, 'u');
    EXPECT_EQ(ParseUrl(longUser + "@h").value().user, longUser);
    EXPECT_FALSE(ParseUrl(std::string(1000000, 'a') + "_").has_value());
}

TEST_F(UrlGrammarTest, DefaultsFillTheMissingParts) {
    SetUrlDefaults("ftps", "guest", "guest@example.net", "990");
    std::optional<SessionRequest> request = ParseUrl("h/pub");
    ASSERT_TRUE(request.has_value());
    ExpectRequest(*request, Request("ftps", "guest", "guest@example.net", "h", "990", "pub", 0,
                                    true, true, true));
    EXPECT_EQ(CanonicalUrl(*request), "h/pub");

    // A user of its own never takes the default password.
    request = ParseUrl("bob@h");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->user, "bob");
    EXPECT_EQ(request->password, "");
    EXPECT_FALSE(request->credentialsDefaulted);
}

TEST_F(UrlGrammarTest, NullArgumentsLeaveDefaultsAlone) {
    SetUrlDefaults(nullptr, nullptr, "new@example.org", nullptr);
    UrlDefaults defaults = GetUrlDefaults();
    EXPECT_EQ(defaults.scheme, "ftp");
    EXPECT_EQ(defaults.user, "anonymous");
    EXPECT_EQ(defaults.password, "new@example.org");
    EXPECT_EQ(defaults.port, "21");
    EXPECT_EQ(ParseUrl("h").value().password, "new@example.org");

    SetUrlDefaults(nullptr, nullptr, nullptr, nullptr);
    defaults = GetUrlDefaults();
    EXPECT_EQ(defaults.password, "new@example.org");
    EXPECT_EQ(defaults.port, "21");
}

TEST(UrlSchemeTest, TheSchemesASessionServes) {
    const std::pair<const char*, UrlScheme> rows[] = {
        {"ftp", UrlScheme::Ftp},    {"FTP", UrlScheme::Ftp},     {"ftps", UrlScheme::Ftps},
        {"fTpS", UrlScheme::Ftps},  {"ftpes", UrlScheme::Ftpes}, {"FTPES", UrlScheme::Ftpes},
        {"sftp", UrlScheme::Other}, {"ftpss", UrlScheme::Other}, {"http", UrlScheme::Other},
        {"", UrlScheme::Other},
    };
    for (const auto& [scheme, expected] : rows) {
        EXPECT_EQ(SchemeOf(scheme), expected) << scheme;
    }
}

// The fixture restores whatever it found, so the start-up values are still in place here: an
// anonymous login sends the "EMail" setting's default until start-up puts the setting in.
TEST(UrlDefaultsTest, StartUpValues) {
    UrlDefaults defaults = GetUrlDefaults();
    EXPECT_EQ(defaults.scheme, "ftp");
    EXPECT_EQ(defaults.user, "anonymous");
    EXPECT_EQ(defaults.password, "QvexUser@");
    EXPECT_EQ(defaults.port, "21");
}

TEST_F(UrlGrammarTest, ProxySettingTakesItsOwnDefaultPort) {
    std::optional<SessionRequest> proxy = ParseUrlWithDefaultPort("proxy.example", "1080");
    ASSERT_TRUE(proxy.has_value());
    EXPECT_EQ(proxy->host, "proxy.example");
    EXPECT_EQ(proxy->port, "1080");
    EXPECT_TRUE(proxy->portDefaulted);
    EXPECT_EQ(proxy->user, "anonymous");

    proxy = ParseUrlWithDefaultPort("proxy.example:3128", "1080");
    ASSERT_TRUE(proxy.has_value());
    EXPECT_EQ(proxy->port, "3128");
    EXPECT_FALSE(proxy->portDefaulted);

    EXPECT_FALSE(ParseUrlWithDefaultPort("proxy example", "1080").has_value());
    EXPECT_EQ(GetUrlDefaults().port, "21");
    EXPECT_EQ(ParseUrl("h").value().port, "21");
}

TEST_F(UrlGrammarTest, FindUrlHostPointsIntoTheText) {
    struct Row {
        std::string text;
        size_t offset;
        size_t length;
    };
    const Row rows[] = {
        {"ftp://u:p@Host.Example:21/x;type=i", 10, 12},
        {"Host.Example", 0, 12},
        {"u%40x@h.net/pub", 6, 5},
        {"10.0.0.1:2121", 0, 8},
        {"ftp://[::1]:2121", 7, 3},
        {"ftp://[fe80::1%25eth0]:2121", 7, 14},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::optional<std::string_view> host = FindUrlHost(row.text);
        ASSERT_TRUE(host.has_value());
        EXPECT_EQ(host->data(), row.text.data() + row.offset);
        EXPECT_EQ(host->size(), row.length);
    }
    // Refused by ParseUrl for its escape, so there is no host either.
    EXPECT_FALSE(FindUrlHost("u%zz@h").has_value());
}

TEST(UrlEscapesTest, Decoding) {
    struct Row {
        std::string text;
        std::optional<std::string> decoded;
    };
    const Row rows[] = {
        {"", ""},
        {"plain", "plain"},
        {"%41%62%7a%7A", "Abzz"},
        {"a%25b", "a%b"},
        {"%2541", "%41"},
        {"%00", "\0"s},
        {"%ff%FF", "\xFF\xFF"},
        {"%", std::nullopt},
        {"a%", std::nullopt},
        {"a%4", std::nullopt},
        {"%4g", std::nullopt},
        {"%g4", std::nullopt},
        {"% 4", std::nullopt},
        {"%-1", std::nullopt},
        {"ok%41%", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(DecodeUrlEscapes(row.text), row.decoded);
        // The same text as a view whose buffer goes on with hexadecimal digits: a cut-off
        // escape must not take its digits from behind the view's end.
        const std::string longer = row.text + "41";
        EXPECT_EQ(DecodeUrlEscapes(std::string_view(longer).substr(0, row.text.size())),
                  row.decoded);
    }
}

TEST(CanonicalUrlTest, LeavesOutDefaultedPartsAndCredentials) {
    SessionRequest request =
        Request("ftp", "u", "secret", "h", "21", "a/b", 'i', false, false, false);
    EXPECT_EQ(CanonicalUrl(request), "ftp://h:21/a/b");
    request.schemeDefaulted = true;
    EXPECT_EQ(CanonicalUrl(request), "h:21/a/b");
    request.portDefaulted = true;
    EXPECT_EQ(CanonicalUrl(request), "h/a/b");
    request.path.clear();
    EXPECT_EQ(CanonicalUrl(request), "h");
}

TEST_F(UrlGrammarTest, PatternIsCompiledOnDemand) {
    ReleaseUrlPattern();
    EXPECT_EQ(ParseUrl("ftp://h:1/p").value().port, "1");
    ASSERT_TRUE(CompileUrlPattern());
    ASSERT_TRUE(CompileUrlPattern());
    EXPECT_EQ(ParseUrl("ftp://h:2/p").value().port, "2");
    ReleaseUrlPattern();
    ReleaseUrlPattern();
    EXPECT_EQ(ParseUrl("ftp://h:3/p").value().port, "3");
    EXPECT_FALSE(ParseUrl("ftp://h:3/p q").has_value());
}

// Parsers run on several threads while the defaults change: every result must be right and
// must carry one consistent set of defaults.
TEST_F(UrlGrammarTest, ParsesFromSeveralThreads) {
    std::atomic<bool> stop{false};
    std::thread changer([&stop] {
        for (int i = 0; !stop.load(); ++i) {
            if (i % 2 == 0) {
                SetUrlDefaults(nullptr, "one", "pw-one", "2001");
            } else {
                SetUrlDefaults(nullptr, "two", "pw-two", "2002");
            }
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> parsers;
    for (int t = 0; t < 4; ++t) {
        parsers.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                std::string host = "h" + std::to_string(t) + "-" + std::to_string(i);
                std::optional<SessionRequest> mine =
                    ParseUrl("u" + std::to_string(i) + ":p@" + host + ":99/d");
                std::optional<SessionRequest> anon = ParseUrl(host);
                std::optional<std::string_view> found = FindUrlHost(host);
                bool consistent =
                    anon &&
                    ((anon->user == "one" && anon->password == "pw-one" && anon->port == "2001") ||
                     (anon->user == "two" && anon->password == "pw-two" && anon->port == "2002") ||
                     (anon->user == "anonymous" && anon->password == kEmail && anon->port == "21"));
                if (!mine || mine->host != host || mine->user != "u" + std::to_string(i) ||
                    mine->port != "99" || mine->path != "d" || !consistent || !found ||
                    *found != host) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& parser : parsers) {
        parser.join();
    }
    stop = true;
    changer.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qvex
