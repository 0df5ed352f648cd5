#pragma once

#include <cstddef>
#include <cstdint>

// The BOOTP fixed part (RFC 2131), the magic cookie and the options the
// server reads and writes (RFC 2132).
namespace dhcp {
inline constexpr std::size_t kOp = 0;
inline constexpr std::size_t kHtype = 1;
inline constexpr std::size_t kHlen = 2;
inline constexpr std::size_t kHops = 3;
inline constexpr std::size_t kXid = 4;
inline constexpr std::size_t kSecs = 8;
inline constexpr std::size_t kFlags = 10;
inline constexpr std::size_t kCiaddr = 12;
inline constexpr std::size_t kYiaddr = 16;
inline constexpr std::size_t kSiaddr = 20;
inline constexpr std::size_t kGiaddr = 24;
inline constexpr std::size_t kChaddr = 28;
inline constexpr std::size_t kChaddrSize = 16;
inline constexpr std::size_t kSname = 44;
inline constexpr std::size_t kFile = 108;
inline constexpr std::size_t kMagicCookie = 236;
inline constexpr std::size_t kOptions = 240;
// The fixed part (cookie included) ends where the options begin.
inline constexpr std::size_t kFixedSize = kOptions;
inline constexpr std::size_t kXidSize = 4;
inline constexpr std::size_t kHwAddrSize = 6;
inline constexpr std::uint8_t kCookie[4] = {99, 130, 83, 99};

inline constexpr std::uint8_t kBootRequest = 1;
inline constexpr std::uint8_t kBootReply = 2;
inline constexpr std::uint8_t kHtypeEthernet = 1;

inline constexpr std::uint8_t kOptPad = 0;
inline constexpr std::uint8_t kOptSubnetMask = 1;
inline constexpr std::uint8_t kOptHostName = 12;
inline constexpr std::uint8_t kOptRequestedAddress = 50;
inline constexpr std::uint8_t kOptLeaseTime = 51;
inline constexpr std::uint8_t kOptMessageType = 53;
inline constexpr std::uint8_t kOptServerId = 54;
inline constexpr std::uint8_t kOptRenewalTime = 58;
inline constexpr std::uint8_t kOptRebindingTime = 59;
inline constexpr std::uint8_t kOptClientId = 61;
inline constexpr std::uint8_t kOptEnd = 255;

inline constexpr std::uint8_t kDiscover = 1;
inline constexpr std::uint8_t kOffer = 2;
inline constexpr std::uint8_t kRequest = 3;
inline constexpr std::uint8_t kDecline = 4;
inline constexpr std::uint8_t kAck = 5;
inline constexpr std::uint8_t kNak = 6;
inline constexpr std::uint8_t kRelease = 7;
inline constexpr std::uint8_t kInform = 8;

// Fixed lease times, seconds.
inline constexpr std::uint32_t kLeaseTime = 864000;     // 10 days
inline constexpr std::uint32_t kRenewalTime = 432000;   // 5 days
inline constexpr std::uint32_t kRebindingTime = 756000; // 8 days 18 hours

inline constexpr std::uint16_t kServerPort = 67;
inline constexpr std::uint16_t kClientPort = 68;
} // namespace dhcp

// The options of one request, by code (0..254). `data` points into the
// received message; length 0 and null data mean absent.
struct DhcpOptionTable {
    struct Entry {
        std::uint8_t length;
        const std::uint8_t *data;
    };
    Entry entries[255];
};
