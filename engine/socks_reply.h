#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/socket.h"

namespace qvex {

// SOCKS5 address types (RFC 1928 section 5).
inline constexpr uint8_t kSocks5AddressIpv4 = 1;
inline constexpr uint8_t kSocks5AddressName = 3;
inline constexpr uint8_t kSocks5AddressIpv6 = 4;

inline constexpr size_t kSocks4ReplyLength = 8;
// Version, result, reserved byte and address type: enough to know how the reply goes on.
inline constexpr size_t kSocks5ReplyHeadLength = 4;
// The head, a domain name's length byte, 255 name bytes and the port.
inline constexpr size_t kSocks5ReplyMaxLength = kSocks5ReplyHeadLength + 1 + 255 + 2;

// A proxy's reply to CONNECT or BIND, decoded from its bytes.
struct SocksReply {
    uint8_t result = 0;
    uint8_t addressType = kSocks5AddressIpv4;  // SOCKS5's; SOCKS4 knows only IPv4
    platform::NetAddress address;              // IPv4 or IPv6, as it came; "any" for a name
    uint16_t port = 0;                         // host order
};

// Reading a SOCKS5 reply (RFC 1928 section 6) from a stream without taking a byte beyond it:
// what the bytes received so far call for next.
struct Socks5ReplyStep {
    enum class Kind {
        Read,                // receive until `length` bytes are there, then ask again
        Refused,             // the result byte is not 0 (success)
        UnknownAddressType,  // the rest of the reply cannot be measured
        Complete,            // DecodeSocks5Reply may read the received bytes
    };
    Kind kind = Kind::Read;
    size_t length = 0;  // Read only: the reply's bytes needed in all, at most the maximum
};
[[nodiscard]] Socks5ReplyStep NextSocks5ReplyStep(std::span<const uint8_t> received);

// The fields of a reply that NextSocks5ReplyStep calls complete. A domain name gives the
// IPv4 "any" address.
[[nodiscard]] SocksReply DecodeSocks5Reply(std::span<const uint8_t> reply);
// The fields of a SOCKS4 reply: result, port and IPv4 address.
[[nodiscard]] SocksReply DecodeSocks4Reply(std::span<const uint8_t, kSocks4ReplyLength> reply);

}  // namespace qvex
