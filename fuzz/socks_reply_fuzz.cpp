// SOCKS replies come from the proxy. Read step by step as the proxy's stream is read, any
// bytes end in a refusal, an unknown address type, a stream too short, or a reply whose
// length its address type sets (a domain name's length byte honoured), taken without a byte
// beyond it, with the address and port its bytes carry. Each step sees a copy of exactly the
// bytes received so far, so a look past them is a heap overflow.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/socks_reply.h"
#include "fuzz/fuzz_check.h"

namespace {

using qvex::Socks5ReplyStep;

uint16_t PortAt(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// The address bytes of `address` are `expected`, and the rest are zero.
bool CarriesExactly(const qvex::platform::NetAddress& address, const uint8_t* expected,
                    size_t length) {
    return std::equal(expected, expected + length, address.bytes.begin()) &&
           std::all_of(address.bytes.begin() + static_cast<std::ptrdiff_t>(length),
                       address.bytes.end(), [](uint8_t byte) { return byte == 0; }) &&
           address.scope == 0;
}

void CheckSocks4(const uint8_t* data, size_t size) {
    if (size < qvex::kSocks4ReplyLength) {
        return;
    }
    std::array<uint8_t, qvex::kSocks4ReplyLength> bytes{};
    std::copy_n(data, bytes.size(), bytes.begin());
    const qvex::SocksReply reply = qvex::DecodeSocks4Reply(bytes);
    Check(reply.result == data[1]);
    Check(reply.port == PortAt(data + 2));
    Check(!reply.address.ipv6 && CarriesExactly(reply.address, data + 4, 4));
}

void CheckSocks5(const uint8_t* data, size_t size) {
    size_t received = 0;
    for (;;) {
        const std::vector<uint8_t> bytes(data, data + received);
        const Socks5ReplyStep step = qvex::NextSocks5ReplyStep(bytes);
        switch (step.kind) {
            case Socks5ReplyStep::Kind::Read:
                Check(step.length > received && step.length <= qvex::kSocks5ReplyMaxLength);
                if (step.length > size) {
                    return;  // the stream ended first: an I/O error
                }
                received = step.length;
                break;
            case Socks5ReplyStep::Kind::Refused:
                Check(received >= qvex::kSocks5ReplyHeadLength && data[1] != 0);
                return;
            case Socks5ReplyStep::Kind::UnknownAddressType:
                Check(received >= qvex::kSocks5ReplyHeadLength && data[1] == 0);
                Check(data[3] != qvex::kSocks5AddressIpv4 && data[3] != qvex::kSocks5AddressName &&
                      data[3] != qvex::kSocks5AddressIpv6);
                return;
            case Socks5ReplyStep::Kind::Complete: {
                Check(received >= qvex::kSocks5ReplyHeadLength && data[1] == 0);
                const qvex::SocksReply reply = qvex::DecodeSocks5Reply(bytes);
                Check(reply.result == 0 && reply.addressType == data[3]);
                Check(reply.port == PortAt(data + received - 2));
                switch (data[3]) {
                    case qvex::kSocks5AddressIpv4:
                        Check(received == 10);
                        Check(!reply.address.ipv6 && CarriesExactly(reply.address, data + 4, 4));
                        break;
                    case qvex::kSocks5AddressIpv6:
                        Check(received == 22);
                        Check(reply.address.ipv6 && CarriesExactly(reply.address, data + 4, 16));
                        break;
                    case qvex::kSocks5AddressName:
                        Check(received > 4 && received == size_t{7} + data[4]);
                        Check(reply.address == qvex::platform::NetAddress());
                        break;
                    default:
                        Check(false);
                }
                return;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckSocks4(data, size);
    CheckSocks5(data, size);
    return 0;
}
