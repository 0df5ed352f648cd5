#pragma once

#include "CProtocol.h"
#include "UpperTable.h"

#include <cstddef>
#include <cstdint>

class CIPProtocol;

// UDP header (RFC 768).
namespace udp {
inline constexpr std::size_t kSourcePort = 0;
inline constexpr std::size_t kDestinationPort = 2;
inline constexpr std::size_t kLength = 4;
inline constexpr std::size_t kChecksum = 6;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kPseudoHeaderSize = 12;
} // namespace udp

// The UDP layer: demultiplexes by destination port, sends datagrams with the
// pseudo-header checksum. Received checksums are not verified.
class CUDPProtocol : public CProtocol {
public:
    CUDPProtocol(CIPProtocol *lower, int attach);

    void Release() override;
    std::int32_t Send(Packet *packet) override;
    std::int32_t Receive(Packet *packet) override;

    virtual ~CUDPProtocol();

    CUDPProtocol(const CUDPProtocol &) = delete;
    CUDPProtocol &operator=(const CUDPProtocol &) = delete;

    std::int32_t Attach(CProtocol *upper, std::uint32_t port);
    std::int32_t Detach(std::uint32_t port);

    std::int32_t SendDatagram(Packet *packet, std::uint32_t destination,
                              std::uint32_t destinationPort, std::uint32_t sourcePort);
    CIPProtocol *GetLower() const { return lower_; }

private:
    UpperTable<65536> uppers_;
    CIPProtocol *lower_;
    int attach_;
};

// Internet checksum over the pseudo-header and the datagram (header included,
// its checksum field zero); never 0x0000 (sent as 0xFFFF).
std::uint16_t UdpChecksum(std::uint32_t source, std::uint32_t destination,
                          const std::uint8_t *datagram, std::uint32_t length);
