// Listing lines from a hostile server: any bytes give either no entry or an entry that is
// made of the line's own text, with only the known flag and mode bits, and the shortcut for
// the usual Unix line gives what the general reading gives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "transfer/listing_language.h"
#include "transfer/listing_parser.h"

namespace {

// 1 March 2007, so that runs are repeatable.
constexpr int64_t kNow = 1'172'750'400;

constexpr uint32_t kKnownFlags = qvex::kEntryDirectory | qvex::kEntrySymLink |
                                 qvex::kEntryModeValid | qvex::kEntryTimeValid |
                                 qvex::kEntryVmsForm | qvex::kEntryTypeMask;

void ParseOne(std::string_view line, std::string& pending) {
    const std::string before = pending;
    qvex::RemoteEntry entry;
    const bool parsed = qvex::parseListingLine(line, pending, entry, kNow);
    // The shortcut for the usual Unix line reads every line as the general reading does.
    std::string generalPending = before;
    qvex::RemoteEntry general;
    Check(qvex::parseListingLineWithoutShortcut(line, generalPending, general, kNow) == parsed);
    Check(generalPending == pending && general.name == entry.name &&
          general.linkTarget == entry.linkTarget && general.size == entry.size &&
          general.time == entry.time && general.flags == entry.flags &&
          general.modeAndIcon == entry.modeAndIcon && general.dateText == entry.dateText);
    Check(pending.size() <= qvex::kMaxListingLine);
    Check(pending.empty() || line.find(pending) != std::string_view::npos);
    if (!parsed) {
        Check(entry.name.empty() && entry.size == 0 && entry.flags == 0);
        return;
    }
    Check(pending.empty());
    Check(line.size() <= qvex::kMaxListingLine);
    Check(line.find('\0') == std::string_view::npos);
    const bool vms = (entry.flags & qvex::kEntryVmsForm) != 0;
    // The name is text of this line, or for a VMS entry the name line before it.
    Check(line.find(entry.name) != std::string_view::npos ||
          (vms && before.find(entry.name) != std::string::npos));
    Check(!entry.name.empty() || vms);
    Check(line.find(entry.linkTarget) != std::string_view::npos);
    Check(entry.linkTarget.empty() || qvex::isSymLink(entry));
    Check(!(qvex::isDirectory(entry) && qvex::isSymLink(entry)));
    Check((entry.flags & ~kKnownFlags) == 0);
    Check(entry.size >= 0);
    Check(qvex::entryModeOf(entry) <= 07777);
    Check((entry.flags & qvex::kEntryModeValid) != 0 || qvex::entryModeOf(entry) == 0);
    Check((entry.time == 0) == entry.dateText.empty());
    Check(!entry.sizeText.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool loaded = qvex::loadListingLanguage(qvex::kDefaultListingLanguage);
    Check(loaded);
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The whole input as one line, then as a listing of lines sharing one pending name.
    std::string pending;
    ParseOne(input, pending);
    pending.clear();
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        ParseOne(input.substr(start, end - start), pending);
        start = end + 1;
    }
    return 0;
}
