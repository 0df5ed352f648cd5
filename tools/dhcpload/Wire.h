#pragma once

#include <cstddef>
#include <cstdint>

// The wire formats dhcpload reads and writes, kept apart from the daemon's
// own codec so that the load generator also checks the server it loads.
// Multi-byte fields are in network byte order on the wire; these helpers are
// the only place that converts. Everything lives in a namespace of its own,
// so that a program holding both codecs can never mix up their names.
namespace dhcpload::wire {

inline std::uint16_t load16(const std::uint8_t *p, std::size_t offset) {
    return static_cast<std::uint16_t>((p[offset] << 8) | p[offset + 1]);
}

inline std::uint32_t load32(const std::uint8_t *p, std::size_t offset) {
    return (std::uint32_t{p[offset]} << 24) | (std::uint32_t{p[offset + 1]} << 16) |
           (std::uint32_t{p[offset + 2]} << 8) | std::uint32_t{p[offset + 3]};
}

inline void store16(std::uint8_t *p, std::size_t offset, std::uint16_t value) {
    p[offset] = static_cast<std::uint8_t>(value >> 8);
    p[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void store32(std::uint8_t *p, std::size_t offset, std::uint32_t value) {
    p[offset] = static_cast<std::uint8_t>(value >> 24);
    p[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    p[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    p[offset + 3] = static_cast<std::uint8_t>(value);
}

// RFC 1071: one's-complement sum of big-endian 16-bit words; an odd last
// byte is the high half of a word whose low half is zero.
inline std::uint32_t sumWords(std::uint32_t sum, const std::uint8_t *p, std::size_t length) {
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) {
        sum += load16(p, i);
    }
    if (i < length) {
        sum += std::uint32_t{p[i]} << 8;
    }
    return sum;
}

inline std::uint16_t foldComplement(std::uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFFU) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

namespace eth {
inline constexpr std::size_t kDestination = 0;
inline constexpr std::size_t kSource = 6;
inline constexpr std::size_t kType = 12;
inline constexpr std::size_t kHeaderSize = 14;
inline constexpr std::size_t kAddrSize = 6;
inline constexpr std::uint16_t kTypeIpv4 = 0x0800;
} // namespace eth

namespace ipv4 {
inline constexpr std::size_t kVersionIhl = 0;
inline constexpr std::size_t kTotalLength = 2;
inline constexpr std::size_t kIdent = 4;
inline constexpr std::size_t kFlagsFragment = 6;
inline constexpr std::size_t kTtl = 8;
inline constexpr std::size_t kProtocol = 9;
inline constexpr std::size_t kChecksum = 10;
inline constexpr std::size_t kSource = 12;
inline constexpr std::size_t kDestination = 16;
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::uint8_t kProtocolUdp = 17;
inline constexpr std::uint16_t kFragmentMask = 0x3FFF; // more-fragments bit and offset
inline constexpr std::uint32_t kBroadcast = 0xFFFFFFFFU;
} // namespace ipv4

namespace udp {
inline constexpr std::size_t kSourcePort = 0;
inline constexpr std::size_t kDestinationPort = 2;
inline constexpr std::size_t kLength = 4;
inline constexpr std::size_t kChecksum = 6;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kPseudoHeaderSize = 12;
} // namespace udp

namespace dhcp {
inline constexpr std::size_t kOp = 0;
inline constexpr std::size_t kHtype = 1;
inline constexpr std::size_t kHlen = 2;
inline constexpr std::size_t kXid = 4;
inline constexpr std::size_t kFlags = 10;
inline constexpr std::size_t kCiaddr = 12;
inline constexpr std::size_t kYiaddr = 16;
inline constexpr std::size_t kSiaddr = 20;
inline constexpr std::size_t kChaddr = 28;
inline constexpr std::size_t kMagicCookie = 236;
inline constexpr std::size_t kOptions = 240;
// Classic clients fill a request up to the 300-byte BOOTP size; some
// servers still refuse anything shorter.
inline constexpr std::size_t kBootpMinSize = 300;

inline constexpr std::uint16_t kServerPort = 67;
inline constexpr std::uint16_t kClientPort = 68;
inline constexpr std::uint8_t kBootRequest = 1;
inline constexpr std::uint8_t kBootReply = 2;
inline constexpr std::uint16_t kFlagBroadcast = 0x8000;
inline constexpr std::uint32_t kCookie = 0x63825363;

inline constexpr std::uint8_t kOptPad = 0;
inline constexpr std::uint8_t kOptSubnetMask = 1;
inline constexpr std::uint8_t kOptRequestedAddress = 50;
inline constexpr std::uint8_t kOptLeaseTime = 51;
inline constexpr std::uint8_t kOptMessageType = 53;
inline constexpr std::uint8_t kOptServerId = 54;
inline constexpr std::uint8_t kOptParameterList = 55;
inline constexpr std::uint8_t kOptClientId = 61;
inline constexpr std::uint8_t kOptEnd = 255;

enum MessageType : std::uint8_t {
    kNone = 0,
    kDiscover = 1,
    kOffer = 2,
    kRequest = 3,
    kDecline = 4,
    kAck = 5,
    kNak = 6,
    kRelease = 7,
    kInform = 8,
};
} // namespace dhcp

} // namespace dhcpload::wire
