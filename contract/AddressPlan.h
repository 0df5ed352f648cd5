#pragma once

#include <cstdint>

// The address plan of a scope with start S: the service answers at S, the
// host adapter gets S + 1, and the guests are given S + 2 up to the scope's
// end. The service, the renew tool's description and the tests all take the
// addresses from here.
constexpr std::uint32_t hostAdapterAddress(std::uint32_t scopeStart) {
    return scopeStart + 1;
}
constexpr std::uint32_t poolStartAddress(std::uint32_t scopeStart) {
    return scopeStart + 2;
}
