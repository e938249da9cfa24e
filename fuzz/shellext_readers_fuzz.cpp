// Feeds arbitrary bytes to the shell extension's own readers of Qvex3's files. The recent
// hosts are at most eight printable lines; "AppFile" is what the program's registry reader
// finds, whenever that is a usable path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry_file.h"
#include "shellext/app_file.h"
#include "shellext/recent_hosts.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto hosts = qvex::shellext::ParseRecentHosts(text);
    Check(hosts.size() <= qvex::shellext::kMaxRecentHosts);
    for (const std::string& host : hosts) {
        Check(!host.empty() && host.size() <= qvex::shellext::kMaxRecentHostBytes);
        for (char c : host) {
            Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
        (void)qvex::shellext::RecentHostLabel(host);
    }

    const std::optional<std::string> found = qvex::shellext::FindAppFile(text);
    const auto value = qvex::platform::RegistryDocument::Parse(text).Get(
        "HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Settings", "AppFile");
    std::optional<std::string> expected;
    if (value && value->type == qvex::platform::RegistryValue::Type::String &&
        !value->text.empty() && value->text.size() <= qvex::shellext::kMaxAppFileBytes &&
        value->text.find('\0') == std::string::npos) {
        expected = value->text;
    }
    Check(found == expected);
    return 0;
}
