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
} // namespace ipv4
