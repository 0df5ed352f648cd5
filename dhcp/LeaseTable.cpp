#include "CDHCPProtocol.h"

#include <cstdint>
#include <cstring>

// The lease table: a fixed array of slots whose used entries form one chain,
// headed by slot 0, in ascending address order. What sits beside it keeps every
// operation on the message path independent of how many leases are held, and
// changes no result:
// - highWater_ (every slot from it up is free) and lowestFree_ (every slot
//   below it is used), kept by FillSlot, MarkUsed and ClearSlot;
// - two hash indexes of the used slots, by address and by hardware address,
//   kept by IndexSlot and UnindexSlot wherever a slot is filled, moved or
//   cleared; their buckets are in slot order, so a look-up still finds the
//   lowest matching slot;
// - the run of held addresses from the pool start (runLength_) and the offered
//   entries in it (runOffered_): a new guest gets the first address after the
//   run, and the entries it ages are exactly those offered ones, so neither
//   needs a walk of the chain.

namespace {

bool SameHwAddress(const std::uint8_t *a, const std::uint8_t *b) {
    return std::memcmp(a, b, sizeof(LeaseEntry::hwAddr)) == 0;
}

// Multiplicative hashing: consecutive addresses and hardware addresses that
// differ only in their last bytes spread over all buckets.
std::uint32_t AddressBucket(std::uint32_t address) {
    return (address * 0x9E3779B1u) >> (32 - LeaseIndex::kBucketBits);
}

std::uint32_t HwAddressBucket(const std::uint8_t *hwAddr) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < sizeof(LeaseEntry::hwAddr); ++i) {
        key = (key << 8) | hwAddr[i];
    }
    return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15u) >>
                                      (64 - LeaseIndex::kBucketBits));
}

} // namespace

std::int32_t CDHCPProtocol::InitScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask) {
    poolStart = start;
    poolEnd = end;
    netMask = mask;
    ClearTable();
    return 0;
}

void CDHCPProtocol::ClearTable() {
    // Only the buckets of used slots can be non-empty.
    for (std::int32_t slot = 0; slot < highWater_; ++slot) {
        if (leases[slot].state != LEASE_FREE) {
            byAddress_.ClearBucket(AddressBucket(leases[slot].ipAddr));
            byHwAddress_.ClearBucket(HwAddressBucket(leases[slot].hwAddr));
        }
    }
    // Slots from the high-water mark up are zero already.
    std::memset(leases, 0, sizeof(LeaseEntry) * static_cast<std::size_t>(highWater_));
    highWater_ = 0;
    lowestFree_ = 0;
    runOffered_.Clear();
    runBase_ = poolStart;
    runLength_ = 0;
}

std::int32_t CDHCPProtocol::LowestFreeSlot() {
    for (std::int32_t slot = lowestFree_; slot < kLeaseSlots; ++slot) {
        if (leases[slot].state == LEASE_FREE) {
            lowestFree_ = slot;
            return slot;
        }
    }
    lowestFree_ = kLeaseSlots;
    return -1;
}

// The slot must be free, or slot 0 whose entry MoveEntry has just moved out.
void CDHCPProtocol::FillSlot(std::int32_t slot, const std::uint8_t *hwAddr, std::uint32_t address,
                             std::uint32_t state, const std::uint8_t *xid, std::int32_t next) {
    LeaseEntry &entry = leases[slot];
    std::memcpy(entry.hwAddr, hwAddr, sizeof(entry.hwAddr));
    entry.ipAddr = address;
    entry.state = state;
    entry.age = 0;
    if (xid != nullptr) {
        std::memcpy(entry.xid, xid, sizeof(entry.xid));
    } else {
        std::memset(entry.xid, 0, sizeof(entry.xid));
    }
    entry.next = next;
    MarkUsed(slot);
    IndexSlot(slot);
}

// Slots are only ever taken at the lowest free one (or slot 0 of an empty
// table), so everything below a newly used lowestFree_ is in use.
void CDHCPProtocol::MarkUsed(std::int32_t slot) {
    if (slot >= highWater_) {
        highWater_ = slot + 1;
    }
    if (slot == lowestFree_) {
        lowestFree_ = slot + 1;
    }
}

// The slot must already be out of the indexes.
void CDHCPProtocol::ClearSlot(std::int32_t slot) {
    std::memset(&leases[slot], 0, sizeof(LeaseEntry));
    if (slot < lowestFree_) {
        lowestFree_ = slot;
    }
    if (slot + 1 == highWater_) {
        while (highWater_ > 0 && leases[highWater_ - 1].state == LEASE_FREE) {
            --highWater_;
        }
    }
}

void CDHCPProtocol::IndexSlot(std::int32_t slot) {
    const LeaseEntry &entry = leases[slot];
    byAddress_.Insert(AddressBucket(entry.ipAddr), slot);
    byHwAddress_.Insert(HwAddressBucket(entry.hwAddr), slot);
    if (entry.state == LEASE_OFFERED && InRunPastStart(entry.ipAddr)) {
        runOffered_.Insert(slot);
    }
}

void CDHCPProtocol::UnindexSlot(std::int32_t slot) {
    const LeaseEntry &entry = leases[slot];
    byAddress_.Erase(AddressBucket(entry.ipAddr), slot);
    byHwAddress_.Erase(HwAddressBucket(entry.hwAddr), slot);
    runOffered_.Erase(slot);
}

// Copies a whole entry to another slot, which must be free (or already out of
// the indexes); the source slot is left out of the indexes for its caller to
// overwrite or clear.
void CDHCPProtocol::MoveEntry(std::int32_t from, std::int32_t to) {
    UnindexSlot(from);
    leases[to] = leases[from];
    MarkUsed(to);
    IndexSlot(to);
}

std::int32_t CDHCPProtocol::SlotOfAddress(std::uint32_t address) const {
    for (std::int32_t slot = byAddress_.First(AddressBucket(address)); slot >= 0;
         slot = byAddress_.Next(slot)) {
        if (leases[slot].ipAddr == address) {
            return slot;
        }
    }
    return -1;
}

bool CDHCPProtocol::InRunPastStart(std::uint32_t address) const {
    return address != runBase_ && address - runBase_ < runLength_;
}

// poolStart is a public member; a run counted from another start says nothing.
void CDHCPProtocol::SyncRun() {
    if (runBase_ != poolStart) {
        runOffered_.Clear();
        runBase_ = poolStart;
        runLength_ = 0;
    }
}

// Takes in the held addresses that directly follow the run.
void CDHCPProtocol::ExtendRun() {
    for (;;) {
        const std::uint32_t address = runBase_ + runLength_;
        if (runLength_ != 0 && address == 0) {
            return; // the top of the address space
        }
        const std::int32_t slot = SlotOfAddress(address);
        if (slot < 0) {
            return;
        }
        if (runLength_ != 0 && leases[slot].state == LEASE_OFFERED) {
            runOffered_.Insert(slot);
        }
        ++runLength_;
    }
}

// An address leaves the table: a run that held it ends just before it.
void CDHCPProtocol::ForgetAddress(std::uint32_t address) {
    if (address - runBase_ >= runLength_) {
        return;
    }
    runLength_ = address - runBase_;
    runOffered_.EraseIf([this](std::int32_t slot) { return !InRunPastStart(leases[slot].ipAddr); });
}

// Free slots are never indexed, so a key of 0.0.0.0 never meets an unused slot.
LeaseEntry *CDHCPProtocol::FindByAddress(std::uint32_t address) {
    const std::int32_t slot = SlotOfAddress(address);
    return slot < 0 ? nullptr : &leases[slot];
}

LeaseEntry *CDHCPProtocol::FindByHwAddress(const std::uint8_t *hwAddr) {
    if (hwAddr == nullptr) {
        return nullptr;
    }
    for (std::int32_t slot = byHwAddress_.First(HwAddressBucket(hwAddr)); slot >= 0;
         slot = byHwAddress_.Next(slot)) {
        if (SameHwAddress(leases[slot].hwAddr, hwAddr)) {
            return &leases[slot];
        }
    }
    return nullptr;
}

std::uint32_t CDHCPProtocol::OfferAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid) {
    if (hwAddr == nullptr) {
        return 0;
    }
    SyncRun();
    // A guest we know keeps its address, whatever state its entry is in.
    if (LeaseEntry *known = FindByHwAddress(hwAddr)) {
        known->state = LEASE_OFFERED;
        if (InRunPastStart(known->ipAddr)) {
            runOffered_.Insert(static_cast<std::int32_t>(known - leases));
        }
        return known->ipAddr;
    }
    // 0 is the no-address answer, and an address above the pool end is not
    // ours to give; candidates never wrap past 255.255.255.255.
    auto inPool = [this](std::uint32_t candidate) {
        return candidate != 0 && candidate >= poolStart && candidate <= poolEnd;
    };

    if (leases[0].state == LEASE_FREE) {
        if (!inPool(poolStart)) {
            return 0;
        }
        FillSlot(0, hwAddr, poolStart, LEASE_OFFERED, xid, kChainEnd);
        return poolStart;
    }

    if (SlotOfAddress(poolStart) < 0) {
        if (!inPool(poolStart)) {
            return 0;
        }
        // Entries below the pool can only come from binding such an address
        // directly; step over them so the chain stays sorted.
        std::int32_t previous = kChainEnd;
        for (std::int32_t current = 0; current != kChainEnd && leases[current].ipAddr < poolStart;
             current = leases[current].next) {
            previous = current;
        }
        const std::int32_t free = LowestFreeSlot();
        if (free < 0) {
            return 0;
        }
        if (previous == kChainEnd) {
            // The new entry becomes the head: the old head moves out of slot 0.
            MoveEntry(0, free);
            FillSlot(0, hwAddr, poolStart, LEASE_OFFERED, xid, free);
        } else {
            FillSlot(free, hwAddr, poolStart, LEASE_OFFERED, xid, leases[previous].next);
            leases[previous].next = free;
        }
        return poolStart;
    }

    // poolStart is held: the guest gets the first address after the unbroken
    // run behind it, and every offered entry of the run past its first is
    // aged, as a walk of the run would age it.
    const std::int32_t free = LowestFreeSlot();
    if (free < 0) {
        return 0;
    }
    ExtendRun();
    const std::uint32_t candidate = runBase_ + runLength_;
    if (!inPool(candidate)) {
        return 0; // nothing allocated, so nothing counts as walked past
    }
    for (const std::int32_t slot : runOffered_) {
        ++leases[slot].age;
    }
    const std::int32_t last = SlotOfAddress(candidate - 1);
    FillSlot(free, hwAddr, candidate, LEASE_OFFERED, xid, leases[last].next);
    leases[last].next = free;
    return candidate;
}

std::uint32_t CDHCPProtocol::BindAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid,
                                         std::uint32_t address) {
    if (hwAddr == nullptr || address == 0) {
        return 0;
    }
    SyncRun();
    if (leases[0].state == LEASE_FREE) {
        FillSlot(0, hwAddr, address, LEASE_BOUND, xid, kChainEnd);
        return address;
    }
    const std::int32_t held = SlotOfAddress(address);
    if (held >= 0) {
        // The chain holds each address once: the guest's own entry becomes the
        // binding; another guest's address cannot be bound.
        LeaseEntry &entry = leases[held];
        if (!SameHwAddress(entry.hwAddr, hwAddr)) {
            return 0;
        }
        entry.state = LEASE_BOUND;
        runOffered_.Erase(held);
        if (xid != nullptr) {
            std::memcpy(entry.xid, xid, sizeof(entry.xid));
        }
        return address;
    }
    if (address < leases[0].ipAddr) {
        const std::int32_t free = LowestFreeSlot();
        if (free < 0) {
            return 0;
        }
        MoveEntry(0, free);
        FillSlot(0, hwAddr, address, LEASE_BOUND, xid, free);
        return address;
    }

    std::int32_t current = 0;
    while (leases[current].next != kChainEnd && leases[leases[current].next].ipAddr < address) {
        current = leases[current].next;
    }
    const std::int32_t free = LowestFreeSlot();
    if (free < 0) {
        return 0;
    }
    FillSlot(free, hwAddr, address, LEASE_BOUND, xid, leases[current].next);
    leases[current].next = free;
    return address;
}

std::int32_t CDHCPProtocol::RemoveAt(std::int32_t slot) {
    SyncRun();
    if (slot == 0) {
        if (leases[0].state == LEASE_FREE) {
            return 0;
        }
        const std::int32_t next = leases[0].next;
        ForgetAddress(leases[0].ipAddr);
        UnindexSlot(0);
        if (next != kChainEnd) {
            // Slot 0 is always the head, so the successor moves in.
            MoveEntry(next, 0);
            ClearSlot(next);
        } else {
            ClearSlot(0);
        }
        return 0;
    }
    if (slot < 0 || slot >= kLeaseSlots || leases[slot].state == LEASE_FREE) {
        return PROTO_E_INVAL; // nothing links to a free slot
    }
    // The predecessor in the chain usually holds the address just below.
    std::int32_t previous = SlotOfAddress(leases[slot].ipAddr - 1);
    if (previous < 0 || leases[previous].next != slot) {
        previous = -1;
        for (std::int32_t candidate = 0; candidate < highWater_; ++candidate) {
            if (leases[candidate].state != LEASE_FREE && leases[candidate].next == slot) {
                previous = candidate;
                break;
            }
        }
    }
    if (previous < 0) {
        return PROTO_E_INVAL;
    }
    leases[previous].next = leases[slot].next;
    ForgetAddress(leases[slot].ipAddr);
    UnindexSlot(slot);
    ClearSlot(slot);
    return 0;
}

std::int32_t CDHCPProtocol::RemoveByHwAddress(const std::uint8_t *hwAddr) {
    LeaseEntry *entry = FindByHwAddress(hwAddr);
    if (entry == nullptr) {
        return PROTO_E_INVAL;
    }
    return RemoveAt(static_cast<std::int32_t>(entry - leases));
}

std::int32_t CDHCPProtocol::RemoveByAddress(std::uint32_t address) {
    LeaseEntry *entry = FindByAddress(address);
    if (entry == nullptr) {
        return PROTO_E_INVAL;
    }
    return RemoveAt(static_cast<std::int32_t>(entry - leases));
}

std::int32_t CDHCPProtocol::FindReclaimable() const {
    if (leases[0].state == LEASE_FREE) {
        return -1;
    }
    std::int32_t found = -1;
    for (std::int32_t slot = 0; slot != kChainEnd; slot = leases[slot].next) {
        if (leases[slot].state == LEASE_OFFERED && leases[slot].age != 0) {
            found = slot;
        }
    }
    return found;
}
