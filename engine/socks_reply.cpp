#include "engine/socks_reply.h"

#include <cstring>

namespace qvex {
namespace {

uint16_t PortAt(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

}  // namespace

Socks5ReplyStep NextSocks5ReplyStep(std::span<const uint8_t> received) {
    using Kind = Socks5ReplyStep::Kind;
    if (received.size() < kSocks5ReplyHeadLength) {
        return {Kind::Read, kSocks5ReplyHeadLength};
    }
    if (received[1] != 0) {
        return {Kind::Refused};
    }
    size_t length = kSocks5ReplyHeadLength + 2;
    switch (received[3]) {
        case kSocks5AddressIpv4:
            length += 4;
            break;
        case kSocks5AddressName:
            // A domain name is read whole so the connection stays in step.
            if (received.size() == kSocks5ReplyHeadLength) {
                return {Kind::Read, kSocks5ReplyHeadLength + 1};
            }
            length += size_t{1} + received[kSocks5ReplyHeadLength];
            break;
        case kSocks5AddressIpv6:
            length += 16;
            break;
        default:
            return {Kind::UnknownAddressType};
    }
    if (received.size() < length) {
        return {Kind::Read, length};
    }
    return {Kind::Complete};
}

SocksReply DecodeSocks5Reply(std::span<const uint8_t> reply) {
    SocksReply decoded;
    decoded.result = reply[1];
    decoded.addressType = reply[3];
    if (decoded.addressType != kSocks5AddressName) {
        decoded.address.ipv6 = decoded.addressType == kSocks5AddressIpv6;
        std::memcpy(decoded.address.bytes.data(), reply.data() + kSocks5ReplyHeadLength,
                    decoded.address.ipv6 ? 16 : 4);
    }
    decoded.port = PortAt(reply, reply.size() - 2);
    return decoded;
}

SocksReply DecodeSocks4Reply(std::span<const uint8_t, kSocks4ReplyLength> reply) {
    SocksReply decoded;
    decoded.result = reply[1];
    decoded.port = PortAt(reply, 2);
    std::memcpy(decoded.address.bytes.data(), reply.data() + 4, 4);
    return decoded;
}

}  // namespace qvex
