#pragma once

#include <cstdint>

// The checks a scope must pass before a service starts on it, in this
// order. The service makes them at start only; a renewal is applied as it
// comes, so the renew tool makes them before it writes a new scope.

// The own address, the host adapter's address and at least 17 guest
// addresses: end - start must be at least 18. The service's message names
// kNeededAddresses, as it always has.
inline constexpr std::uint32_t kMinScopeSpan = 18;
inline constexpr std::uint32_t kNeededAddresses = 20;

enum class ScopeVerdict {
    ok,
    tooFewAddresses,
    startAboveEnd,
    // The end lies in another subnet than the start, the server's own
    // address: the guests would be offered the subnet's broadcast address,
    // the next one's network address and addresses they cannot reach the
    // server from. (A scope that merely ends on the broadcast address is
    // accepted; the server never offers that address.)
    crossesSubnet,
};

ScopeVerdict checkScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask);
