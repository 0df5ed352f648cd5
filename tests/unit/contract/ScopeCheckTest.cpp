#include "ScopeCheck.h"

#include <gtest/gtest.h>

namespace {

TEST(ScopeCheck, SameVerdictsAsTheServiceAtStart) {
    const struct {
        std::uint32_t start;
        std::uint32_t end;
        std::uint32_t mask;
        ScopeVerdict verdict;
    } cases[] = {
        {0x0A258101, 0x0A2581FE, 0xFFFFFF00, ScopeVerdict::ok}, // 10.37.129.1 - .254
        {0x0A000001, 0x0A000013, 0xFFFFFF00, ScopeVerdict::ok}, // difference 18: 17 guests
        {0x0A000001, 0x0A000012, 0x00000000, ScopeVerdict::tooFewAddresses}, // difference 17
        {0x0A000001, 0x0A000001, 0x00000000, ScopeVerdict::tooFewAddresses}, // start equals end
        {0xFFFFFFFF, 0xFFFFFFFF, 0x00000000,
         ScopeVerdict::tooFewAddresses}, // the start-up defaults
        // Start above end: the difference wraps past the size check and the
        // order check refuses it, also when it wraps to all ones.
        {0x0A000014, 0x0A000002, 0x00000000, ScopeVerdict::startAboveEnd},
        {0x0A000002, 0x0A000001, 0x00000000, ScopeVerdict::startAboveEnd},
        // A start near the top and an end near zero wrap to a small
        // difference: the size check speaks first, as in the service.
        {0xFFFFFFF0, 0x00000001, 0x00000000, ScopeVerdict::tooFewAddresses},
        {0xFFFFFFF0, 0x00000002, 0x00000000, ScopeVerdict::startAboveEnd},
        {0x00000000, 0xFFFFFFFF, 0x00000000, ScopeVerdict::ok},
        // The end must lie in the start's subnet; ending on its broadcast
        // address is allowed (that address is skipped, not refused).
        {0xC0A832C8, 0xC0A83314, 0xFFFFFF00, ScopeVerdict::crossesSubnet}, // .50.200 - .51.20
        {0xC0A832C8, 0xC0A833FE, 0xFFFF0000, ScopeVerdict::ok},            // the same in a /16
        {0x0A258101, 0x0A2581FF, 0xFFFFFF00, ScopeVerdict::ok},            // up to .255
        {0x0A258101, 0x0A258200, 0xFFFFFF00, ScopeVerdict::crossesSubnet}, // one past it
        // The other checks come first.
        {0x0A2581FE, 0x0A258202, 0xFFFFFF00, ScopeVerdict::tooFewAddresses},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(checkScope(c.start, c.end, c.mask), c.verdict)
            << std::hex << c.start << "-" << c.end;
    }
}

} // namespace
