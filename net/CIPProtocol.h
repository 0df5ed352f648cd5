#pragma once

#include "CProtocol.h"
#include "Ipv4Address.h"
#include "UpperTable.h"

#include <cstddef>
#include <cstdint>

class CARPProtocol;
class CEthProtocol;

// IPv4 header without options (RFC 791).
namespace ipv4 {
inline constexpr std::size_t kVersionIhl = 0;
inline constexpr std::size_t kTos = 1;
inline constexpr std::size_t kTotalLength = 2;
inline constexpr std::size_t kIdentification = 4;
inline constexpr std::size_t kFragment = 6;
inline constexpr std::size_t kTtl = 8;
inline constexpr std::size_t kProtocol = 9;
inline constexpr std::size_t kChecksum = 10;
inline constexpr std::size_t kSource = 12;
inline constexpr std::size_t kDestination = 16;
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::uint8_t kVersion4Ihl5 = 0x45;
inline constexpr std::uint8_t kDefaultTtl = 64;
inline constexpr std::uint8_t kProtocolUDP = 17;
} // namespace ipv4

// The IPv4 layer: accepts datagrams for the own address and for broadcasts,
// demultiplexes them by protocol number, and sends datagrams through the ARP
// responder's resolution and the Ethernet layer.
class CIPProtocol : public CProtocol {
public:
    CIPProtocol(CEthProtocol *lower, int attach);

    void Release() override;
    std::int32_t Send(Packet *packet) override;
    std::int32_t Receive(Packet *packet) override;

    virtual ~CIPProtocol();

    CIPProtocol(const CIPProtocol &) = delete;
    CIPProtocol &operator=(const CIPProtocol &) = delete;

    std::int32_t Attach(CProtocol *upper, std::uint32_t protocol);
    std::int32_t Detach(std::uint32_t protocol);

    std::int32_t SetAddress(std::uint32_t address, std::uint32_t mask);
    std::uint32_t GetAddress() const { return address_; }
    // The ARP responder this layer created; null when it was built with
    // another attach flag.
    CARPProtocol *Arp() const { return arp_; }
    std::int32_t SendPacket(Packet *packet, std::uint32_t destination, std::uint32_t protocol);

private:
    std::uint32_t address_ = 0;
    std::uint32_t mask_ = 0;
    std::uint8_t ttl_ = ipv4::kDefaultTtl;
    int attach_;
    std::uint16_t identification_ = 1;
    UpperTable<256> uppers_;
    CARPProtocol *arp_ = nullptr;
    CEthProtocol *lower_;
};
