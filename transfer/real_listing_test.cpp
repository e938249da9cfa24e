// LIST output of real servers from Debian (pyftpdlib, vsftpd), fetched by the engine and
// parsed line by line, checked against the folder the server lists.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/control_connection.h"
#include "engine/data_connection.h"
#include "engine/session.h"
#include "platform/locale.h"
#include "platform/socket.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/log_capture.h"
#include "transfer/listing_date.h"
#include "transfer/listing_language.h"
#include "transfer/listing_parser.h"
#include "transfer/mlsd_parser.h"

namespace qvex {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using test::FtpServer;
using test::FtpServerKind;

int64_t ToSeconds(fs::file_time_type time) {
    return std::chrono::duration_cast<seconds>(
               std::chrono::file_clock::to_sys(time).time_since_epoch())
        .count();
}

fs::file_time_type FromSeconds(int64_t time) {
    return std::chrono::file_clock::from_sys(std::chrono::sys_seconds(seconds(time)));
}

int64_t SystemNow() {
    return std::chrono::duration_cast<seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Both servers list times as UTC wall-clock text; the parser reads that text as local time.
// So the expected time is the UTC calendar of the real time, cut to the minute (or to the
// day when the server showed a year), converted as a local wall-clock time.
int64_t AsListed(int64_t utc, bool timeOfDay) {
    const std::chrono::sys_seconds moment{seconds(utc)};
    const auto day = std::chrono::floor<std::chrono::days>(moment);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss<seconds> clock{moment - day};
    platform::CalendarTime local;
    local.year = static_cast<int>(date.year());
    local.month = static_cast<int>(static_cast<unsigned>(date.month()));
    local.day = static_cast<int>(static_cast<unsigned>(date.day()));
    local.hour = timeOfDay ? static_cast<int>(clock.hours().count()) : 0;
    local.minute = timeOfDay ? static_cast<int>(clock.minutes().count()) : 0;
    int64_t time = 0;
    EXPECT_TRUE(platform::LocalCalendarToTime(local, time));
    return time;
}

// Connects, logs in anonymously, sends LIST (or, after FEAT, MLSD) and returns the data
// connection's bytes.
std::string FetchListing(const FtpServer& server, const char* command = "LIST") {
    SessionWorker session;
    session.request.scheme = "ftp";
    session.request.user = FtpServer::kAnonymousUser;
    session.request.password = "QvexUser@";
    session.request.host = "127.0.0.1";
    session.request.port = std::to_string(server.port());
    session.passive = 1;
    if (!session.control.Create() || !session.control.Connect("127.0.0.1", server.port()) ||
        !session.control.SetBuffer(4096) || !Login(session)) {
        ADD_FAILURE() << "no login: " << server.output();
        return {};
    }
    if (std::string_view(command) == "MLSD") {
        AskFeatures(session);
        EXPECT_TRUE(session.features.mlst) << server.output();
    }
    if (OpenDataConnection(session, command) != kDataOpen) {
        ADD_FAILURE() << command << " failed: " << server.output();
        return {};
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        long received = platform::ReceiveBytes(session.data.handle(), buffer, sizeof buffer);
        if (received <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(received));
    }
    session.data.Close();
    FtpReply reply;
    EXPECT_EQ(ReadReply(session, reply, false), 226);
    session.control.Close();
    return bytes;
}

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

enum class Kind {
    File,
    Directory,
    SymLink,
};

struct Expected {
    Kind kind;
    int64_t size;  // -1: not checked (a folder's size is the server's business)
    uint32_t mode;
    int64_t mtime;  // -1: a link, made between setupStart and setupEnd
    std::string target;
};

class RealListingTest : public ::testing::TestWithParam<FtpServerKind> {};

TEST_P(RealListingTest, EveryEntryMatchesTheFolder) {
    test::LogCapture log;
    auto server = test::StartFtpServer(GetParam());
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    ASSERT_TRUE(loadListingLanguage(kDefaultListingLanguage));

    const int64_t setupStart = SystemNow();
    const int64_t lastYear = setupStart - 400 * 86400;
    const int64_t minutesAgo = setupStart - 7 * 60;
    ASSERT_TRUE(server->PutFile("read me.txt", "hello\n"));
    ASSERT_TRUE(server->PutFile("two  spaces and more.txt", "0123456789"));
    ASSERT_TRUE(server->PutFile("empty", ""));
    ASSERT_TRUE(server->PutFile("setuid.sh", "#!/bin/sh\n"));
    ASSERT_TRUE(server->PutFile("old.txt", std::string(3000, 'o')));
    ASSERT_TRUE(server->PutFile("recent.txt", "r"));
    ASSERT_TRUE(server->PutFile("folder/inside.txt", "in"));
    ASSERT_TRUE(server->PutFolder("folder with space"));
    fs::permissions(server->path("setuid.sh"), fs::perms::set_uid | fs::perms::owner_all |
                                                   fs::perms::group_read | fs::perms::group_exec |
                                                   fs::perms::others_read | fs::perms::others_exec);
    fs::last_write_time(server->path("old.txt"), FromSeconds(lastYear));
    fs::last_write_time(server->path("recent.txt"), FromSeconds(minutesAgo));
    fs::create_symlink("read me.txt", server->path("link to file"));
    fs::create_symlink("folder", server->path("link-to-folder"));
    const int64_t setupEnd = SystemNow();

    // What the folder really holds.
    std::map<std::string, Expected> expected;
    for (const fs::directory_entry& item : fs::directory_iterator(server->root())) {
        const fs::file_status status = item.symlink_status();
        Expected entry{};
        entry.mode = static_cast<uint32_t>(status.permissions() & fs::perms::mask);
        if (fs::is_symlink(status)) {
            entry.kind = Kind::SymLink;
            entry.target = fs::read_symlink(item.path()).string();
            entry.size = static_cast<int64_t>(entry.target.size());
            entry.mtime = -1;
        } else {
            entry.kind = fs::is_directory(status) ? Kind::Directory : Kind::File;
            entry.size = entry.kind == Kind::File ? static_cast<int64_t>(item.file_size()) : -1;
            entry.mtime = ToSeconds(item.last_write_time());
        }
        expected[item.path().filename().string()] = entry;
    }
    ASSERT_EQ(expected.size(), 10u);
    ASSERT_EQ(expected["setuid.sh"].mode, 04755u);

    const std::string listing = FetchListing(*server);
    const int64_t now = SystemNow();
    std::vector<std::string> lines = SplitLines(listing);
    std::map<std::string, int> seen;
    std::string pending;
    for (const std::string& line : lines) {
        SCOPED_TRACE(server->name() + ": " + line);
        RemoteEntry entry;
        ASSERT_TRUE(parseListingLine(line, pending, entry, now));
        ++seen[entry.name];
        auto found = expected.find(entry.name);
        ASSERT_NE(found, expected.end()) << "not in the folder";
        const Expected& real = found->second;
        EXPECT_EQ(isDirectory(entry), real.kind == Kind::Directory);
        EXPECT_EQ(isSymLink(entry), real.kind == Kind::SymLink);
        EXPECT_EQ(entry.linkTarget, real.target);
        if (real.size >= 0) {
            EXPECT_EQ(entry.size, real.size);
        }
        ASSERT_NE(entry.flags & kEntryModeValid, 0u);
        EXPECT_EQ(entryModeOf(entry), real.mode);
        const bool timeOfDay = (entry.flags & kEntryTimeValid) != 0;
        if (real.mtime >= 0) {
            EXPECT_EQ(entry.time, AsListed(real.mtime, timeOfDay));
        } else {
            EXPECT_TRUE(timeOfDay);
            EXPECT_GE(entry.time, AsListed(setupStart, true));
            EXPECT_LE(entry.time, AsListed(setupEnd, true));
        }
        if (entry.name == "old.txt") {
            EXPECT_FALSE(timeOfDay) << "a file of last year shows its year";
        }
        if (entry.name == "recent.txt") {
            EXPECT_TRUE(timeOfDay) << "a file of minutes ago shows its time";
        }
    }
    for (const auto& [name, real] : expected) {
        EXPECT_EQ(seen[name], 1) << name << " listed once\n" << listing;
    }
}

// pyftpdlib's MLSD of such a folder: sizes, modes (asked for) and times to the second in
// UTC, read here in a zone far from it; links are listed as what they lead to.
TEST(RealMlsdListing, EveryEntryMatchesTheFolderToTheSecond) {
    test::LogCapture log;
    auto server = test::StartFtpServer(FtpServerKind::PyFtpd);
    if (!server->started()) {
        GTEST_SKIP() << server->problem();
    }
    const std::string zone = getenv("TZ") != nullptr ? getenv("TZ") : "";
    setenv("TZ", "IST-5:30", 1);
    tzset();
    const int64_t now = SystemNow();
    ASSERT_TRUE(server->PutFile("read me.txt", "hello\n"));
    ASSERT_TRUE(server->PutFile("two  spaces and more.txt", "0123456789"));
    ASSERT_TRUE(server->PutFile("script.sh", "#!/bin/sh\n"));
    ASSERT_TRUE(server->PutFile("old.txt", std::string(3000, 'o')));
    ASSERT_TRUE(server->PutFile("folder/inside.txt", "in"));
    ASSERT_TRUE(server->PutFolder("folder with space"));
    fs::permissions(server->path("script.sh"), fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read);
    fs::last_write_time(server->path("old.txt"), FromSeconds(now - 400 * 86400 - 17));
    fs::last_write_time(server->path("read me.txt"), FromSeconds(now - 7 * 60 - 43));
    fs::create_symlink("read me.txt", server->path("link to file"));
    fs::create_symlink("folder", server->path("link-to-folder"));

    const std::string listing = FetchListing(*server, "MLSD");
    std::map<std::string, int> seen;
    for (const std::string& line : SplitLines(listing)) {
        SCOPED_TRACE(line);
        RemoteEntry entry;
        const char* reason = nullptr;
        std::string_view unique;
        const MlsdLine result = parseMlsdLine(line, entry, unique, &reason);
        ASSERT_NE(result, MlsdLine::Malformed) << reason;
        if (result != MlsdLine::Entry) {
            continue;
        }
        ++seen[entry.name];
        const fs::path path = server->path(entry.name);
        ASSERT_TRUE(fs::exists(path)) << "not in the folder";
        const bool folder = fs::is_directory(path);
        EXPECT_EQ(isDirectory(entry), folder);
        EXPECT_FALSE(isSymLink(entry));
        if (!folder) {
            EXPECT_EQ(entry.size, static_cast<int64_t>(fs::file_size(path)));
        }
        ASSERT_NE(entry.flags & kEntryModeValid, 0u);
        EXPECT_EQ(entryModeOf(entry),
                  static_cast<uint32_t>(fs::status(path).permissions() & fs::perms::mask));
        EXPECT_EQ(entry.time, ToSeconds(fs::last_write_time(path)));
    }
    EXPECT_EQ(seen.size(), 8u) << listing;
    EXPECT_EQ(seen["link-to-folder"], 1);
    if (zone.empty()) {
        unsetenv("TZ");
    } else {
        setenv("TZ", zone.c_str(), 1);
    }
    tzset();
}

INSTANTIATE_TEST_SUITE_P(Servers, RealListingTest,
                         ::testing::Values(FtpServerKind::PyFtpd, FtpServerKind::Vsftpd),
                         [](const ::testing::TestParamInfo<FtpServerKind>& param) {
                             return param.param == FtpServerKind::PyFtpd ? "PyFtpd" : "Vsftpd";
                         });

}  // namespace
}  // namespace qvex
