// MLSD lines from a hostile server: any bytes give an entry made of the line's own text with
// only the flag and mode bits MLSD can set, the folder's own lines with nothing, or a reason.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "transfer/listing_parser.h"
#include "transfer/mlsd_parser.h"

namespace {

constexpr uint32_t kKnownFlags =
    qvex::kEntryDirectory | qvex::kEntrySymLink | qvex::kEntryModeValid | qvex::kEntryTypeMask;

void ParseOne(std::string_view line) {
    qvex::RemoteEntry entry;
    const char* reason = nullptr;
    std::string_view unique;
    const qvex::MlsdLine result = qvex::parseMlsdLine(line, entry, unique, &reason);
    // The unique fact is a piece of the line, never of a malformed one.
    Check(unique.empty() || (unique.data() >= line.data() &&
                             unique.data() + unique.size() <= line.data() + line.size()));
    Check(result != qvex::MlsdLine::Malformed || unique.empty());
    if (result != qvex::MlsdLine::Entry) {
        Check((result == qvex::MlsdLine::Malformed) == (reason != nullptr));
        Check(entry.name.empty() && entry.linkTarget.empty() && entry.size == 0 &&
              entry.time == 0 && entry.flags == 0 && entry.modeAndIcon == 0);
        return;
    }
    Check(reason == nullptr);
    // The name is the line's end after the facts' blank, whole and not empty.
    Check(!entry.name.empty() && line.size() > entry.name.size() &&
          line.substr(line.size() - entry.name.size()) == entry.name &&
          line[line.size() - entry.name.size() - 1] == ' ');
    Check(line.size() <= qvex::kMaxListingLine && line.find('\0') == std::string_view::npos);
    Check(line.find(entry.linkTarget) != std::string_view::npos);
    Check(entry.linkTarget.empty() || qvex::isSymLink(entry));
    Check(!(qvex::isDirectory(entry) && qvex::isSymLink(entry)));
    Check((entry.flags & ~kKnownFlags) == 0);
    Check(entry.size >= 0 && entry.time >= -2'208'988'800);  // not before 1900
    Check(qvex::entryModeOf(entry) <= 07777);
    Check((entry.flags & qvex::kEntryModeValid) != 0 || qvex::entryModeOf(entry) == 0);
    Check(entry.sizeText.empty() && entry.dateText.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The whole input as one line, then line by line.
    ParseOne(input);
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        ParseOne(input.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
