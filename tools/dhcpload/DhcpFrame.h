#pragma once

#include "Wire.h"

#include <array>
#include <cstddef>
#include <cstdint>

// Whole Ethernet frames carrying DHCP, built and read by dhcpload itself.
using MacAddr = std::array<std::uint8_t, dhcpload::wire::eth::kAddrSize>;

inline constexpr MacAddr kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr std::size_t kMaxFrameSize = 2048;

// What one simulated guest sends: a DHCPDISCOVER, or a DHCPREQUEST naming the
// server (option 54) and the address it offered (option 50). Addresses are
// host-order values; 0 leaves the option out.
struct ClientMessage {
    dhcpload::wire::dhcp::MessageType type = dhcpload::wire::dhcp::kDiscover;
    std::uint32_t xid = 0;
    MacAddr mac{};
    bool broadcastFlag = false;
    std::uint32_t requestedAddress = 0;
    std::uint32_t serverId = 0;
};

// A server's answer as the responder writes it.
struct ServerMessage {
    dhcpload::wire::dhcp::MessageType type = dhcpload::wire::dhcp::kOffer;
    std::uint32_t xid = 0;
    MacAddr clientMac{};
    MacAddr serverMac{};
    std::uint32_t yiaddr = 0;
    std::uint32_t serverId = 0;
    std::uint32_t subnetMask = 0;
    std::uint32_t leaseTime = 0;
};

// The fields of a received DHCP frame that dhcpload looks at, in host order.
struct DhcpView {
    MacAddr ethSource{};
    MacAddr ethDestination{};
    std::uint32_t ipSource = 0;
    std::uint32_t ipDestination = 0;
    std::uint8_t op = 0;
    std::uint8_t type = dhcpload::wire::dhcp::kNone;
    std::uint32_t xid = 0;
    std::uint16_t flags = 0;
    std::uint32_t yiaddr = 0;
    std::uint32_t siaddr = 0;
    MacAddr chaddr{};
    std::uint32_t serverId = 0;         // option 54, 0 when absent
    std::uint32_t requestedAddress = 0; // option 50, 0 when absent
    std::uint32_t subnetMask = 0;       // option 1, 0 when absent
    std::uint32_t leaseTime = 0;        // option 51, 0 when absent
};

enum class ParseStatus {
    kOk,
    kNotDhcp,     // another protocol, port or direction: not counted as an error
    kTruncated,   // a header or length field claims more than the frame holds
    kBadChecksum, // IPv4 header or UDP checksum does not verify
    kMalformed,   // DHCP fixed part, cookie or message type missing or wrong
};

const char *parseStatusName(ParseStatus status);

// Builds a guest's broadcast frame (0.0.0.0:68 to 255.255.255.255:67) into
// out; returns its length, or 0 when capacity is too small.
std::size_t buildClientFrame(const ClientMessage &message, std::uint8_t *out, std::size_t capacity);

// Builds a broadcast reply (serverId:67 to 255.255.255.255:68) into out;
// returns its length, or 0 when capacity is too small.
std::size_t buildServerFrame(const ServerMessage &message, std::uint8_t *out, std::size_t capacity);

// Reads a frame addressed to UDP port destinationPort (68 for replies, 67 for
// requests). The DHCP options are walked without reading past the frame.
// checkUdpChecksum is false for frames whose sender left the checksum to
// offloading hardware.
ParseStatus parseDhcpFrame(const std::uint8_t *frame, std::size_t length,
                           std::uint16_t destinationPort, DhcpView &view,
                           bool checkUdpChecksum = true);

// Fills in the IPv4 header checksum and the UDP checksum of a frame whose
// headers are otherwise complete.
void finishChecksums(std::uint8_t *frame, std::size_t length);
