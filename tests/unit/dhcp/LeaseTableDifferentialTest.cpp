// The server's lease table against a plain reference written from the
// algorithm (full scans, the literal walk): long random sequences must give
// the same result for every operation and leave every slot, field by field,
// the same. The server answers its look-ups from indexes and its allocations
// from a cached run, so any slip in their upkeep shows up here as a
// difference.

#include "CDHCPProtocol.h"
#include "ReferenceLeaseTable.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>

namespace {

using Mac = std::array<std::uint8_t, 6>;

Mac guest(std::uint32_t n) {
    // Guest 0 has the all-zero hardware address, an ordinary guest.
    if (n == 0) {
        return Mac{};
    }
    return {0x02,
            0x42,
            0x00,
            static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

std::string describe(const LeaseEntry &e) {
    std::ostringstream out;
    out << "{hw ";
    for (const std::uint8_t b : e.hwAddr) {
        out << std::hex << int{b} << ':';
    }
    out << std::dec << " ip " << std::hex << e.ipAddr << std::dec << " state " << e.state << " age "
        << e.age << " xid ";
    for (const std::uint8_t b : e.xid) {
        out << std::hex << int{b} << ' ';
    }
    out << std::dec << "next " << e.next << '}';
    return out.str();
}

bool sameEntry(const LeaseEntry &a, const LeaseEntry &b) {
    return std::memcmp(a.hwAddr, b.hwAddr, 6) == 0 && a.ipAddr == b.ipAddr && a.state == b.state &&
           a.age == b.age && std::memcmp(a.xid, b.xid, 4) == 0 && a.next == b.next;
}

// Runs every operation on both tables and compares the results.
class Twin {
public:
    Twin()
        : real(std::make_unique<CDHCPProtocol>(nullptr, 0)),
          ref(std::make_unique<ReferenceLeaseTable>()) {}

    void initScope(std::uint32_t start, std::uint32_t end) {
        EXPECT_EQ(real->InitScope(start, end, 0xFF000000), ref->InitScope(start, end, 0xFF000000));
    }

    std::int32_t slotOf(const LeaseEntry *entry) const {
        return entry == nullptr ? -1 : static_cast<std::int32_t>(entry - real->Leases());
    }

    std::int32_t findByAddress(std::uint32_t address) {
        const std::int32_t got = slotOf(real->FindByAddress(address));
        EXPECT_EQ(got, ref->FindByAddress(address)) << "FindByAddress " << std::hex << address;
        return got;
    }

    std::int32_t findByHwAddress(const std::uint8_t *hw) {
        const std::int32_t got = slotOf(real->FindByHwAddress(hw));
        EXPECT_EQ(got, ref->FindByHwAddress(hw)) << "FindByHwAddress";
        return got;
    }

    std::uint32_t offer(const std::uint8_t *hw, const std::uint8_t *xid) {
        const std::uint32_t got = real->OfferAddress(hw, xid);
        EXPECT_EQ(got, ref->OfferAddress(hw, xid)) << "OfferAddress";
        return got;
    }

    std::uint32_t bind(const std::uint8_t *hw, const std::uint8_t *xid, std::uint32_t address) {
        const std::uint32_t got = real->BindAddress(hw, xid, address);
        EXPECT_EQ(got, ref->BindAddress(hw, xid, address)) << "BindAddress " << std::hex << address;
        return got;
    }

    // What a DHCPREQUEST does: bind the address only when it was offered to
    // this guest; when binding fails, reclaim an aged offer and re-offer.
    void request(const std::uint8_t *hw, const std::uint8_t *xid, std::uint32_t address) {
        const std::int32_t slot = findByAddress(address);
        if (slot < 0 || real->Leases()[slot].state != LEASE_OFFERED ||
            std::memcmp(real->Leases()[slot].hwAddr, hw, 6) != 0) {
            return;
        }
        if (bind(hw, xid, address) == 0) {
            const std::int32_t reclaim = findReclaimable();
            if (reclaim >= 0) {
                removeAt(reclaim);
                offer(hw, xid);
            }
        }
    }

    std::int32_t removeAt(std::int32_t slot) {
        const std::int32_t got = real->RemoveAt(slot);
        EXPECT_EQ(got, ref->RemoveAt(slot)) << "RemoveAt " << slot;
        return got;
    }

    void removeByHwAddress(const std::uint8_t *hw) {
        EXPECT_EQ(real->RemoveByHwAddress(hw), ref->RemoveByHwAddress(hw)) << "RemoveByHwAddress";
    }

    void removeByAddress(std::uint32_t address) {
        EXPECT_EQ(real->RemoveByAddress(address), ref->RemoveByAddress(address))
            << "RemoveByAddress " << std::hex << address;
    }

    bool learn(const std::uint8_t *hw, std::uint32_t address) {
        const bool got = real->LearnHolder(hw, address);
        EXPECT_EQ(got, ref->LearnHolder(hw, address)) << "LearnHolder " << std::hex << address;
        return got;
    }

    std::int32_t findReclaimable() {
        const std::int32_t got = real->FindReclaimable();
        EXPECT_EQ(got, ref->FindReclaimable()) << "FindReclaimable";
        return got;
    }

    ::testing::AssertionResult sameSlots() const {
        // Whole-array equality settles the usual case at once; padding bytes
        // may differ without any field differing, so look field by field then.
        if (std::memcmp(real->Leases(), ref->leases, sizeof(ref->leases)) == 0) {
            return ::testing::AssertionSuccess();
        }
        for (std::int32_t s = 0; s < kLeaseSlots; ++s) {
            if (!sameEntry(real->Leases()[s], ref->leases[s])) {
                return ::testing::AssertionFailure()
                       << "slot " << s << ": server " << describe(real->Leases()[s])
                       << ", reference " << describe(ref->leases[s]);
            }
        }
        return ::testing::AssertionSuccess();
    }

    int used() const {
        int n = 0;
        for (const LeaseEntry &e : ref->leases) {
            n += e.state != LEASE_FREE ? 1 : 0;
        }
        return n;
    }

    std::unique_ptr<CDHCPProtocol> real;
    std::unique_ptr<ReferenceLeaseTable> ref;
};

struct Mix {
    const char *name;
    std::uint32_t seed;
    std::uint32_t poolSize; // addresses from the pool start
    std::uint32_t guests;   // more guests than addresses exhausts the pool
    int steps;
};

void PrintTo(const Mix &mix, std::ostream *out) {
    *out << mix.name << " (seed " << mix.seed << ")";
}

class LeaseTableDifferential : public ::testing::TestWithParam<Mix> {};

// Small pools, so that exhaustion at the pool end, holes, head changes,
// removals by slot and by key, re-offers and rebinding all come up often.
TEST_P(LeaseTableDifferential, RandomSequencesMatchTheReference) {
    const Mix mix = GetParam();
    std::mt19937 rng(mix.seed);
    constexpr std::uint32_t kStart = 0x0A000010;
    Twin twin;
    twin.initScope(kStart, kStart + mix.poolSize - 1);

    std::uint32_t start = kStart;
    std::uint32_t end = kStart + mix.poolSize - 1;
    auto anyAddress = [&]() { return start - 4 + rng() % (mix.poolSize + 8); };
    int counts[16] = {};

    for (int step = 0; step < mix.steps; ++step) {
        const Mac mac = guest(rng() % mix.guests);
        std::uint8_t xid[4];
        const std::uint32_t xidValue = rng();
        std::memcpy(xid, &xidValue, 4);
        const std::uint8_t *maybeXid = rng() % 64 == 0 ? nullptr : xid;
        const std::uint32_t op = rng() % 16;
        ++counts[op];
        switch (op) {
        case 0:
        case 1:
        case 2:
        case 3: // DHCPDISCOVER
            twin.offer(mac.data(), maybeXid);
            break;
        case 4:
        case 5: { // DHCPREQUEST for the address the guest was offered
            const std::int32_t slot = twin.findByHwAddress(mac.data());
            const std::uint32_t address =
                slot >= 0 ? twin.real->Leases()[slot].ipAddr : anyAddress();
            twin.request(mac.data(), xid, address);
            break;
        }
        case 6: // a binding by a caller, anywhere, often below the head
            twin.bind(mac.data(), maybeXid, rng() % 8 == 0 ? 0 : anyAddress());
            break;
        case 7:
            twin.removeAt(static_cast<std::int32_t>(rng() % (mix.poolSize + 8)) - 2);
            break;
        case 8:
            twin.removeAt(0);
            break;
        case 9:
            twin.removeByHwAddress(rng() % 16 == 0 ? nullptr : mac.data());
            break;
        case 10:
            twin.removeByAddress(rng() % 16 == 0 ? 0 : anyAddress());
            break;
        case 11:
            twin.findByAddress(rng() % 16 == 0 ? 0 : anyAddress());
            twin.findByHwAddress(rng() % 16 == 0 ? nullptr : mac.data());
            twin.findReclaimable();
            break;
        case 12:
            twin.offer(rng() % 4 == 0 ? nullptr : mac.data(), xid);
            break;
        case 13: // reclaim as a full table would
            if (const std::int32_t slot = twin.findReclaimable(); slot >= 0) {
                twin.removeAt(slot);
            }
            break;
        case 14:
            if (rng() % 40 == 0) {
                twin.initScope(start, end);
            } else if (rng() % 8 == 0) { // what a DHCPDECLINE leaves
                twin.bind(kUnknownHolder, xid, anyAddress());
            } else { // a station heard naming an address
                twin.learn(rng() % 16 == 0 ? nullptr : mac.data(), anyAddress());
            }
            break;
        default:
            // Rarely move the pool; setting it empties the table.
            if (rng() % 40 == 0) {
                start = kStart + rng() % 4;
                end = start + mix.poolSize - 1 - rng() % 3;
                twin.initScope(start, end);
            }
            break;
        }
        ASSERT_TRUE(twin.sameSlots()) << mix.name << " step " << step << " op " << op;
        ASSERT_FALSE(::testing::Test::HasFailure()) << mix.name << " step " << step << " op " << op;
    }
    for (int op = 0; op < 14; ++op) {
        EXPECT_GT(counts[op], 0) << "operation " << op << " never ran";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, LeaseTableDifferential,
    ::testing::Values(Mix{"tiny", 1, 6, 10, 20000}, Mix{"small", 2, 24, 40, 20000},
                      Mix{"medium", 3, 120, 150, 20000}, Mix{"roomy", 4, 400, 300, 20000}),
    [](const ::testing::TestParamInfo<Mix> &param) { return std::string(param.param.name); });

// Every slot in use: new guests are refused, known guests served, reclaiming
// works, and the indexes hold at full load.
TEST(LeaseTableDifferentialFull, FillingAllSlotsMatchesTheReference) {
    std::mt19937 rng(99);
    constexpr std::uint32_t kStart = 0x0A000002;
    constexpr std::uint32_t kHeld = 62000;
    Twin twin;
    twin.initScope(kStart, 0x0AFFFFFE);
    const std::uint8_t xid[4] = {1, 2, 3, 4};

    // Bound guests on kStart + 1 up, bound from the top down (each a new head).
    for (std::uint32_t n = kHeld; n >= 1; --n) {
        ASSERT_EQ(twin.bind(guest(n).data(), xid, kStart + n), kStart + n);
    }
    ASSERT_TRUE(twin.sameSlots());

    // New guests take the pool start (a new head), then addresses past the run,
    // with some confirmed, some re-offered and some removed on the way.
    std::uint32_t next = kHeld + 1;
    int step = 0;
    for (;;) {
        const Mac mac = guest(next++);
        const std::uint32_t address = twin.offer(mac.data(), xid);
        if (address == 0) {
            break; // no free slot: the pool itself reaches far beyond
        }
        switch (rng() % 8) {
        case 0:
        case 1:
            twin.request(mac.data(), xid, address);
            break;
        case 2:
            twin.offer(guest(1 + rng() % (next - 1)).data(), xid);
            break;
        case 3:
            if (rng() % 16 == 0) {
                twin.removeAt(static_cast<std::int32_t>(rng() % kLeaseSlots));
            }
            break;
        default:
            break;
        }
        if (++step % 1000 == 0) {
            ASSERT_TRUE(twin.sameSlots()) << "step " << step;
        }
        ASSERT_FALSE(::testing::Test::HasFailure()) << "step " << step;
    }
    ASSERT_TRUE(twin.sameSlots());
    ASSERT_EQ(twin.used(), kLeaseSlots);

    // Full: a stranger is refused, a known guest still served.
    const Mac stranger = guest(0xFFFFFF);
    EXPECT_EQ(twin.offer(stranger.data(), xid), 0u);
    EXPECT_EQ(twin.bind(stranger.data(), xid, 1), 0u);
    EXPECT_NE(twin.offer(guest(kHeld / 2).data(), xid), 0u);
    for (std::uint32_t n = 0; n < 200; ++n) {
        const Mac mac = guest(1 + rng() % (next - 1));
        twin.findByHwAddress(mac.data());
        twin.findByAddress(kStart + rng() % kLeaseSlots);
        // A request that cannot be bound reclaims an aged offer.
        const std::int32_t slot = twin.findReclaimable();
        if (slot >= 0) {
            twin.removeAt(slot);
            twin.offer(mac.data(), xid);
        }
        twin.removeByAddress(kStart + rng() % kLeaseSlots);
        twin.offer(guest(next++).data(), xid);
        ASSERT_FALSE(::testing::Test::HasFailure()) << "full-table round " << n;
    }
    ASSERT_TRUE(twin.sameSlots());

    // And emptied again from the head.
    for (int n = 0; n < 5000; ++n) {
        twin.removeAt(0);
    }
    ASSERT_TRUE(twin.sameSlots());
    twin.initScope(kStart, 0x0AFFFFFE);
    EXPECT_EQ(twin.used(), 0);
    EXPECT_EQ(twin.offer(stranger.data(), xid), kStart);
    EXPECT_TRUE(twin.sameSlots());
}

} // namespace
