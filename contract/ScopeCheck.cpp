#include "ScopeCheck.h"

ScopeVerdict checkScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask) {
    // The difference wraps for a start above the end and so passes the size
    // check; the order check after it catches that case.
    if (end - start < kMinScopeSpan) {
        return ScopeVerdict::tooFewAddresses;
    }
    if (end < start) {
        return ScopeVerdict::startAboveEnd;
    }
    if ((end & mask) != (start & mask)) {
        return ScopeVerdict::crossesSubnet;
    }
    return ScopeVerdict::ok;
}
