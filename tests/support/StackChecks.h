#pragma once

// Whole-stack checks shared by the frame fuzzer and the hardening unit tests:
// the lease table's structural invariants, and the shape of every frame the
// stack writes to the bridge. They read the bytes with their own code (and the
// independent checksum of FrameBuilder.h), never with the stack's helpers.
// Each returns an empty string when all is well, else what is wrong.

#include "CDHCPProtocol.h"
#include "FrameBuilder.h"
#include "LeaseChainCheck.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace checks {

inline constexpr std::uint32_t kServerIp = fb::ip(10, 0, 0, 1);
inline constexpr std::uint32_t kMask = fb::ip(255, 255, 255, 0);
inline constexpr std::uint32_t kPoolStart = fb::ip(10, 0, 0, 3);

inline std::uint32_t get32(const std::vector<std::uint8_t> &in, std::size_t at) {
    return (std::uint32_t{in.at(at)} << 24) | (std::uint32_t{in.at(at + 1)} << 16) |
           (std::uint32_t{in.at(at + 2)} << 8) | std::uint32_t{in.at(at + 3)};
}

// The lease table's invariants; with `offChain`, also the zero scan of every
// slot off the chain (all 65536), which the chain part alone skips.
inline std::string leaseTableFault(const CDHCPProtocol &server, bool offChain = true) {
    return offChain ? chaincheck::leaseTableFault(server) : chaincheck::chainFault(server);
}

// Walks the reply's options: code/length/data triples in the fixed order of
// its kind, then End as the very last byte.
inline std::string dhcpReplyFault(const std::vector<std::uint8_t> &m, std::uint32_t poolStart,
                                  std::uint32_t poolEnd) {
    if (m.size() != 256 && m.size() != 274) {
        return "DHCP reply of " + std::to_string(m.size()) + " bytes";
    }
    if (m[0] != 2 || m[1] != 1 || m[2] != 6 || m[3] != 0) {
        return "DHCP reply op/htype/hlen/hops wrong";
    }
    if (get32(m, 236) != 0x63825363u) {
        return "DHCP reply without magic cookie";
    }
    if (get32(m, 20) != kServerIp) {
        return "DHCP reply siaddr is not the server";
    }
    std::vector<std::uint8_t> codes;
    std::size_t at = 240;
    while (at < m.size() && m[at] != 255) {
        if (at + 2 > m.size() || at + 2 + m[at + 1] > m.size()) {
            return "DHCP reply option runs past the end";
        }
        codes.push_back(m[at]);
        at += 2u + m[at + 1];
    }
    if (at != m.size() - 1) {
        return "DHCP reply does not end with End as its last byte";
    }
    if (codes.empty() || m[240] != 53 || m[241] != 1) {
        return "DHCP reply does not start with the message type";
    }
    const std::uint8_t type = m[242];
    const std::uint32_t yiaddr = get32(m, 16);
    const std::vector<std::uint8_t> offer{53, 1, 58, 59, 51, 54};
    const std::vector<std::uint8_t> ack{53, 58, 59, 51, 54, 1};
    const std::vector<std::uint8_t> nak{53, 54, 1};
    if (type == 2 || type == 5) {
        if (codes != (type == 2 ? offer : ack)) {
            return "DHCP reply options out of order";
        }
        if (yiaddr < poolStart || yiaddr > poolEnd) {
            return "DHCP reply gives an address outside the pool";
        }
        // Not the subnet's network or broadcast address, nor past them.
        if ((yiaddr & kMask) != (kServerIp & kMask) || (yiaddr & ~kMask) == 0 ||
            (yiaddr & ~kMask) == ~kMask) {
            return "DHCP reply gives an address no guest of the subnet can use";
        }
    } else if (type == 6) {
        if (codes != nak || yiaddr != 0) {
            return "DHCPNAK malformed";
        }
    } else {
        return "DHCP reply of type " + std::to_string(type);
    }
    return {};
}

// A frame the stack wrote: Ethernet from the server's address, then either a
// 28-byte ARP reply or request padded with the filler, or IPv4 (20-byte header, right
// total length and checksum) carrying UDP 67 -> 68 with the right length and
// pseudo-header checksum around a complete DHCP reply.
inline std::string frameFault(const std::vector<std::uint8_t> &f, std::uint32_t poolStart,
                              std::uint32_t poolEnd) {
    if (f.size() < 60) {
        return "frame of " + std::to_string(f.size()) + " bytes";
    }
    if (!std::equal(fb::kServerMac.begin(), fb::kServerMac.end(), f.begin() + 6)) {
        return "frame source is not the server";
    }
    const unsigned type = fb::get16(f, 12);
    if (type == fb::kTypeARP) {
        static const char kFill[] = "ThisIsJustFiller.He";
        if (f.size() != 61) {
            return "ARP reply frame of " + std::to_string(f.size()) + " bytes";
        }
        const unsigned op = fb::get16(f, 20);
        if (fb::get16(f, 14) != 1 || fb::get16(f, 16) != 0x0800 || f[18] != 6 || f[19] != 4 ||
            (op != 1 && op != 2)) {
            return "ARP header wrong";
        }
        if (!std::equal(fb::kServerMac.begin(), fb::kServerMac.end(), f.begin() + 22) ||
            get32(f, 28) != kServerIp) {
            return "ARP sender is not the server";
        }
        if (op == 2 && !std::equal(f.begin(), f.begin() + 6, f.begin() + 32)) {
            return "ARP reply not sent to its target hardware address";
        }
        // A request asks the whole segment for a pool address.
        if (op == 1 &&
            (!std::all_of(f.begin(), f.begin() + 6, [](std::uint8_t b) { return b == 0xff; }) ||
             !std::all_of(f.begin() + 32, f.begin() + 38, [](std::uint8_t b) { return b == 0; }) ||
             get32(f, 38) < poolStart || get32(f, 38) > poolEnd)) {
            return "ARP request not a broadcast for a pool address";
        }
        if (std::memcmp(f.data() + 42, kFill, 19) != 0) {
            return "ARP reply padding is not the filler";
        }
        return {};
    }
    if (type != fb::kTypeIPv4) {
        return "frame of EtherType " + std::to_string(type);
    }
    if (!std::all_of(f.begin(), f.begin() + 6, [](std::uint8_t b) { return b == 0xff; })) {
        return "DHCP reply not sent to the Ethernet broadcast";
    }
    const std::vector<std::uint8_t> ipHeader(f.begin() + 14, f.begin() + 34);
    if (ipHeader[0] != 0x45 || ipHeader[9] != 17) {
        return "IPv4 header version/length/protocol wrong";
    }
    if (fb::get16(f, 16) != f.size() - 14) {
        return "IPv4 total length disagrees with the frame";
    }
    if (fb::onesComplement(ipHeader) != 0 || fb::get16(f, 24) == 0) {
        return "IPv4 header checksum wrong";
    }
    if (get32(f, 26) != kServerIp || get32(f, 30) != 0xffffffffu) {
        return "IPv4 addresses wrong";
    }
    if (fb::get16(f, 34) != 67 || fb::get16(f, 36) != 68) {
        return "UDP ports wrong";
    }
    const std::size_t udpLength = f.size() - 34;
    if (fb::get16(f, 38) != udpLength) {
        return "UDP length disagrees with the datagram";
    }
    fb::Bytes pseudo;
    fb::put32(pseudo, kServerIp);
    fb::put32(pseudo, 0xffffffffu);
    fb::put8(pseudo, 0);
    fb::put8(pseudo, 17);
    fb::put16(pseudo, static_cast<unsigned>(udpLength));
    pseudo.insert(pseudo.end(), f.begin() + 34, f.end());
    if (fb::get16(f, 40) == 0 || fb::onesComplement(pseudo) != 0) {
        return "UDP checksum wrong";
    }
    return dhcpReplyFault(std::vector<std::uint8_t>(f.begin() + 42, f.end()), poolStart, poolEnd);
}

} // namespace checks
