// Exchange text arrives from files and from the clipboard, written by anyone. Any bytes must
// import without fault, report one of the tool's messages, keep exactly the entries read
// before a fault, and those entries must export and import again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/registry_file.h"
#include "state/hosts/host_exchange.h"
#include "state/hosts/host_list.h"
#include "state/settings.h"

namespace {

// A registry file per input in a scratch folder (in memory where the system offers one).
class Scratch {
  public:
    Scratch() {
        const std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "qvex-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        folder_ = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string RegistryPath() const { return folder_ + "/registry.reg"; }

  private:
    std::string folder_;
};

bool SameEntries(const std::vector<qvex::HostEntry>& a, const std::vector<qvex::HostEntry>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].url != b[i].url || a[i].user != b[i].user || a[i].password != b[i].password ||
            a[i].perHostWord != b[i].perHostWord) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const qvex::ParsedExchange parsed = qvex::ParseExchangeText(text);
    Check(parsed.valid == (text.find('[') != std::string::npos));
    for (const qvex::HostEntry& entry : parsed.entries) {
        Check(!entry.url.empty());
        Check(entry.lastConnect == 0);
    }

    // What was read writes out and reads back as the same entries.
    const std::string again = qvex::BuildExchangeText(parsed.entries);
    const qvex::ParsedExchange reparsed = qvex::ParseExchangeText(again);
    Check(reparsed.valid);
    Check(SameEntries(reparsed.entries, parsed.entries));
    Check(qvex::BuildExchangeText(reparsed.entries) == again);

    // The import itself, through the clipboard's text, into a fresh list.
    std::error_code ignored;
    std::filesystem::remove(scratch.RegistryPath(), ignored);
    qvex::platform::RegistryFile registry(scratch.RegistryPath());
    qvex::Settings settings(registry);
    settings.SetInt("XAppVersion", 0x03000000);
    qvex::HostList hosts(registry, settings);
    const qvex::ExchangeOutcome outcome = qvex::ImportHosts(hosts, qvex::ClipboardText{text});
    Check(outcome.acted);
    const std::string_view upToNul(text.data(), std::min(text.find('\0'), text.size()));
    if (upToNul.empty()) {
        Check(outcome.status == "No text in clipboard");
        return 0;
    }
    const qvex::ParsedExchange expected = qvex::ParseExchangeText(upToNul);
    if (!expected.valid) {
        Check(outcome.status == "No valid QvexEx import data");
        Check(hosts.size() == 0);
        return 0;
    }
    Check(outcome.count == static_cast<int>(expected.entries.size()));
    Check(outcome.status == std::to_string(outcome.count) + " entries imported");
    Check(outcome.urls.size() == expected.entries.size());
    for (const qvex::HostEntry& entry : expected.entries) {
        const std::optional<qvex::HostEntry> stored = hosts.Find(entry.url);
        Check(stored.has_value());
    }

    // The registry file gives the same list back.
    qvex::HostList reloaded(registry, settings);
    reloaded.LoadHostList();
    Check(SameEntries(reloaded.Entries(), hosts.Entries()));
    return 0;
}
