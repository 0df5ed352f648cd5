#pragma once

#include <cstdint>

// Address rules every layer that handles IPv4 addresses shares (host order).
namespace ipv4 {
inline constexpr std::uint32_t kBroadcast = 0xFFFFFFFFu;

// The limited broadcast, or an address whose host part (the bits outside
// `mask`) is all ones: the network's directed broadcast.
inline bool isBroadcastFor(std::uint32_t address, std::uint32_t mask) {
    const std::uint32_t hostPart = ~mask;
    return address == kBroadcast || (address & hostPart) == hostPart;
}

// The host addresses of the subnet that `address` lies in under `mask`: all
// but its network and broadcast addresses, first to last. A subnet of one
// or two addresses (a mask of 31 or 32 bits) has none: last < first then.
struct HostRange {
    std::uint32_t first;
    std::uint32_t last;
    bool contains(std::uint32_t a) const { return a >= first && a <= last; }
};

inline HostRange hostsOf(std::uint32_t address, std::uint32_t mask) {
    if (~mask < 2) {
        return {1, 0};
    }
    const std::uint32_t network = address & mask;
    return {network + 1, (network | ~mask) - 1};
}
} // namespace ipv4
