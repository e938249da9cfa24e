#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "platform/local_file.h"
#include "platform/paths.h"
#include "platform/recent_documents.h"
#include "platform/whole_file.h"

namespace qvex::platform {
namespace {

constexpr unsigned kBookmarkMode = 0600;  // which files a user opened is nobody else's business

// The time as the bookmark file writes it: 2026-12-07T19:52:06.123456Z.
std::string NowUtc() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm parts{};
    ::gmtime_r(&now.tv_sec, &parts);
    char text[96];  // room for any int the compiler can imagine in each field
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<long>(now.tv_usec));
    return text;
}

}  // namespace

bool AddRecentDocument(const RecentDocument& document) {
    const std::string home = DataHome();
    if (home.empty() || !MakeFolders(home.substr(0, home.size() - 1), 0700)) {
        return false;
    }
    const std::string path = home + "recently-used.xbel";
    std::optional<std::string> existing = ReadWholeFile(path);
    if (!existing && LocalPathStatus(path)) {
        return false;  // there, but unreadable: never replaced by a list of one
    }
    std::optional<std::string> merged =
        MergeRecentDocument(existing.value_or(std::string()), document, NowUtc());
    return merged && ReplaceWholeFile(path, *merged, kBookmarkMode);
}

}  // namespace qvex::platform
