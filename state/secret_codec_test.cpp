#include "state/secret_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace qvex {
namespace {

std::string AllBytes() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Stored values must stay readable by later versions, so the form itself is pinned down.
TEST(SecretCodecTest, KnownEncodings) {
    struct Row {
        std::string plain;
        std::string encoded;
    };
    const Row rows[] = {
        {"", ""},
        {"secret", "D4ED6E34E620"},
        {"ftp://user:pw@host/", "C1FC7D7CAC7BFC41FA127F2E8CEC29A5E44C52"},
        {std::string(4, '\0'), "A7880D46"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.encoded);
        EXPECT_EQ(EncodeSecret(row.plain), row.encoded);
        EXPECT_EQ(DecodeSecret(row.encoded), row.plain);
        EXPECT_EQ(DecodeSecret(Upper(row.encoded)), row.plain);
    }
    EXPECT_EQ(DecodeSecret("d4ed6e34e620"), "secret");
}

TEST(SecretCodecTest, EveryByteStringRoundTripsAndIsNotPlain) {
    std::vector<std::string> inputs = {"", AllBytes(), std::string(1000, 'a'), "password"};
    for (int value = 0; value < 256; ++value) {
        inputs.emplace_back(1, static_cast<char>(value));
        inputs.push_back("x" + std::string(1, static_cast<char>(value)) + "\xFF");
    }
    for (const std::string& plain : inputs) {
        SCOPED_TRACE(plain);
        std::string encoded = EncodeSecret(plain);
        EXPECT_EQ(encoded.size(), 2 * plain.size());
        EXPECT_TRUE(std::all_of(encoded.begin(), encoded.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        }));
        EXPECT_EQ(DecodeSecret(encoded), plain);
    }
    EXPECT_EQ(EncodeSecret("password").find("70617373"), std::string::npos);  // not plain hex
}

TEST(SecretCodecTest, MalformedSecretsDecodeToNothing) {
    const std::string rows[] = {"A",           "ABC",  "G0",    "0G",
                                "D4ED6E34E62", "D4 D", "D4:ED", std::string("D4\0E", 4),
                                "\xFF\xFF",    "-1"};
    for (const std::string& text : rows) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(DecodeSecret(text).has_value());
        EXPECT_FALSE(DecodeHostName(text).has_value());
    }
}

TEST(SecretCodecTest, HostNamesStayDistinctWithoutRegardToCase) {
    const std::vector<std::string> urls = {
        "ftp://Host/",
        "ftp://host/",
        "FTP://HOST/",
        "ftp://host",
        "ftp://a:B@h/",
        "ftp://a:b@h/",
        "ftp://user@host:21/x",
        "ftp://user@host:21/X",
        "ftp://h/\xC3\x84",
        "ftp://h/\xC3\xA4",
        "",
    };
    std::set<std::string> folded;
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        std::string name = EncodeHostName(url);
        EXPECT_EQ(DecodeHostName(name), url);
        EXPECT_EQ(DecodeHostName(Upper(name)), url);
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        folded.insert(lower);
    }
    EXPECT_EQ(folded.size(), urls.size());
}

TEST(SecretCodecTest, AuthDataRoundTripsAnyUserAndPassword) {
    const std::string nasty = std::string("a:b\\c\"d\ne\0f\xFF", 12);
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},       {"user", ""},     {"", "password"},  {"user", "pass"}, {":", ":"},
        {nasty, nasty}, {AllBytes(), ""}, {"x", AllBytes()}, {"\\\\", "\"\""},
    };
    for (const auto& [user, password] : rows) {
        SCOPED_TRACE(user + " / " + password);
        std::string text = EncodeAuthData(user, password);
        EXPECT_EQ(std::count(text.begin(), text.end(), ':'), 1);
        std::optional<std::pair<std::string, std::string>> decoded = DecodeAuthData(text);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->first, user);
        EXPECT_EQ(decoded->second, password);
    }
    EXPECT_EQ(EncodeAuthData("secret", "secret"), "D4ED6E34E620:D4ED6E34E620");
}

TEST(SecretCodecTest, AuthDataDecoding) {
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(DecodeAuthData(""), Pair("", ""));
    EXPECT_EQ(DecodeAuthData(":"), Pair("", ""));
    EXPECT_EQ(DecodeAuthData("D4ED6E34E620:"), Pair("secret", ""));
    EXPECT_EQ(DecodeAuthData(":d4ed6e34e620"), Pair("", "secret"));
    const std::string malformed[] = {
        "D4ED6E34E620",   // no separator
        "D4:ED:6E",       // two separators
        "D4E:ED",         // odd length
        "ZZ:ED",          // not hex
        "user,password",  // the older form of host entries
        std::string("D4\0:ED", 6),
    };
    for (const std::string& text : malformed) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(DecodeAuthData(text).has_value());
    }
}

}  // namespace
}  // namespace qvex
