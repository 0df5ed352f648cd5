#pragma once

#include <cstdint>

// Told of each station the ARP responder hears name itself: the sender of an
// IPv4 ARP request or reply, with its address and hardware address. Probes
// that name no sender address (0.0.0.0, RFC 5227), the responder's own frames
// and senders with a group or all-zero hardware address are not passed on.
class ArpListener {
public:
    virtual void Heard(std::uint32_t address, const std::uint8_t *hwAddr) = 0;

protected:
    ~ArpListener() = default;
};
