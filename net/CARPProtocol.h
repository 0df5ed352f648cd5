#pragma once

#include "CProtocol.h"

#include <cstddef>
#include <cstdint>

class ArpListener;
class CEthProtocol;

// ARP message for Ethernet and IPv4 (RFC 826).
namespace arp {
inline constexpr std::size_t kHardwareType = 0;
inline constexpr std::size_t kProtocolType = 2;
inline constexpr std::size_t kHardwareLength = 4;
inline constexpr std::size_t kProtocolLength = 5;
inline constexpr std::size_t kOperation = 6;
inline constexpr std::size_t kSenderHardware = 8;
inline constexpr std::size_t kSenderProtocol = 14;
inline constexpr std::size_t kTargetHardware = 18;
inline constexpr std::size_t kTargetProtocol = 24;
inline constexpr std::size_t kMessageSize = 28;
inline constexpr std::uint16_t kOpRequest = 1;
inline constexpr std::uint16_t kOpReply = 2;
inline constexpr std::size_t kNeighbourCount = 1000;
} // namespace arp

// Answers ARP requests for the own address and names the hardware address
// of the destinations the stack can send to: broadcasts and itself. It asks
// for other addresses only when told to (SendRequest), and passes the
// stations it hears on to a listener instead of keeping them.
class CARPProtocol : public CProtocol {
public:
    CARPProtocol(CEthProtocol *lower, int attach);

    void Release() override;
    std::int32_t Send(Packet *packet) override;
    std::int32_t Receive(Packet *packet) override;

    virtual ~CARPProtocol();

    CARPProtocol(const CARPProtocol &) = delete;
    CARPProtocol &operator=(const CARPProtocol &) = delete;

    std::int32_t Configure(std::uint32_t address, std::uint32_t mask, const std::uint8_t *mac);
    // Hardware address inside the responder's table, or null.
    const std::uint8_t *Resolve(std::uint32_t address) const;
    // Broadcasts a request for `target` as the own station (own address and
    // hardware address as sender). PROTO_E_INVAL before the own address is
    // configured.
    std::int32_t SendRequest(std::uint32_t target);
    // Who hears of the stations seen from now on; null for nobody.
    void SetListener(ArpListener *listener) { listener_ = listener; }

    // The table's layout (two reserved words per entry) is prescribed; keep
    // it even though only the tests look at it.
    struct Neighbour {
        std::uint32_t ipAddr;
        std::uint8_t hwAddr[6];
        std::uint32_t reserved1;
        std::uint32_t reserved2;
    };

private:
    CEthProtocol *lower_;
    std::uint32_t mask_ = 0;
    int attach_;
    ArpListener *listener_ = nullptr;
    Neighbour neighbours_[arp::kNeighbourCount]{}; // 0: broadcast, 1: own
};
