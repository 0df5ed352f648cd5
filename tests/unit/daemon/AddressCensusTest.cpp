// The census over the stack the service builds: the requests it puts on the
// bridge and their pace, what it learns from the stations that answer, and
// the new guests it holds back until it is over.

#include "AddressCensus.h"

#include "CARPProtocol.h"
#include "FrameBuilder.h"
#include "LeaseChainCheck.h"
#include "ProbeStack.h"
#include "StackChecks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::int64_t kMs = 1000 * 1000;
constexpr std::uint32_t kServer = fb::ip(10, 37, 129, 1);
constexpr std::uint32_t kFirst = kServer + 2;
const fb::Mac kStation{0x02, 0x00, 0x00, 0x00, 0x00, 0x33};
const fb::Mac kNewGuest{0x52, 0x54, 0x00, 0x00, 0x00, 0x01};

struct Census : ProbeStack {
    explicit Census(std::uint32_t start = kServer, std::uint32_t end = fb::ip(10, 37, 129, 254),
                    std::uint32_t mask = fb::ip(255, 255, 255, 0))
        : ProbeStack(start, end, mask), census(*ip->Arp(), *dhcp) {
        ip->Arp()->SetListener(&census);
    }
    ~Census() { ip->Arp()->SetListener(nullptr); }

    AddressCensus census;
};

TEST(AddressCensus, AsksForEveryUsableAddressAtItsPaceThenWaitsForAnswers) {
    Census c;
    c.census.Start(0);
    c.discover(kNewGuest);
    // A first burst at once, then the rate; a late pass catches up by at
    // most one burst.
    EXPECT_TRUE(c.census.Pump(0));
    std::vector<std::uint32_t> asked = c.asked();
    ASSERT_EQ(asked.size(), AddressCensus::kBurst);
    EXPECT_EQ(asked.front(), kFirst);
    EXPECT_EQ(asked.back(), kFirst + AddressCensus::kBurst - 1);
    EXPECT_TRUE(c.census.Pump(1 * kMs));
    EXPECT_EQ(c.asked().size(), AddressCensus::kRequestsPerSecond / 1000);
    EXPECT_TRUE(c.census.Pump(1000 * kMs));
    EXPECT_EQ(c.asked().size(), AddressCensus::kBurst);
    EXPECT_TRUE(c.census.Pump(1001 * kMs));
    asked = c.asked();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.back(), fb::ip(10, 37, 129, 254)); // the last pool address, no more
    EXPECT_EQ(c.census.Asked(), 252u);
    EXPECT_TRUE(c.census.Pump(1010 * kMs));
    EXPECT_TRUE(c.asked().empty());
    EXPECT_EQ(c.offers(), 0u); // the new guest still waits

    // A station answers late, but within the wait.
    c.answer(kStation, kFirst, kServer);
    EXPECT_EQ(c.census.Learned(), 1u);
    EXPECT_TRUE(c.census.Pump(1001 * kMs + AddressCensus::kReplyWaitNs - 1));
    EXPECT_FALSE(c.census.Pump(1001 * kMs + AddressCensus::kReplyWaitNs));
    EXPECT_FALSE(c.census.Running());
    ASSERT_EQ(c.offers(), 1u);
    EXPECT_EQ(c.lastYiaddr(), kFirst + 1);
    EXPECT_EQ(chaincheck::leaseTableFault(*c.dhcp), "");
}

// How long a census of the largest pools holds new guests back, on time that
// passes evenly (a 5 ms tick): the figures the service is built to.
TEST(AddressCensus, LengthForASlash24AndASlash16) {
    const struct {
        std::uint32_t start, end, mask;
        std::int64_t atMostMs;
    } cases[] = {
        {kServer, fb::ip(10, 37, 129, 254), fb::ip(255, 255, 255, 0), 500},
        {fb::ip(10, 37, 0, 1), fb::ip(10, 37, 255, 254), fb::ip(255, 255, 0, 0), 4000},
    };
    for (const auto &k : cases) {
        Census c(k.start, k.end, k.mask);
        c.census.Start(0);
        std::int64_t now = 0;
        while (c.census.Pump(now) && now < 60000 * kMs) {
            EXPECT_LE(c.asked().size(), AddressCensus::kBurst);
            now += 5 * kMs;
        }
        EXPECT_EQ(c.census.Asked(), k.end - (k.start + 2) + 1);
        EXPECT_LE(now, k.atMostMs * kMs) << std::hex << k.mask;
    }
}

TEST(AddressCensus, LearnsHoldersFromTheArpOfStationsAsWell) {
    Census c;
    // A station configured by hand asks for the host adapter.
    c.feed(fb::arpRequestFrame(kStation, kFirst + 4, kServer + 1));
    c.discover(kStation);
    ASSERT_EQ(c.offers(), 1u);
    EXPECT_EQ(c.lastYiaddr(), kFirst + 4);
    EXPECT_EQ(c.census.Learned(), 0u); // no census runs
    EXPECT_EQ(chaincheck::leaseTableFault(*c.dhcp), "");
}

} // namespace
