#include "DhcpFrame.h"

#include <algorithm>
#include <cstring>

using namespace dhcpload::wire;

namespace {

constexpr std::size_t kIpStart = eth::kHeaderSize;
constexpr std::size_t kUdpStart = kIpStart + ipv4::kHeaderSize;
constexpr std::size_t kDhcpStart = kUdpStart + udp::kHeaderSize;

// Writes Ethernet, IPv4 and UDP headers in front of a DHCP message of
// dhcpLength bytes that already sits at kDhcpStart.
std::size_t writeHeaders(std::uint8_t *out, const MacAddr &destMac, const MacAddr &srcMac,
                         std::uint32_t srcIp, std::uint32_t destIp, std::uint16_t srcPort,
                         std::uint16_t destPort, std::size_t dhcpLength) {
    std::memcpy(out + eth::kDestination, destMac.data(), eth::kAddrSize);
    std::memcpy(out + eth::kSource, srcMac.data(), eth::kAddrSize);
    store16(out, eth::kType, eth::kTypeIpv4);

    std::uint8_t *ip = out + kIpStart;
    const auto udpLength = static_cast<std::uint16_t>(udp::kHeaderSize + dhcpLength);
    ip[ipv4::kVersionIhl] = 0x45;
    ip[1] = 0; // type of service
    store16(ip, ipv4::kTotalLength, static_cast<std::uint16_t>(ipv4::kHeaderSize + udpLength));
    store16(ip, ipv4::kIdent, 0);
    store16(ip, ipv4::kFlagsFragment, 0);
    ip[ipv4::kTtl] = 64;
    ip[ipv4::kProtocol] = ipv4::kProtocolUdp;
    store16(ip, ipv4::kChecksum, 0);
    store32(ip, ipv4::kSource, srcIp);
    store32(ip, ipv4::kDestination, destIp);

    std::uint8_t *u = out + kUdpStart;
    store16(u, udp::kSourcePort, srcPort);
    store16(u, udp::kDestinationPort, destPort);
    store16(u, udp::kLength, udpLength);
    store16(u, udp::kChecksum, 0);

    const std::size_t length = kDhcpStart + dhcpLength;
    finishChecksums(out, length);
    return length;
}

void writeFixedPart(std::uint8_t *m, std::uint8_t op, std::uint32_t xid, const MacAddr &chaddr) {
    std::memset(m, 0, dhcp::kOptions);
    m[dhcp::kOp] = op;
    m[dhcp::kHtype] = 1; // Ethernet
    m[dhcp::kHlen] = eth::kAddrSize;
    store32(m, dhcp::kXid, xid);
    std::memcpy(m + dhcp::kChaddr, chaddr.data(), eth::kAddrSize);
    store32(m, dhcp::kMagicCookie, dhcp::kCookie);
}

std::size_t putOption8(std::uint8_t *m, std::size_t at, std::uint8_t code, std::uint8_t value) {
    m[at] = code;
    m[at + 1] = 1;
    m[at + 2] = value;
    return at + 3;
}

std::size_t putOption32(std::uint8_t *m, std::size_t at, std::uint8_t code, std::uint32_t value) {
    m[at] = code;
    m[at + 1] = 4;
    store32(m, at + 2, value);
    return at + 6;
}

// Option bounds: the client message is at most 240 + 3 + 9 + 6 + 6 + 6 + 1
// bytes before padding, and at least kBootpMinSize after it.
constexpr std::size_t kClientFrameSize = kDhcpStart + dhcp::kBootpMinSize;
constexpr std::size_t kServerOptionsSize = 3 + 6 + 6 + 6 + 1;
constexpr std::size_t kServerFrameSize = kDhcpStart + dhcp::kOptions + kServerOptionsSize;

} // namespace

const char *parseStatusName(ParseStatus status) {
    switch (status) {
    case ParseStatus::kOk:
        return "ok";
    case ParseStatus::kNotDhcp:
        return "not-dhcp";
    case ParseStatus::kTruncated:
        return "truncated";
    case ParseStatus::kBadChecksum:
        return "bad-checksum";
    case ParseStatus::kMalformed:
        return "malformed";
    }
    return "?";
}

void finishChecksums(std::uint8_t *frame, std::size_t length) {
    std::uint8_t *ip = frame + kIpStart;
    store16(ip, ipv4::kChecksum, 0);
    store16(ip, ipv4::kChecksum, foldComplement(sumWords(0, ip, ipv4::kHeaderSize)));

    std::uint8_t *u = frame + kUdpStart;
    const std::size_t udpLength = length - kUdpStart;
    store16(u, udp::kChecksum, 0);
    std::uint32_t sum = sumWords(0, ip + ipv4::kSource, 8); // both addresses
    sum += ipv4::kProtocolUdp;
    sum += static_cast<std::uint32_t>(udpLength);
    std::uint16_t checksum = foldComplement(sumWords(sum, u, udpLength));
    // RFC 768: a computed zero is sent as all ones; zero means "no checksum".
    if (checksum == 0) {
        checksum = 0xFFFF;
    }
    store16(u, udp::kChecksum, checksum);
}

std::size_t buildClientFrame(const ClientMessage &message, std::uint8_t *out,
                             std::size_t capacity) {
    if (capacity < kClientFrameSize) {
        return 0;
    }
    std::uint8_t *m = out + kDhcpStart;
    writeFixedPart(m, dhcp::kBootRequest, message.xid, message.mac);
    if (message.broadcastFlag) {
        store16(m, dhcp::kFlags, dhcp::kFlagBroadcast);
    }
    std::size_t at = putOption8(m, dhcp::kOptions, dhcp::kOptMessageType, message.type);
    // Client identifier: hardware type 1 and the hardware address.
    m[at] = dhcp::kOptClientId;
    m[at + 1] = 1 + eth::kAddrSize;
    m[at + 2] = 1;
    std::memcpy(m + at + 3, message.mac.data(), eth::kAddrSize);
    at += 3 + eth::kAddrSize;
    if (message.requestedAddress != 0) {
        at = putOption32(m, at, dhcp::kOptRequestedAddress, message.requestedAddress);
    }
    if (message.serverId != 0) {
        at = putOption32(m, at, dhcp::kOptServerId, message.serverId);
    }
    // Parameter request list: subnet mask, lease time, server identifier.
    m[at] = dhcp::kOptParameterList;
    m[at + 1] = 3;
    m[at + 2] = dhcp::kOptSubnetMask;
    m[at + 3] = dhcp::kOptLeaseTime;
    m[at + 4] = dhcp::kOptServerId;
    at += 5;
    m[at++] = dhcp::kOptEnd;
    const std::size_t dhcpLength = std::max(at, dhcp::kBootpMinSize);
    std::memset(m + at, dhcp::kOptPad, dhcpLength - at);
    return writeHeaders(out, kBroadcastMac, message.mac, 0, ipv4::kBroadcast, dhcp::kClientPort,
                        dhcp::kServerPort, dhcpLength);
}

std::size_t buildServerFrame(const ServerMessage &message, std::uint8_t *out,
                             std::size_t capacity) {
    if (capacity < kServerFrameSize) {
        return 0;
    }
    std::uint8_t *m = out + kDhcpStart;
    writeFixedPart(m, dhcp::kBootReply, message.xid, message.clientMac);
    if (message.type != dhcp::kNak) {
        store32(m, dhcp::kYiaddr, message.yiaddr);
    }
    store32(m, dhcp::kSiaddr, message.serverId);
    std::size_t at = putOption8(m, dhcp::kOptions, dhcp::kOptMessageType, message.type);
    at = putOption32(m, at, dhcp::kOptServerId, message.serverId);
    at = putOption32(m, at, dhcp::kOptSubnetMask, message.subnetMask);
    at = putOption32(m, at, dhcp::kOptLeaseTime, message.leaseTime);
    m[at++] = dhcp::kOptEnd;
    return writeHeaders(out, kBroadcastMac, message.serverMac, message.serverId, ipv4::kBroadcast,
                        dhcp::kServerPort, dhcp::kClientPort, at);
}

ParseStatus parseDhcpFrame(const std::uint8_t *frame, std::size_t length,
                           std::uint16_t destinationPort, DhcpView &view, bool checkUdpChecksum) {
    if (length < eth::kHeaderSize || load16(frame, eth::kType) != eth::kTypeIpv4) {
        return ParseStatus::kNotDhcp;
    }
    const std::uint8_t *ip = frame + kIpStart;
    const std::size_t ipRoom = length - kIpStart;
    if (ipRoom < ipv4::kHeaderSize) {
        return ParseStatus::kTruncated;
    }
    const std::size_t ihl = std::size_t{ip[ipv4::kVersionIhl] & 0x0FU} * 4;
    if ((ip[ipv4::kVersionIhl] >> 4) != 4 || ihl < ipv4::kHeaderSize ||
        ip[ipv4::kProtocol] != ipv4::kProtocolUdp ||
        (load16(ip, ipv4::kFlagsFragment) & ipv4::kFragmentMask) != 0) {
        return ParseStatus::kNotDhcp;
    }
    const std::size_t totalLength = load16(ip, ipv4::kTotalLength);
    // Short frames carry padding behind the datagram, so the frame may be
    // longer than the IPv4 total length but never shorter.
    if (ihl > ipRoom || totalLength > ipRoom || totalLength < ihl + udp::kHeaderSize) {
        return ParseStatus::kTruncated;
    }
    if (foldComplement(sumWords(0, ip, ihl)) != 0) {
        return ParseStatus::kBadChecksum;
    }
    const std::uint8_t *u = ip + ihl;
    if (load16(u, udp::kDestinationPort) != destinationPort) {
        return ParseStatus::kNotDhcp;
    }
    const std::size_t udpLength = load16(u, udp::kLength);
    if (udpLength < udp::kHeaderSize || udpLength > totalLength - ihl) {
        return ParseStatus::kTruncated;
    }
    if (checkUdpChecksum && load16(u, udp::kChecksum) != 0) {
        std::uint32_t sum = sumWords(0, ip + ipv4::kSource, 8);
        sum += ipv4::kProtocolUdp;
        sum += static_cast<std::uint32_t>(udpLength);
        if (foldComplement(sumWords(sum, u, udpLength)) != 0) {
            return ParseStatus::kBadChecksum;
        }
    }
    const std::uint8_t *m = u + udp::kHeaderSize;
    const std::size_t dhcpLength = udpLength - udp::kHeaderSize;
    if (dhcpLength < dhcp::kOptions || load32(m, dhcp::kMagicCookie) != dhcp::kCookie) {
        return ParseStatus::kMalformed;
    }

    view = DhcpView{};
    std::memcpy(view.ethDestination.data(), frame + eth::kDestination, eth::kAddrSize);
    std::memcpy(view.ethSource.data(), frame + eth::kSource, eth::kAddrSize);
    view.ipSource = load32(ip, ipv4::kSource);
    view.ipDestination = load32(ip, ipv4::kDestination);
    view.op = m[dhcp::kOp];
    view.xid = load32(m, dhcp::kXid);
    view.flags = load16(m, dhcp::kFlags);
    view.yiaddr = load32(m, dhcp::kYiaddr);
    view.siaddr = load32(m, dhcp::kSiaddr);
    std::memcpy(view.chaddr.data(), m + dhcp::kChaddr, eth::kAddrSize);

    std::size_t at = dhcp::kOptions;
    while (at < dhcpLength) {
        const std::uint8_t code = m[at];
        if (code == dhcp::kOptEnd) {
            break;
        }
        if (code == dhcp::kOptPad) {
            ++at;
            continue;
        }
        if (at + 2 > dhcpLength || at + 2 + m[at + 1] > dhcpLength) {
            return ParseStatus::kMalformed; // an option runs past the message
        }
        const std::uint8_t optLength = m[at + 1];
        const std::uint8_t *data = m + at + 2;
        switch (code) {
        case dhcp::kOptMessageType:
            if (optLength >= 1) {
                view.type = data[0];
            }
            break;
        case dhcp::kOptServerId:
            if (optLength >= 4) {
                view.serverId = load32(data, 0);
            }
            break;
        case dhcp::kOptRequestedAddress:
            if (optLength >= 4) {
                view.requestedAddress = load32(data, 0);
            }
            break;
        case dhcp::kOptSubnetMask:
            if (optLength >= 4) {
                view.subnetMask = load32(data, 0);
            }
            break;
        case dhcp::kOptLeaseTime:
            if (optLength >= 4) {
                view.leaseTime = load32(data, 0);
            }
            break;
        default:
            break;
        }
        at += 2 + std::size_t{optLength};
    }
    if (view.type == dhcp::kNone) {
        return ParseStatus::kMalformed;
    }
    return ParseStatus::kOk;
}
