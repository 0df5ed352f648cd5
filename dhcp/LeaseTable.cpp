#include "CDHCPProtocol.h"

#include <cstdint>
#include <cstring>

// The lease table: a fixed array of slots whose used entries form one chain,
// headed by slot 0, in ascending address order. Two marks keep the scans
// proportional to what the table holds rather than to its 65536 slots:
// highWater_ (every slot from it up is free) and lowestFree_ (every slot below
// it is used). Neither changes any result; both are kept by FillSlot and
// ClearSlot, the only places where a slot changes between free and used.

namespace {

bool SameHwAddress(const std::uint8_t *a, const std::uint8_t *b) {
    return std::memcmp(a, b, sizeof(LeaseEntry::hwAddr)) == 0;
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
    // Slots from the high-water mark up are zero already.
    std::memset(leases, 0, sizeof(LeaseEntry) * static_cast<std::size_t>(highWater_));
    highWater_ = 0;
    lowestFree_ = 0;
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

// Free slots are skipped, so a key of 0.0.0.0 never meets an unused slot.
LeaseEntry *CDHCPProtocol::FindByAddress(std::uint32_t address) {
    for (std::int32_t slot = 0; slot < highWater_; ++slot) {
        if (leases[slot].state != LEASE_FREE && leases[slot].ipAddr == address) {
            return &leases[slot];
        }
    }
    return nullptr;
}

LeaseEntry *CDHCPProtocol::FindByHwAddress(const std::uint8_t *hwAddr) {
    if (hwAddr == nullptr) {
        return nullptr;
    }
    for (std::int32_t slot = 0; slot < highWater_; ++slot) {
        if (leases[slot].state != LEASE_FREE && SameHwAddress(leases[slot].hwAddr, hwAddr)) {
            return &leases[slot];
        }
    }
    return nullptr;
}

std::uint32_t CDHCPProtocol::OfferAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid) {
    if (hwAddr == nullptr) {
        return 0;
    }
    // A guest we know keeps its address, whatever state its entry is in.
    if (LeaseEntry *known = FindByHwAddress(hwAddr)) {
        known->state = LEASE_OFFERED;
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

    // Entries below the pool can only come from binding such an address
    // directly; step over them so the chain stays sorted.
    std::int32_t previous = kChainEnd;
    std::int32_t current = 0;
    while (current != kChainEnd && leases[current].ipAddr < poolStart) {
        previous = current;
        current = leases[current].next;
    }

    if (current == kChainEnd || leases[current].ipAddr != poolStart) {
        if (!inPool(poolStart)) {
            return 0;
        }
        const std::int32_t free = LowestFreeSlot();
        if (free < 0) {
            return 0;
        }
        if (previous == kChainEnd) {
            // The new entry becomes the head: the old head moves out of slot 0.
            leases[free] = leases[0];
            MarkUsed(free);
            FillSlot(0, hwAddr, poolStart, LEASE_OFFERED, xid, free);
        } else {
            FillSlot(free, hwAddr, poolStart, LEASE_OFFERED, xid, leases[previous].next);
            leases[previous].next = free;
        }
        return poolStart;
    }

    // poolStart is held: walk the unbroken run behind it to its first hole,
    // ageing every offered entry passed on the way.
    const std::int32_t free = LowestFreeSlot();
    if (free < 0) {
        return 0;
    }
    const std::int32_t runStart = current;
    for (;;) {
        const std::int32_t next = leases[current].next;
        if (next == kChainEnd || leases[next].ipAddr != leases[current].ipAddr + 1) {
            break;
        }
        if (leases[next].state == LEASE_OFFERED) {
            ++leases[next].age;
        }
        current = next;
    }

    const std::uint32_t candidate = leases[current].ipAddr + 1;
    if (!inPool(candidate)) {
        // Nothing was allocated, so nothing counts as having walked past.
        for (std::int32_t slot = runStart; slot != current;) {
            slot = leases[slot].next;
            if (leases[slot].state == LEASE_OFFERED) {
                --leases[slot].age;
            }
        }
        return 0;
    }
    FillSlot(free, hwAddr, candidate, LEASE_OFFERED, xid, leases[current].next);
    leases[current].next = free;
    return candidate;
}

std::uint32_t CDHCPProtocol::BindAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid,
                                         std::uint32_t address) {
    if (hwAddr == nullptr || address == 0) {
        return 0;
    }
    if (leases[0].state == LEASE_FREE) {
        FillSlot(0, hwAddr, address, LEASE_BOUND, xid, kChainEnd);
        return address;
    }
    if (address < leases[0].ipAddr) {
        const std::int32_t free = LowestFreeSlot();
        if (free < 0) {
            return 0;
        }
        leases[free] = leases[0];
        MarkUsed(free);
        FillSlot(0, hwAddr, address, LEASE_BOUND, xid, free);
        return address;
    }

    std::int32_t current = 0;
    while (leases[current].next != kChainEnd && leases[leases[current].next].ipAddr <= address) {
        current = leases[current].next;
    }
    if (leases[current].ipAddr == address) {
        // The chain holds each address once: the guest's own entry becomes the
        // binding; another guest's address cannot be bound.
        LeaseEntry &entry = leases[current];
        if (!SameHwAddress(entry.hwAddr, hwAddr)) {
            return 0;
        }
        entry.state = LEASE_BOUND;
        if (xid != nullptr) {
            std::memcpy(entry.xid, xid, sizeof(entry.xid));
        }
        return address;
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
    if (slot == 0) {
        if (leases[0].state == LEASE_FREE) {
            return 0;
        }
        const std::int32_t next = leases[0].next;
        if (next == kChainEnd) {
            ClearSlot(0);
        } else {
            // Slot 0 is always the head, so the successor moves in.
            leases[0] = leases[next];
            ClearSlot(next);
        }
        return 0;
    }
    if (slot < 0 || slot >= kLeaseSlots) {
        return PROTO_E_INVAL;
    }
    for (std::int32_t previous = 0; previous < highWater_; ++previous) {
        if (leases[previous].state != LEASE_FREE && leases[previous].next == slot) {
            leases[previous].next = leases[slot].next;
            ClearSlot(slot);
            return 0;
        }
    }
    return PROTO_E_INVAL;
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
