// Lease table: address choice, chain upkeep and slot movement. Every test
// checks the chain's invariants after each operation.

#include "CDHCPProtocol.h"
#include "LeaseChainCheck.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Mac = std::array<std::uint8_t, 6>;

constexpr std::uint32_t kStart = 0xC0A83203; // 192.168.50.3
constexpr std::uint32_t kEnd = 0xC0A832FE;   // 192.168.50.254
constexpr std::uint32_t kMask = 0xFFFFFF00;
constexpr std::uint8_t kXid[4] = {0xde, 0xad, 0xbe, 0xef};
constexpr std::uint8_t kXid2[4] = {1, 2, 3, 4};

Mac guest(std::uint32_t n) {
    return {0x02,
            0x00,
            0x5e,
            static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

bool slotIsZero(const LeaseEntry &e) {
    static const std::uint8_t zeroMac[6] = {};
    static const std::uint8_t zeroXid[4] = {};
    return e.state == 0 && e.ipAddr == 0 && e.age == 0 && e.next == 0 &&
           std::memcmp(e.hwAddr, zeroMac, 6) == 0 && std::memcmp(e.xid, zeroXid, 4) == 0;
}

int usedSlots(const CDHCPProtocol &t) {
    int used = 0;
    for (const LeaseEntry &e : t.Leases()) {
        used += e.state != LEASE_FREE ? 1 : 0;
    }
    return used;
}

// The chain starts at slot 0, ascends strictly, reaches every used slot and
// ends with -1; free slots are entirely zero.
// Table-level calls may bind outside the pool or give one guest two entries
// on purpose, so only the structure counts here.
::testing::AssertionResult chainIsSound(const CDHCPProtocol &t) {
    const std::string fault = chaincheck::leaseTableFault(t, false);
    if (fault.empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << fault;
}

// Addresses in chain order.
std::vector<std::uint32_t> chainAddresses(const CDHCPProtocol &t) {
    std::vector<std::uint32_t> out;
    if (t.Leases()[0].state == LEASE_FREE) {
        return out;
    }
    for (std::int32_t slot = 0; slot != kChainEnd; slot = t.Leases()[slot].next) {
        out.push_back(t.Leases()[slot].ipAddr);
    }
    return out;
}

class LeaseTable : public ::testing::Test {
protected:
    void SetUp() override {
        table = std::make_unique<CDHCPProtocol>(nullptr, 0);
        ASSERT_EQ(table->InitScope(kStart, kEnd, kMask), 0);
        ASSERT_TRUE(chainIsSound(*table));
    }

    std::uint32_t offer(std::uint32_t n, const std::uint8_t *xid = kXid) {
        const Mac mac = guest(n);
        const std::uint32_t got = table->OfferAddress(mac.data(), xid);
        EXPECT_TRUE(chainIsSound(*table));
        return got;
    }
    std::uint32_t bind(std::uint32_t n, std::uint32_t address, const std::uint8_t *xid = kXid) {
        const Mac mac = guest(n);
        const std::uint32_t got = table->BindAddress(mac.data(), xid, address);
        EXPECT_TRUE(chainIsSound(*table));
        return got;
    }
    std::int32_t removeAt(std::int32_t slot) {
        const std::int32_t got = table->RemoveAt(slot);
        EXPECT_TRUE(chainIsSound(*table));
        return got;
    }
    std::vector<std::uint8_t> snapshot() const {
        std::vector<std::uint8_t> bytes(sizeof(table->Leases()));
        std::memcpy(bytes.data(), table->Leases(), bytes.size());
        return bytes;
    }

    std::unique_ptr<CDHCPProtocol> table;
};

TEST_F(LeaseTable, FirstGuestGetsPoolStartInSlotZero) {
    EXPECT_EQ(offer(1), kStart);
    const LeaseEntry &head = table->Leases()[0];
    EXPECT_EQ(head.ipAddr, kStart);
    EXPECT_EQ(head.state, LEASE_OFFERED);
    EXPECT_EQ(head.next, kChainEnd);
    EXPECT_EQ(head.age, 0u);
    EXPECT_EQ(std::memcmp(head.hwAddr, guest(1).data(), 6), 0);
    EXPECT_EQ(std::memcmp(head.xid, kXid, 4), 0);
    EXPECT_EQ(usedSlots(*table), 1);
}

TEST_F(LeaseTable, NewGuestFillsTheFirstHoleFromTheLowestFreeSlot) {
    ASSERT_EQ(bind(1, kStart), kStart);         // slot 0
    ASSERT_EQ(bind(2, kStart + 1), kStart + 1); // slot 1
    ASSERT_EQ(bind(3, kStart + 3), kStart + 3); // slot 2
    EXPECT_EQ(offer(4), kStart + 2);
    EXPECT_EQ(table->Leases()[3].ipAddr, kStart + 2);
    EXPECT_EQ(table->Leases()[1].next, 3);
    EXPECT_EQ(table->Leases()[3].next, 2);
    EXPECT_EQ(chainAddresses(*table),
              (std::vector<std::uint32_t>{kStart, kStart + 1, kStart + 2, kStart + 3}));

    // With a hole in the slots, the lowest free one is taken, not the end.
    ASSERT_EQ(table->RemoveByAddress(kStart + 1), 0); // frees slot 1
    ASSERT_TRUE(chainIsSound(*table));
    EXPECT_EQ(offer(5), kStart + 1);
    EXPECT_EQ(table->Leases()[1].ipAddr, kStart + 1);
    EXPECT_EQ(std::memcmp(table->Leases()[1].hwAddr, guest(5).data(), 6), 0);
}

TEST_F(LeaseTable, KnownGuestIsReofferedItsAddressWithoutAgeingOrNewSlot) {
    ASSERT_EQ(offer(1), kStart);
    ASSERT_EQ(offer(2), kStart + 1);
    ASSERT_EQ(offer(3), kStart + 2); // ages kStart + 1 once
    // Guest 2 is confirmed: its entry becomes bound with the new xid.
    ASSERT_EQ(bind(2, kStart + 1, kXid2), kStart + 1);
    LeaseEntry *entry = table->FindByAddress(kStart + 1);
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry->state, LEASE_BOUND);
    ASSERT_EQ(std::memcmp(entry->xid, kXid2, 4), 0);
    ASSERT_EQ(usedSlots(*table), 3);

    const std::uint32_t ageBefore = entry->age;
    const std::uint32_t headAge = table->Leases()[0].age;
    const std::uint32_t lastAge = table->FindByAddress(kStart + 2)->age;

    EXPECT_EQ(offer(2, kXid), kStart + 1);
    EXPECT_EQ(entry->state, LEASE_OFFERED);
    EXPECT_EQ(std::memcmp(entry->xid, kXid2, 4), 0) << "re-offer keeps the recorded xid";
    EXPECT_EQ(usedSlots(*table), 3);
    EXPECT_EQ(entry->age, ageBefore);
    EXPECT_EQ(table->Leases()[0].age, headAge);
    EXPECT_EQ(table->FindByAddress(kStart + 2)->age, lastAge);
}

TEST_F(LeaseTable, HeadRemovalMovesSuccessorAndPoolStartIsRetaken) {
    ASSERT_EQ(offer(1), kStart);     // slot 0
    ASSERT_EQ(offer(2), kStart + 1); // slot 1
    ASSERT_EQ(offer(3), kStart + 2); // slot 2

    EXPECT_EQ(removeAt(0), 0);
    EXPECT_EQ(table->Leases()[0].ipAddr, kStart + 1);
    EXPECT_EQ(table->Leases()[0].next, 2);
    EXPECT_TRUE(slotIsZero(table->Leases()[1]));

    // The new head holds a higher address: a new guest takes poolStart and the
    // head entry moves to the lowest free slot (1).
    EXPECT_EQ(offer(4), kStart);
    EXPECT_EQ(table->Leases()[0].ipAddr, kStart);
    EXPECT_EQ(table->Leases()[0].next, 1);
    EXPECT_EQ(table->Leases()[1].ipAddr, kStart + 1);
    EXPECT_EQ(std::memcmp(table->Leases()[1].hwAddr, guest(2).data(), 6), 0);
    EXPECT_EQ(table->Leases()[1].next, 2);
}

TEST_F(LeaseTable, AllocationsAgeTheRunTheyWalkAndReclaimPicksTheHighestAged) {
    EXPECT_EQ(table->FindReclaimable(), -1);
    for (std::uint32_t n = 0; n < 4; ++n) {
        ASSERT_EQ(offer(n), kStart + n);
    }
    const std::uint32_t expectedAges[4] = {0, 2, 1, 0};
    for (std::uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(table->FindByAddress(kStart + n)->age, expectedAges[n]) << "address +" << n;
    }
    const std::int32_t slot = table->FindReclaimable();
    ASSERT_GE(slot, 0);
    EXPECT_EQ(table->Leases()[slot].ipAddr, kStart + 2);

    // Entries beyond the first hole are not aged, and bound ones never.
    ASSERT_EQ(table->RemoveByAddress(kStart + 1), 0);
    ASSERT_EQ(bind(2, kStart + 2), kStart + 2);
    ASSERT_EQ(offer(9), kStart + 1);
    EXPECT_EQ(table->FindByAddress(kStart + 2)->age, 1u);
    EXPECT_EQ(table->FindByAddress(kStart + 3)->age, 0u);
    EXPECT_EQ(table->FindReclaimable(), -1) << "only bound entries have an age";
}

TEST_F(LeaseTable, BindBelowTheHeadTakesSlotZero) {
    ASSERT_EQ(bind(1, kStart + 5), kStart + 5); // slot 0
    ASSERT_EQ(bind(2, kStart + 7), kStart + 7); // slot 1
    ASSERT_EQ(bind(3, kStart + 2), kStart + 2);
    EXPECT_EQ(table->Leases()[0].ipAddr, kStart + 2);
    EXPECT_EQ(table->Leases()[0].state, LEASE_BOUND);
    EXPECT_EQ(table->Leases()[0].next, 2);
    EXPECT_EQ(table->Leases()[2].ipAddr, kStart + 5);
    EXPECT_EQ(table->Leases()[2].next, 1);
    // And between two entries.
    ASSERT_EQ(bind(4, kStart + 6), kStart + 6);
    EXPECT_EQ(chainAddresses(*table),
              (std::vector<std::uint32_t>{kStart + 2, kStart + 5, kStart + 6, kStart + 7}));
}

TEST_F(LeaseTable, BindingAnAddressTheChainHoldsKeepsItOnce) {
    ASSERT_EQ(offer(1), kStart);
    ASSERT_EQ(offer(2), kStart + 1);
    EXPECT_EQ(bind(2, kStart + 1, kXid2), kStart + 1);
    EXPECT_EQ(usedSlots(*table), 2);
    EXPECT_EQ(table->Leases()[1].state, LEASE_BOUND);
    EXPECT_EQ(std::memcmp(table->Leases()[1].xid, kXid2, 4), 0);
    // Another guest cannot take it.
    const auto before = snapshot();
    EXPECT_EQ(bind(3, kStart + 1), 0u);
    EXPECT_EQ(bind(3, kStart), 0u);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(LeaseTable, RemovalsThatFindNothingChangeNothing) {
    EXPECT_EQ(removeAt(0), 0) << "an empty head is simply cleared";
    EXPECT_TRUE(slotIsZero(table->Leases()[0]));
    ASSERT_EQ(offer(1), kStart);
    ASSERT_EQ(offer(2), kStart + 1);
    const auto before = snapshot();
    const Mac stranger = guest(99);
    const Mac zero{};
    struct Case {
        const char *what;
        std::int32_t result;
    };
    const Case cases[] = {
        {"free slot 5", table->RemoveAt(5)},
        {"slot -1", table->RemoveAt(-1)},
        {"slot 65536", table->RemoveAt(65536)},
        {"unknown address", table->RemoveByAddress(kStart + 9)},
        {"address 0 (free slots hold it)", table->RemoveByAddress(0)},
        {"unknown guest", table->RemoveByHwAddress(stranger.data())},
        {"zero hardware address", table->RemoveByHwAddress(zero.data())},
        {"no hardware address", table->RemoveByHwAddress(nullptr)},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.result, PROTO_E_INVAL) << c.what;
    }
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(table->FindByAddress(0), nullptr);
    EXPECT_EQ(table->FindByHwAddress(zero.data()), nullptr);
    EXPECT_EQ(table->FindByHwAddress(nullptr), nullptr);
    EXPECT_EQ(table->OfferAddress(nullptr, kXid), 0u);
    EXPECT_EQ(table->BindAddress(nullptr, kXid, kStart + 5), 0u);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(LeaseTable, AllZeroHardwareAddressIsAnOrdinaryNewGuest) {
    ASSERT_EQ(offer(1), kStart);
    const Mac zero{};
    EXPECT_EQ(table->OfferAddress(zero.data(), kXid), kStart + 1);
    EXPECT_EQ(usedSlots(*table), 2);
    EXPECT_TRUE(chainIsSound(*table));
    EXPECT_EQ(table->FindByHwAddress(zero.data()), &table->Leases()[1]);
}

TEST_F(LeaseTable, PoolEndAndTheTopOfTheAddressSpaceAreNeverPassed) {
    struct Case {
        std::uint32_t start, end;
        std::vector<std::uint32_t> expected; // offers to guests 0, 1, ... in turn
    };
    const Case cases[] = {
        {kStart, kStart + 2, {kStart, kStart + 1, kStart + 2, 0}},
        {0xFFFFFFFE, 0xFFFFFFFF, {0xFFFFFFFE, 0xFFFFFFFF, 0}},
        {kStart, kStart, {kStart, 0}},
        {kStart + 1, kStart, {0}}, // start above end: an empty pool
    };
    for (const Case &c : cases) {
        table->InitScope(c.start, c.end, kMask);
        for (std::size_t n = 0; n < c.expected.size(); ++n) {
            const auto before = snapshot();
            const std::uint32_t got = offer(static_cast<std::uint32_t>(n));
            EXPECT_EQ(got, c.expected[n]) << std::hex << c.start << " guest " << n;
            if (got == 0) {
                EXPECT_EQ(snapshot(), before) << "a refused offer ages nothing";
            }
        }
    }
}

TEST_F(LeaseTable, FullTableRefusesNewGuestsButServesKnownOnes) {
    table->InitScope(0x0A000000, 0x0AFFFFFF, 0xFF000000);
    // Descending binds put each new entry at the head, which keeps this fast.
    for (std::int32_t n = kLeaseSlots - 1; n >= 0; --n) {
        const Mac mac = guest(static_cast<std::uint32_t>(n));
        ASSERT_EQ(table->BindAddress(mac.data(), kXid, 0x0A000000u + n), 0x0A000000u + n);
    }
    ASSERT_TRUE(chainIsSound(*table));
    ASSERT_EQ(usedSlots(*table), kLeaseSlots);

    const auto before = snapshot();
    const Mac stranger = guest(0xABCDEF);
    EXPECT_EQ(table->OfferAddress(stranger.data(), kXid), 0u);
    EXPECT_EQ(table->BindAddress(stranger.data(), kXid, 0x0B000000), 0u);
    EXPECT_EQ(table->BindAddress(stranger.data(), kXid, 0x01000000), 0u);
    EXPECT_EQ(snapshot(), before);

    const Mac known = guest(40000);
    EXPECT_EQ(table->OfferAddress(known.data(), kXid), 0x0A000000u + 40000);
    EXPECT_EQ(table->FindByHwAddress(known.data())->state, LEASE_OFFERED);
    EXPECT_EQ(usedSlots(*table), kLeaseSlots);

    // Emptying it again from the head leaves every slot zero.
    while (table->Leases()[0].state != LEASE_FREE) {
        ASSERT_EQ(table->RemoveAt(0), 0);
    }
    EXPECT_TRUE(chainIsSound(*table));
    EXPECT_EQ(usedSlots(*table), 0);
}

// Random operations against plain full scans: look-ups that stop early and the
// lowest-free-slot shortcut must give exactly what scanning every slot gives.
TEST_F(LeaseTable, RandomOperationsMatchFullScans) {
    std::mt19937 rng(12345);
    constexpr std::uint32_t kGuests = 300;
    table->InitScope(kStart, kStart + 400, kMask);

    auto scanAddress = [&](std::uint32_t a) -> const LeaseEntry * {
        for (const LeaseEntry &e : table->Leases()) {
            if (e.state != LEASE_FREE && e.ipAddr == a) {
                return &e;
            }
        }
        return nullptr;
    };
    auto scanHw = [&](const Mac &m) -> const LeaseEntry * {
        for (const LeaseEntry &e : table->Leases()) {
            if (e.state != LEASE_FREE && std::memcmp(e.hwAddr, m.data(), 6) == 0) {
                return &e;
            }
        }
        return nullptr;
    };
    auto lowestFree = [&]() {
        for (std::int32_t s = 0; s < kLeaseSlots; ++s) {
            if (table->Leases()[s].state == LEASE_FREE) {
                return s;
            }
        }
        return -1;
    };

    for (int step = 0; step < 2500; ++step) {
        const std::uint32_t n = rng() % kGuests;
        const Mac mac = guest(n);
        const std::uint32_t address = kStart + rng() % 320;
        const std::int32_t free = lowestFree();
        const int usedBefore = usedSlots(*table);
        switch (rng() % 8) {
        case 0:
        case 1:
        case 2:
            table->OfferAddress(mac.data(), kXid);
            break;
        case 3:
            table->BindAddress(mac.data(), kXid, address);
            break;
        case 4:
            table->RemoveByHwAddress(mac.data());
            break;
        case 5:
            table->RemoveByAddress(address);
            break;
        case 6:
            table->RemoveAt(static_cast<std::int32_t>(rng() % 400));
            break;
        default:
            if (rng() % 50 == 0) {
                table->InitScope(kStart, kStart + 400, kMask);
            }
            break;
        }
        ASSERT_TRUE(chainIsSound(*table)) << "step " << step;
        if (usedSlots(*table) == usedBefore + 1) {
            EXPECT_NE(table->Leases()[free].state, LEASE_FREE)
                << "step " << step << ": a new entry must take the lowest free slot " << free;
        }
        EXPECT_EQ(table->FindByAddress(address), scanAddress(address)) << "step " << step;
        EXPECT_EQ(table->FindByHwAddress(mac.data()), scanHw(mac)) << "step " << step;
    }
    table->InitScope(kStart, kEnd, kMask);
    for (const LeaseEntry &e : table->Leases()) {
        ASSERT_TRUE(slotIsZero(e));
    }
}

} // namespace
