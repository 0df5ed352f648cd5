// Fails the k-th allocation, for every k, across one whole conversation of the
// stack: ARP, DISCOVER -> OFFER, REQUEST -> ACK, two kinds of NAK and a second
// guest's DISCOVER. Whatever fails, the frame in which it happens gets no
// reply at all and the right status, every frame written before or after is
// complete and well formed, the lease table keeps its invariants, and in the
// sanitizer build LeakSanitizer finds nothing unreachable after each round.

#include "HardeningStack.h"

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define VLM_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VLM_LEAK_CHECK 1
#endif
#endif
#ifdef VLM_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

#include <string>
#include <vector>

namespace {

using hardening::AllocFault;
using hardening::Stack;

const fb::Mac kGuestA{0x02, 0x42, 0xac, 0x11, 0x00, 0x02};
const fb::Mac kGuestB{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr std::uint32_t kFirst = checks::kPoolStart;

struct Step {
    const char *what;
    fb::Bytes frame;
    // Allocations below the reply's creator: prepends and padding. Failing
    // one of them loses the reply but not the creator's status.
    long sendAllocations;
};

std::vector<Step> conversation() {
    return {
        {"ARP request", fb::arpRequestFrame(kGuestA, 0, checks::kServerIp), 2},
        {"DISCOVER", fb::dhcpClientFrame(kGuestA, fb::discover(0x1001, kGuestA)), 3},
        {"REQUEST for the offer",
         fb::dhcpClientFrame(kGuestA, fb::request(0x1001, kGuestA, kFirst, checks::kServerIp)), 3},
        {"REQUEST for another's address",
         fb::dhcpClientFrame(kGuestB, fb::request(0x2001, kGuestB, kFirst, checks::kServerIp)), 3},
        {"REQUEST without server id",
         fb::dhcpClientFrame(kGuestB, fb::request(0x2002, kGuestB, kFirst, std::nullopt)), 3},
        {"DISCOVER, second guest", fb::dhcpClientFrame(kGuestB, fb::discover(0x2003, kGuestB)), 3},
    };
}

struct Outcome {
    std::int32_t status;
    std::vector<CapturingLower::Frame> frames;
    long allocations;
};

// Non-zero when LeakSanitizer finds unreachable blocks now (reported on
// stderr); always 0 without the sanitizer.
int leaksNow() {
#ifdef VLM_LEAK_CHECK
    return __lsan_do_recoverable_leak_check();
#else
    return 0;
#endif
}

TEST(AllocFailure, EveryAllocationOfAConversation) {
    const std::vector<Step> steps = conversation();

    std::vector<Outcome> reference;
    {
        Stack s;
        for (const Step &step : steps) {
            AllocFault count(-1);
            const std::size_t before = s.bridge.frames.size();
            const std::int32_t status = s.feed(step.frame);
            reference.push_back(
                {status,
                 {s.bridge.frames.begin() + static_cast<long>(before), s.bridge.frames.end()},
                 AllocFault::calls()});
        }
    }
    // The reference conversation itself: every step answered.
    const std::int32_t expected[] = {PROTO_NOT_HANDLED, PROTO_OK, PROTO_OK,
                                     PROTO_E_MALFORMED, PROTO_OK, PROTO_OK};
    long total = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        ASSERT_EQ(reference[i].status, expected[i]) << steps[i].what;
        ASSERT_EQ(reference[i].frames.size(), 1u) << steps[i].what;
        ASSERT_EQ(checks::frameFault(reference[i].frames[0], kFirst, fb::ip(10, 0, 0, 254)), "")
            << steps[i].what;
        ASSERT_GT(reference[i].allocations, steps[i].sendAllocations + 2) << steps[i].what;
        total += reference[i].allocations;
    }
    ASSERT_EQ(reference[1].frames[0][42 + 242], 2); // OFFER
    ASSERT_EQ(reference[2].frames[0][42 + 242], 5); // ACK
    ASSERT_EQ(reference[3].frames[0][42 + 242], 6); // NAK
    ASSERT_EQ(reference[4].frames[0][42 + 242], 6); // NAK

    for (long k = 0; k < total; ++k) {
        std::size_t failing = 0;
        long local = k;
        while (local >= reference[failing].allocations) {
            local -= reference[failing].allocations;
            ++failing;
        }
        SCOPED_TRACE(std::string(steps[failing].what) + ", its allocation " +
                     std::to_string(local) + " fails (k = " + std::to_string(k) + ")");
        {
            Stack s;
            AllocFault fault(k);
            for (std::size_t i = 0; i < steps.size(); ++i) {
                const std::size_t before = s.bridge.frames.size();
                const std::int32_t status = s.feed(steps[i].frame);
                const std::vector<CapturingLower::Frame> frames(
                    s.bridge.frames.begin() + static_cast<long>(before), s.bridge.frames.end());
                if (i < failing) {
                    EXPECT_EQ(status, reference[i].status) << steps[i].what;
                    EXPECT_EQ(frames, reference[i].frames) << steps[i].what;
                } else if (i == failing) {
                    EXPECT_TRUE(frames.empty()) << "a reply went out without all its blocks";
                    const bool belowCreator =
                        local >= reference[i].allocations - steps[i].sendAllocations;
                    EXPECT_EQ(status, belowCreator ? reference[i].status : PROTO_E_NOMEM);
                } else {
                    // Later steps may be answered differently (a lost offer
                    // changes the table) but always whole.
                    EXPECT_LE(frames.size(), 1u) << steps[i].what;
                    for (const auto &frame : frames) {
                        EXPECT_EQ(checks::frameFault(frame, kFirst, fb::ip(10, 0, 0, 254)), "")
                            << steps[i].what;
                    }
                }
                EXPECT_EQ(checks::leaseTableFault(*s.dhcp), "") << steps[i].what;
            }
        }
        EXPECT_EQ(leaksNow(), 0) << "blocks left behind";
    }
}

} // namespace
