// The reclaimer over the stack the service builds, on the smallest pool the
// service accepts (17 addresses): which addresses it asks for and in what
// order, that only silence gives an address back, and its pace whatever the
// link sends.

#include "AddressReclaimer.h"
#include "AddressCensus.h"

#include "LeaseChainCheck.h"
#include "ProbeStack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

constexpr std::int64_t kMs = 1000 * 1000;
constexpr std::int64_t kWait = AddressReclaimer::kReplyWaitNs;
constexpr std::uint32_t kServer = fb::ip(10, 37, 129, 1);
constexpr std::uint32_t kFirst = kServer + 2;
constexpr std::uint32_t kLast = fb::ip(10, 37, 129, 19);
constexpr std::uint32_t kPoolSize = kLast - kFirst + 1;
const fb::Mac kNewGuest{0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

fb::Mac guest(unsigned n) {
    return {0x52,
            0x54,
            0x00,
            0x00,
            static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n & 0xff)};
}

struct Reclaim : ProbeStack {
    Reclaim()
        : ProbeStack(kServer, kLast, fb::ip(255, 255, 255, 0)), census(*ip->Arp(), *dhcp),
          reclaimer(*ip->Arp(), *dhcp, &census) {
        ip->Arp()->SetListener(&reclaimer);
        // Every address offered to a guest that is never heard of again.
        for (unsigned n = 0; n < kPoolSize; ++n) {
            discover(guest(n));
        }
        asked();
    }
    ~Reclaim() { ip->Arp()->SetListener(nullptr); }

    AddressCensus census;
    AddressReclaimer reclaimer;
};

TEST(AddressReclaimer, GivesBackAnAddressThatStaysSilentAndTheGuestGetsItNextTime) {
    Reclaim c;
    ASSERT_EQ(c.offers(), kPoolSize);
    c.discover(kNewGuest);
    EXPECT_EQ(c.offers(), kPoolSize); // the pool is full
    EXPECT_EQ(c.dhcp->Counters().offersRefused, 1u);

    EXPECT_TRUE(c.reclaimer.Pump(0));
    // The offer later allocations walked past, at the highest address.
    EXPECT_EQ(c.asked(), std::vector<std::uint32_t>{kLast - 1});
    // The next request goes out at the pace while the first waits.
    EXPECT_TRUE(c.reclaimer.Pump(kWait - 1));
    EXPECT_EQ(c.asked(), std::vector<std::uint32_t>{kLast - 2});
    EXPECT_NE(c.dhcp->FindByAddress(kLast - 1), nullptr);
    EXPECT_TRUE(c.reclaimer.Pump(kWait));
    EXPECT_EQ(c.dhcp->FindByAddress(kLast - 1), nullptr);
    EXPECT_EQ(c.reclaimer.Reclaimed(), 1u);
    // One was wanted and came back: nothing more is asked, and what is out
    // is settled.
    EXPECT_FALSE(c.reclaimer.Pump(2 * kWait));
    EXPECT_TRUE(c.asked().empty());
    EXPECT_EQ(c.reclaimer.Reclaimed(), 2u);

    c.discover(kNewGuest);
    ASSERT_EQ(c.offers(), kPoolSize + 1);
    EXPECT_EQ(c.lastYiaddr(), kLast - 2); // the lowest free one
    EXPECT_EQ(chaincheck::leaseTableFault(*c.dhcp), "");
}

TEST(AddressReclaimer, AnAddressSomeoneAnswersForOrThatChangedStays) {
    Reclaim c;
    for (int n = 0; n < 3; ++n) {
        c.discover(kNewGuest);
    }
    // One request per pace step, each for the next candidate.
    std::vector<std::uint32_t> asked;
    for (std::int64_t now = 0; now <= 40 * kMs; now += 5 * kMs) {
        c.reclaimer.Pump(now);
        for (std::uint32_t a : c.asked()) {
            asked.push_back(a);
        }
    }
    ASSERT_EQ(asked, (std::vector<std::uint32_t>{kLast - 1, kLast - 2, kLast - 3}));
    // The guest of the first is alive; the second confirms its offer; a
    // station configured by hand answers for the third.
    const fb::Mac byHand{0x02, 0x00, 0x00, 0x00, 0x00, 0x55};
    c.answer(guest(kLast - 1 - kFirst), kLast - 1, kServer);
    c.request(guest(kLast - 2 - kFirst), kLast - 2, kServer);
    c.answer(byHand, kLast - 3, kServer);
    c.reclaimer.Pump(kWait + 40 * kMs);
    EXPECT_EQ(c.reclaimer.Reclaimed(), 0u);
    const struct {
        std::uint32_t address;
        fb::Mac holder;
        std::uint32_t state;
    } kept[] = {
        {kLast - 1, guest(kLast - 1 - kFirst), LEASE_OFFERED},
        {kLast - 2, guest(kLast - 2 - kFirst), LEASE_BOUND},
        {kLast - 3, byHand, LEASE_BOUND},
    };
    for (const auto &k : kept) {
        const LeaseEntry *entry = c.dhcp->FindByAddress(k.address);
        ASSERT_NE(entry, nullptr) << std::hex << k.address;
        EXPECT_TRUE(std::equal(k.holder.begin(), k.holder.end(), entry->hwAddr));
        EXPECT_EQ(entry->state, k.state);
    }
    EXPECT_EQ(chaincheck::leaseTableFault(*c.dhcp), "");
}

// Offers nobody confirmed go first, those walked past before the newest,
// each from the top down; confirmed entries and unknown holders once no
// offer is left, from the bottom up.
TEST(AddressReclaimer, AsksAboutOffersFirstThenConfirmedLeases) {
    Reclaim c;
    c.request(guest(0), kFirst, kServer);
    c.request(guest(5), kFirst + 5, kServer);
    c.feed(fb::dhcpClientFrame(guest(9), fb::DhcpMessage(1, 7, guest(9))
                                             .messageType(4)
                                             .requestedAddress(kFirst + 9)
                                             .serverId(kServer)
                                             .end()));
    ASSERT_EQ(c.asked(), std::vector<std::uint32_t>{kFirst + 9}); // the DECLINE's own request
    for (unsigned n = 0; n < 2 * AddressReclaimer::kMaxWanted; ++n) {
        c.discover(guest(1000 + n));
    }
    std::vector<std::uint32_t> asked;
    std::int64_t now = 0;
    for (; c.reclaimer.Pump(now) && now < 10000 * kMs; now += 5 * kMs) {
        for (std::uint32_t a : c.asked()) {
            asked.push_back(a);
        }
    }
    std::vector<std::uint32_t> expected;
    for (std::uint32_t a = kLast - 1; a > kFirst; --a) {
        if (a != kFirst + 5 && a != kFirst + 9) {
            expected.push_back(a);
        }
    }
    expected.push_back(kLast);  // the newest offer
    expected.push_back(kFirst); // confirmed leases
    expected.push_back(kFirst + 5);
    expected.push_back(kFirst + 9); // the declined address's unknown holder
    EXPECT_EQ(asked, expected);
    EXPECT_EQ(c.reclaimer.Reclaimed(), kPoolSize);
    EXPECT_EQ(c.dhcp->Leases()[0].state, LEASE_FREE);
    EXPECT_EQ(chaincheck::leaseTableFault(*c.dhcp), "");
}

// A port sends DISCOVERs from ever new hardware addresses while a known guest
// keeps its lease: the service's ARP stays within its pace, and the known
// guest is never asked about and is offered its own address throughout.
TEST(AddressReclaimer, AFloodGetsNoMoreArpThanThePaceAndKnownGuestsKeepTheirs) {
    Reclaim c;
    c.request(guest(0), kFirst, kServer);
    std::vector<std::int64_t> sentAt;
    std::uint32_t flood = 0;
    for (std::int64_t now = 0; now < 2000 * kMs; now += kMs) {
        for (int n = 0; n < 10; ++n) {
            c.discover(guest(0x1000 + flood++ % 0xe000));
        }
        c.reclaimer.Pump(now);
        for (std::uint32_t a : c.asked()) {
            sentAt.push_back(now);
            // While offers are left, no confirmed lease is asked about: its
            // guest's answer could be lost among the flood.
            EXPECT_NE(a, kFirst);
        }
    }
    ASSERT_FALSE(sentAt.empty());
    for (std::size_t n = AddressReclaimer::kProbesPerSecond; n < sentAt.size(); ++n) {
        EXPECT_GE(sentAt[n] - sentAt[n - AddressReclaimer::kProbesPerSecond], 1000 * kMs - kMs);
    }
    EXPECT_GT(c.reclaimer.Reclaimed(), 0u);
    c.discover(guest(0));
    EXPECT_EQ(c.lastYiaddr(), kFirst);
    EXPECT_EQ(chaincheck::leaseTableFault(*c.dhcp), "");
}

} // namespace
