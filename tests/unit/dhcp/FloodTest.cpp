// A flood of DISCOVERs from 70000 distinct hardware addresses, more than the
// lease table has slots: every new guest is offered an address until all
// 65536 slots are used, later new guests get no reply at all, and the guests
// the table knows are still answered (offered their address again, and
// acknowledged when they ask for it).

#include "HardeningStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace {

using hardening::Stack;

fb::Mac guest(std::uint32_t n) {
    return {0x02,
            0x00,
            static_cast<std::uint8_t>(n >> 24),
            static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

std::uint32_t yiaddr(const CapturingLower::Frame &frame) {
    return checks::get32(frame, 42 + 16);
}

TEST(Flood, SeventyThousandGuestsFillTheTableAndKnownGuestsAreStillServed) {
    // A /15 gives a pool larger than the table, so the slots run out first.
    constexpr std::uint32_t kMask = fb::ip(255, 254, 0, 0);
    constexpr std::uint32_t kPoolEnd = fb::ip(10, 1, 255, 254);
    constexpr std::uint32_t kGuests = 70000;
    auto s = std::make_unique<Stack>(kPoolEnd, kMask);

    // One frame, patched per guest: chaddr and the Ethernet source. The UDP
    // checksum goes stale, which the server does not look at.
    fb::Bytes frame = fb::dhcpClientFrame(guest(0), fb::discover(0x5000, guest(0)));
    constexpr std::size_t kChaddr = 42 + 28;
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t answered = 0;
    for (std::uint32_t n = 0; n < kGuests; ++n) {
        const fb::Mac mac = guest(n);
        std::copy(mac.begin(), mac.end(), frame.begin() + 6);
        std::copy(mac.begin(), mac.end(), frame.begin() + kChaddr);
        s->bridge.frames.clear();
        const std::int32_t status = s->feed(frame);
        if (n < 65536) {
            ASSERT_EQ(status, PROTO_OK) << "guest " << n;
            ASSERT_EQ(s->bridge.frames.size(), 1u) << "guest " << n;
            ASSERT_EQ(yiaddr(s->bridge.frames[0]), checks::kPoolStart + n) << "guest " << n;
            ++answered;
        } else {
            ASSERT_EQ(status, PROTO_E_INVAL) << "guest " << n; // no address to offer
            ASSERT_TRUE(s->bridge.frames.empty()) << "guest " << n;
        }
    }
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("flood: %u offers, %u refused, %.1f s\n", answered, kGuests - answered, seconds);
    ASSERT_EQ(checks::leaseTableFault(*s->dhcp), "");

    // Known guests: the first, one in the middle and the last that got a slot.
    for (const std::uint32_t n : {0u, 40000u, 65535u}) {
        s->bridge.frames.clear();
        ASSERT_EQ(s->feed(fb::dhcpClientFrame(guest(n), fb::discover(0x6000 + n, guest(n)))),
                  PROTO_OK);
        ASSERT_EQ(s->bridge.frames.size(), 1u);
        EXPECT_EQ(yiaddr(s->bridge.frames[0]), checks::kPoolStart + n) << "guest " << n;

        s->bridge.frames.clear();
        ASSERT_EQ(s->feed(fb::dhcpClientFrame(guest(n), fb::request(0x6000 + n, guest(n),
                                                                    checks::kPoolStart + n,
                                                                    checks::kServerIp))),
                  PROTO_OK);
        ASSERT_EQ(s->bridge.frames.size(), 1u);
        EXPECT_EQ(s->bridge.frames[0][42 + 242], 5) << "DHCPACK for guest " << n;
        EXPECT_EQ(yiaddr(s->bridge.frames[0]), checks::kPoolStart + n) << "guest " << n;
    }
    EXPECT_EQ(checks::leaseTableFault(*s->dhcp), "");
}

} // namespace
