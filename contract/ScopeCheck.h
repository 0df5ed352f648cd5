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
};

ScopeVerdict checkScope(std::uint32_t start, std::uint32_t end);
