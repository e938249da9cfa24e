// Feeds arbitrary text to the readers of stored settings: the "Options" record check, the
// secret, host-name and "AuthData" decoders, and the time-zone rule.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "state/secret_codec.h"
#include "state/settings.h"
#include "state/time_zones.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

char UpperDigit(char c) {
    return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    if (std::optional<std::string> record = qvex::NormalizeOptionsRecord(text)) {
        Check(record->size() == qvex::kOptionsRecordLength);
        Check(std::all_of(record->begin(), record->end(), IsHexDigit));
        Check(record->starts_with("51766578"));
        Check(record->substr(8, 1) == "0" &&
              (record->substr(9, 1) == "0" || record->substr(9, 1) == "1"));
        Check(record->substr(0, std::min(text.size() - 8, record->size())) ==
              text.substr(0, std::min(text.size() - 8, record->size())));
    }

    if (std::optional<std::string> plain = qvex::DecodeSecret(text)) {
        std::string upper(text);
        std::transform(upper.begin(), upper.end(), upper.begin(), UpperDigit);
        Check(qvex::EncodeSecret(*plain) == upper);
    }
    Check(qvex::DecodeSecret(qvex::EncodeSecret(text)) == std::string(text));
    Check(qvex::DecodeHostName(qvex::EncodeHostName(text)) == std::string(text));

    if (auto auth = qvex::DecodeAuthData(text)) {
        auto again = qvex::DecodeAuthData(qvex::EncodeAuthData(auth->first, auth->second));
        Check(again == auth);
    }
    size_t half = size / 2;
    auto split =
        qvex::DecodeAuthData(qvex::EncodeAuthData(text.substr(0, half), text.substr(half)));
    Check(split && split->first == text.substr(0, half) && split->second == text.substr(half));

    int code = qvex::TimeZoneCodeOf(text);
    Check(code > -500000 && code < 500000);

    if (size >= 4) {
        uint32_t word =
            uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
        uint32_t converted = qvex::Settings::ConvertOlderPerHostWord(word);
        Check((converted & ~(0x7Fu << 19)) == (word & ~(0x7Fu << 19)));
    }
    return 0;
}
