#pragma once

#include <cstddef>
#include <cstdint>

// DHCPDISCOVERs kept back while the service learns who holds which address,
// copied whole (fixed part and options), in the order they came. A fixed
// store inside the server: nothing allocated per message. A guest's repeated
// DISCOVER replaces its earlier one; when the store is full, or a message is
// longer than a slot, it is not kept and the guest's own retry asks again.
class HeldDiscovers {
public:
    static constexpr std::size_t kCapacity = 32;
    // A whole DHCP message in one Ethernet frame: 1500 - 20 (IPv4) - 8 (UDP).
    static constexpr std::uint32_t kMaxMessage = 1472;

    // `message` starts with the fixed part, so its client hardware address is
    // at dhcp::kChaddr. False when it was not kept.
    bool Keep(const std::uint8_t *message, std::uint32_t length);
    std::size_t Count() const { return count_; }
    const std::uint8_t *Message(std::size_t n) const { return slots_[n].bytes; }
    std::uint32_t Length(std::size_t n) const { return slots_[n].length; }
    void Clear() { count_ = 0; }

private:
    struct Slot {
        std::uint32_t length;
        std::uint8_t bytes[kMaxMessage];
    };
    std::size_t count_ = 0;
    Slot slots_[kCapacity] = {};
};
