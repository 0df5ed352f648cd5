#pragma once

#include <cstdint>

// The checks the service makes on its scope at start, in the same order. A
// renewal skips them in the service, so the tool makes them instead.

// The own address, the host adapter's address and at least 17 guest
// addresses: end - start must be at least 18.
inline constexpr std::uint32_t kMinScopeSpan = 18;

enum class ScopeVerdict {
    ok,
    tooFewAddresses,
    startAboveEnd,
};

ScopeVerdict checkScope(std::uint32_t start, std::uint32_t end);
