#pragma once

// Writes Ethernet, IPv4, UDP, ARP and DHCP bytes for tests that feed the
// stack. Deliberately independent of net/: it has its own byte writer and its
// own checksum routine, so a fault in the stack's wire code cannot hide behind
// the same fault here. Everything is big-endian on the wire; addresses are
// given as host-order numbers (first dotted component most significant).

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace fb {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

inline constexpr Mac kBroadcastMac{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
inline constexpr Mac kZeroMac{0, 0, 0, 0, 0, 0};
inline constexpr Mac kServerMac{0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0};

inline constexpr std::uint16_t kTypeIPv4 = 0x0800;
inline constexpr std::uint16_t kTypeARP = 0x0806;
inline constexpr std::uint8_t kProtoUDP = 17;
inline constexpr std::uint32_t kBroadcastIp = 0xffffffffu;

constexpr std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) |
           std::uint32_t{d};
}

inline void put8(Bytes &out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
}
inline void put16(Bytes &out, unsigned v) {
    put8(out, (v >> 8) & 0xff);
    put8(out, v & 0xff);
}
inline void put32(Bytes &out, std::uint32_t v) {
    put16(out, (v >> 16) & 0xffff);
    put16(out, v & 0xffff);
}
inline void putMac(Bytes &out, const Mac &mac) {
    out.insert(out.end(), mac.begin(), mac.end());
}
inline void putBytes(Bytes &out, const Bytes &in) {
    out.insert(out.end(), in.begin(), in.end());
}
inline void set16(Bytes &out, std::size_t at, unsigned v) {
    out.at(at) = static_cast<std::uint8_t>((v >> 8) & 0xff);
    out.at(at + 1) = static_cast<std::uint8_t>(v & 0xff);
}
inline unsigned get16(const Bytes &in, std::size_t at) {
    return (unsigned{in.at(at)} << 8) | in.at(at + 1);
}

// Plain RFC 1071 sum: 64-bit accumulator, odd byte padded with a zero low
// half, carries folded at the end. Returns the complemented 16-bit value,
// without mapping 0 to 0xFFFF (callers decide).
inline std::uint16_t onesComplement(const Bytes &bytes) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        unsigned hi = bytes[i];
        unsigned lo = i + 1 < bytes.size() ? bytes[i + 1] : 0u;
        sum += (hi << 8) | lo;
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

inline Bytes ethernet(const Mac &dst, const Mac &src, std::uint16_t type, const Bytes &payload) {
    Bytes out;
    out.reserve(14 + payload.size());
    putMac(out, dst);
    putMac(out, src);
    put16(out, type);
    putBytes(out, payload);
    return out;
}

// IPv4 header (with `options` appended and the header length set to match,
// options padded to whole words by the caller) followed by `payload`.
struct Ipv4Fields {
    std::uint16_t identification = 0;
    std::uint8_t ttl = 64;
    std::uint8_t tos = 0;
    std::uint16_t fragment = 0;
};

inline Bytes ipv4(std::uint32_t src, std::uint32_t dst, std::uint8_t proto, const Bytes &payload,
                  const Bytes &options = {}, Ipv4Fields f = {}) {
    Bytes out;
    const std::size_t headerLen = 20 + options.size();
    out.reserve(headerLen + payload.size());
    put8(out, 0x40 | ((headerLen / 4) & 0x0f));
    put8(out, f.tos);
    put16(out, static_cast<unsigned>(headerLen + payload.size()));
    put16(out, f.identification);
    put16(out, f.fragment);
    put8(out, f.ttl);
    put8(out, proto);
    put16(out, 0); // checksum, filled below
    put32(out, src);
    put32(out, dst);
    putBytes(out, options);
    set16(out, 10, onesComplement(out));
    putBytes(out, payload);
    return out;
}

// UDP header and payload; checksum over the pseudo-header, 0 sent as 0xFFFF.
inline Bytes udp(unsigned srcPort, unsigned dstPort, const Bytes &payload, std::uint32_t srcIp,
                 std::uint32_t dstIp) {
    Bytes out;
    out.reserve(8 + payload.size());
    put16(out, srcPort);
    put16(out, dstPort);
    put16(out, static_cast<unsigned>(8 + payload.size()));
    put16(out, 0);
    putBytes(out, payload);

    Bytes pseudo;
    pseudo.reserve(12 + out.size());
    put32(pseudo, srcIp);
    put32(pseudo, dstIp);
    put8(pseudo, 0);
    put8(pseudo, kProtoUDP);
    put16(pseudo, static_cast<unsigned>(out.size()));
    putBytes(pseudo, out);
    std::uint16_t sum = onesComplement(pseudo);
    set16(out, 6, sum == 0 ? 0xffff : sum);
    return out;
}

// A whole Ethernet/IPv4/UDP frame.
inline Bytes udpFrame(const Mac &dstMac, const Mac &srcMac, std::uint32_t srcIp,
                      std::uint32_t dstIp, unsigned srcPort, unsigned dstPort,
                      const Bytes &payload) {
    return ethernet(dstMac, srcMac, kTypeIPv4,
                    ipv4(srcIp, dstIp, kProtoUDP, udp(srcPort, dstPort, payload, srcIp, dstIp)));
}

inline Bytes arp(unsigned op, const Mac &senderMac, std::uint32_t senderIp, const Mac &targetMac,
                 std::uint32_t targetIp, unsigned protocolType = kTypeIPv4) {
    Bytes out;
    put16(out, 1); // hardware type: Ethernet
    put16(out, protocolType);
    put8(out, 6);
    put8(out, 4);
    put16(out, op);
    putMac(out, senderMac);
    put32(out, senderIp);
    putMac(out, targetMac);
    put32(out, targetIp);
    return out;
}

inline Bytes arpRequest(const Mac &senderMac, std::uint32_t senderIp, std::uint32_t targetIp) {
    return arp(1, senderMac, senderIp, kZeroMac, targetIp);
}

// An ARP request as a broadcast Ethernet frame.
inline Bytes arpRequestFrame(const Mac &senderMac, std::uint32_t senderIp, std::uint32_t targetIp) {
    return ethernet(kBroadcastMac, senderMac, kTypeARP, arpRequest(senderMac, senderIp, targetIp));
}

// DHCP message (RFC 2131): the 236-byte fixed part, the magic cookie and
// whatever option bytes the test appends. Nothing is added implicitly, not
// even the end option.
class DhcpMessage {
public:
    static constexpr std::size_t kOp = 0, kHtype = 1, kHlen = 2, kHops = 3, kXid = 4, kSecs = 8,
                                 kFlags = 10, kCiaddr = 12, kYiaddr = 16, kSiaddr = 20,
                                 kGiaddr = 24, kChaddr = 28, kSname = 44, kFile = 108,
                                 kCookie = 236, kOptions = 240;

    DhcpMessage(unsigned op, std::uint32_t xid, const Mac &chaddr) : bytes_(kOptions, 0) {
        bytes_[kOp] = static_cast<std::uint8_t>(op);
        bytes_[kHtype] = 1;
        bytes_[kHlen] = 6;
        setWord(kXid, xid);
        for (std::size_t i = 0; i < chaddr.size(); ++i) {
            bytes_[kChaddr + i] = chaddr[i];
        }
        setWord(kCookie, 0x63825363u); // 99.130.83.99
    }

    DhcpMessage &flags(unsigned v) {
        set16(bytes_, kFlags, v);
        return *this;
    }
    DhcpMessage &ciaddr(std::uint32_t v) { return setWord(kCiaddr, v); }
    DhcpMessage &yiaddr(std::uint32_t v) { return setWord(kYiaddr, v); }
    DhcpMessage &siaddr(std::uint32_t v) { return setWord(kSiaddr, v); }
    DhcpMessage &giaddr(std::uint32_t v) { return setWord(kGiaddr, v); }
    DhcpMessage &cookie(std::uint32_t v) { return setWord(kCookie, v); }
    DhcpMessage &byteAt(std::size_t at, std::uint8_t v) {
        bytes_.at(at) = v;
        return *this;
    }

    // Raw option bytes, appended as given.
    DhcpMessage &raw(std::initializer_list<std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    DhcpMessage &raw(const Bytes &bytes) {
        putBytes(bytes_, bytes);
        return *this;
    }
    // code, length, value.
    DhcpMessage &option(std::uint8_t code, const Bytes &value) {
        put8(bytes_, code);
        put8(bytes_, static_cast<unsigned>(value.size()));
        putBytes(bytes_, value);
        return *this;
    }
    DhcpMessage &messageType(std::uint8_t type) { return option(53, Bytes{type}); }
    DhcpMessage &addressOption(std::uint8_t code, std::uint32_t address) {
        Bytes v;
        put32(v, address);
        return option(code, v);
    }
    DhcpMessage &requestedAddress(std::uint32_t a) { return addressOption(50, a); }
    DhcpMessage &serverId(std::uint32_t a) { return addressOption(54, a); }
    DhcpMessage &end() { return raw({255}); }

    const Bytes &bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    DhcpMessage &setWord(std::size_t at, std::uint32_t v) {
        set16(bytes_, at, (v >> 16) & 0xffff);
        set16(bytes_, at + 2, v & 0xffff);
        return *this;
    }

    Bytes bytes_;
};

// A guest's DHCPDISCOVER, with a parameter request list (option 55) when one
// is given; ended.
inline DhcpMessage discover(std::uint32_t xid, const Mac &guest, const Bytes &parameters = {}) {
    DhcpMessage m(1, xid, guest);
    m.messageType(1);
    if (!parameters.empty()) {
        m.option(55, parameters);
    }
    return m.end();
}

// A guest's DHCPREQUEST with a requested address (option 50) and a server
// identifier (option 54), each when given, in that order; ended.
inline DhcpMessage request(std::uint32_t xid, const Mac &guest,
                           std::optional<std::uint32_t> requested,
                           std::optional<std::uint32_t> server) {
    DhcpMessage m(1, xid, guest);
    m.messageType(3);
    if (requested) {
        m.requestedAddress(*requested);
    }
    if (server) {
        m.serverId(*server);
    }
    return m.end();
}

// A guest's DHCP message as the whole broadcast frame that reaches the server:
// from 0.0.0.0:68 to 255.255.255.255:67.
inline Bytes dhcpClientFrame(const Mac &clientMac, const DhcpMessage &message) {
    return udpFrame(kBroadcastMac, clientMac, 0, kBroadcastIp, 68, 67, message.bytes());
}

inline Bytes fromString(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

} // namespace fb
