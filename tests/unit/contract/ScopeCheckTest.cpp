#include "ScopeCheck.h"

#include <gtest/gtest.h>

namespace {

TEST(ScopeCheck, SameVerdictsAsTheServiceAtStart) {
    const struct {
        std::uint32_t start;
        std::uint32_t end;
        ScopeVerdict verdict;
    } cases[] = {
        {0x0A258101, 0x0A2581FE, ScopeVerdict::ok},              // 10.37.129.1 - .254
        {0x0A000001, 0x0A000013, ScopeVerdict::ok},              // difference 18: 17 guests
        {0x0A000001, 0x0A000012, ScopeVerdict::tooFewAddresses}, // difference 17
        {0x0A000001, 0x0A000001, ScopeVerdict::tooFewAddresses}, // start equals end
        {0xFFFFFFFF, 0xFFFFFFFF, ScopeVerdict::tooFewAddresses}, // the start-up defaults
        // Start above end: the difference wraps past the size check and the
        // order check refuses it, also when it wraps to all ones.
        {0x0A000014, 0x0A000002, ScopeVerdict::startAboveEnd},
        {0x0A000002, 0x0A000001, ScopeVerdict::startAboveEnd},
        // A start near the top and an end near zero wrap to a small
        // difference: the size check speaks first, as in the service.
        {0xFFFFFFF0, 0x00000001, ScopeVerdict::tooFewAddresses},
        {0xFFFFFFF0, 0x00000002, ScopeVerdict::startAboveEnd},
        {0x00000000, 0xFFFFFFFF, ScopeVerdict::ok},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(checkScope(c.start, c.end), c.verdict) << std::hex << c.start << "-" << c.end;
    }
}

} // namespace
