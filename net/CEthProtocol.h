#pragma once

#include "CProtocol.h"
#include "UpperTable.h"

#include <cstddef>
#include <cstdint>

// Ethernet II header, as it lies on the wire (no frame check sequence).
namespace eth {
inline constexpr std::size_t kDestination = 0;
inline constexpr std::size_t kSource = 6;
inline constexpr std::size_t kEtherType = 12;
inline constexpr std::size_t kHeaderSize = 14;
inline constexpr std::size_t kAddressSize = 6;
// Frames of up to kPadThreshold bytes are padded to kPaddedSize with filler.
inline constexpr std::uint32_t kPadThreshold = 59;
inline constexpr std::uint32_t kPaddedSize = 61;
inline constexpr std::uint16_t kTypeIPv4 = 0x0800;
inline constexpr std::uint16_t kTypeARP = 0x0806;
inline constexpr char kFiller[] = "ThisIsJustFiller.HereIsNoAnythingInteresting.20050324.Blah.";
} // namespace eth

// The Ethernet layer over the bridge port: wraps received frames in packets
// and demultiplexes them by EtherType; prepends headers, pads, and delivers
// outgoing frames to the bridge, back up to itself, or both.
class CEthProtocol : public CProtocol {
public:
    explicit CEthProtocol(CProtocol *lower);

    void Release() override;
    // Passes a complete frame down unchanged, then hands it back up.
    std::int32_t Send(Packet *packet) override;
    std::int32_t Receive(Packet *packet) override;

    virtual ~CEthProtocol();

    CEthProtocol(const CEthProtocol &) = delete;
    CEthProtocol &operator=(const CEthProtocol &) = delete;

    std::int32_t Attach(CProtocol *upper, std::uint32_t etherType);
    std::int32_t Detach(std::uint32_t etherType);

    std::int32_t SetMac(const std::uint8_t *mac);
    const std::uint8_t *GetMac() const { return mac_; }

    // Entry for frames read from the bridge: copies them into a new packet.
    std::int32_t ReceiveFrame(const std::uint8_t *frame, std::uint32_t size);
    // Builds and delivers a frame; a null destination means broadcast.
    std::int32_t SendFrame(Packet *packet, const std::uint8_t *destination,
                           std::uint16_t etherType);

private:
    UpperTable<65536> uppers_;
    CProtocol *lower_;
    std::uint8_t mac_[eth::kAddressSize]{};
};
