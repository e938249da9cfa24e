#include "state/secret_codec.h"
#include "util/hex.h"

#include <cstdint>

namespace qvex {
namespace {

constexpr uint8_t kKeySeed = 0xA7;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kAuthSeparator = ':';

uint8_t NextKey(uint8_t key) {
    return static_cast<uint8_t>(key * 37u + 101u);
}

}  // namespace

std::string EncodeSecret(std::string_view plain) {
    std::string encoded;
    encoded.reserve(plain.size() * 2);
    uint8_t key = kKeySeed;
    for (char c : plain) {
        auto byte = static_cast<uint8_t>(static_cast<uint8_t>(c) ^ key);
        encoded.push_back(kHexDigits[byte >> 4]);
        encoded.push_back(kHexDigits[byte & 0x0Fu]);
        key = NextKey(key);
    }
    return encoded;
}

std::optional<std::string> DecodeSecret(std::string_view encoded) {
    if (encoded.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string plain;
    plain.reserve(encoded.size() / 2);
    uint8_t key = kKeySeed;
    for (size_t i = 0; i < encoded.size(); i += 2) {
        int high = HexDigitValue(encoded[i]);
        int low = HexDigitValue(encoded[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        auto byte = static_cast<uint8_t>(high << 4 | low);
        plain.push_back(static_cast<char>(byte ^ key));
        key = NextKey(key);
    }
    return plain;
}

std::string EncodeHostName(std::string_view url) {
    return EncodeSecret(url);
}

std::optional<std::string> DecodeHostName(std::string_view storedName) {
    return DecodeSecret(storedName);
}

std::string EncodeAuthData(std::string_view user, std::string_view password) {
    return EncodeSecret(user) + kAuthSeparator + EncodeSecret(password);
}

std::optional<std::pair<std::string, std::string>> DecodeAuthData(std::string_view text) {
    if (text.empty()) {
        return std::pair<std::string, std::string>{};
    }
    size_t separator = text.find(kAuthSeparator);
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    std::optional<std::string> user = DecodeSecret(text.substr(0, separator));
    std::optional<std::string> password = DecodeSecret(text.substr(separator + 1));
    if (!user || !password) {
        return std::nullopt;  // a second ':' fails here, as it is not a hex digit
    }
    return std::pair{std::move(*user), std::move(*password)};
}

}  // namespace qvex
