#include "CDHCPProtocol.h"

#include <cstdint>
#include <cstring>

// The lease table: a fixed array of slots whose used entries form one chain,
// headed by slot 0, in ascending address order. index_ (LeaseIndex.h) keeps
// the watermarks, the look-up indexes and the run of held addresses from the
// pool start beside it; every slot write below goes through FillSlot,
// SetState, MoveEntry or ClearSlot, which tell the index, so none can be
// forgotten. The chain links (next) are written directly: the index does not
// read them.

namespace {

bool SameHwAddress(const std::uint8_t *a, const std::uint8_t *b) {
    return std::memcmp(a, b, sizeof(LeaseEntry::hwAddr)) == 0;
}

} // namespace

std::int32_t CDHCPProtocol::InitScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask) {
    poolStart_ = start;
    poolEnd_ = end;
    netMask_ = mask;
    ClearTable();
    return 0;
}

void CDHCPProtocol::ClearTable() {
    // Slots from the index's high-water mark up are zero already.
    const std::int32_t used = index_.Reset(poolStart_);
    std::memset(leases_, 0, sizeof(LeaseEntry) * static_cast<std::size_t>(used));
    guests_.ForgetFirst(used);
}

// The slot must be free, or vacated by MoveEntry.
void CDHCPProtocol::FillSlot(std::int32_t slot, const std::uint8_t *hwAddr, std::uint32_t address,
                             std::uint32_t state, const std::uint8_t *xid, std::int32_t next) {
    LeaseEntry &entry = leases_[slot];
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
    index_.Filled(slot);
    guests_.Forget(slot);
}

void CDHCPProtocol::SetState(std::int32_t slot, std::uint32_t state) {
    leases_[slot].state = state;
    index_.Filled(slot);
}

// Copies a whole entry to a free slot; `from` is left vacated for the caller
// to fill or clear.
void CDHCPProtocol::MoveEntry(std::int32_t from, std::int32_t to) {
    leases_[to] = leases_[from];
    index_.Moved(from, to);
    guests_.Moved(from, to);
}

void CDHCPProtocol::ClearSlot(std::int32_t slot) {
    const LeaseEntry gone = leases_[slot];
    std::memset(&leases_[slot], 0, sizeof(LeaseEntry));
    index_.Cleared(slot, gone);
    guests_.Cleared(slot);
}

LeaseEntry *CDHCPProtocol::FindByAddress(std::uint32_t address) {
    const std::int32_t slot = index_.SlotOfAddress(address);
    return slot < 0 ? nullptr : &leases_[slot];
}

LeaseEntry *CDHCPProtocol::FindByHwAddress(const std::uint8_t *hwAddr) {
    if (hwAddr == nullptr) {
        return nullptr;
    }
    const std::int32_t slot = index_.SlotOfHwAddress(hwAddr);
    return slot < 0 ? nullptr : &leases_[slot];
}

std::uint32_t CDHCPProtocol::OfferAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid) {
    if (hwAddr == nullptr) {
        return 0;
    }
    // A guest we know keeps its address, whatever state its entry is in.
    if (const std::int32_t known = index_.SlotOfHwAddress(hwAddr); known >= 0) {
        SetState(known, LEASE_OFFERED);
        return leases_[known].ipAddr;
    }
    // 0 is the no-address answer, and an address above the pool end, or one
    // no guest of the server's subnet can use, is not ours to give;
    // candidates never wrap past 255.255.255.255.
    const ipv4::HostRange usable = UsablePool();
    auto inPool = [&usable](std::uint32_t candidate) { return usable.contains(candidate); };

    if (leases_[0].state == LEASE_FREE) {
        if (!inPool(poolStart_)) {
            return 0;
        }
        FillSlot(0, hwAddr, poolStart_, LEASE_OFFERED, xid, kChainEnd);
        return poolStart_;
    }

    if (index_.SlotOfAddress(poolStart_) < 0) {
        if (!inPool(poolStart_)) {
            return 0;
        }
        // Entries below the pool can only come from binding such an address
        // directly; step over them so the chain stays sorted.
        std::int32_t previous = kChainEnd;
        for (std::int32_t current = 0; current != kChainEnd && leases_[current].ipAddr < poolStart_;
             current = leases_[current].next) {
            previous = current;
        }
        const std::int32_t free = index_.LowestFreeSlot();
        if (free < 0) {
            return 0;
        }
        if (previous == kChainEnd) {
            // The new entry becomes the head: the old head moves out of slot 0.
            MoveEntry(0, free);
            FillSlot(0, hwAddr, poolStart_, LEASE_OFFERED, xid, free);
        } else {
            FillSlot(free, hwAddr, poolStart_, LEASE_OFFERED, xid, leases_[previous].next);
            leases_[previous].next = free;
        }
        return poolStart_;
    }

    // poolStart_ is held: the guest gets the first address after the unbroken
    // run behind it, and every offered entry of the run past its first is
    // aged, as a walk of the run would age it.
    const std::int32_t free = index_.LowestFreeSlot();
    if (free < 0) {
        return 0;
    }
    const std::uint32_t candidate = index_.RunEnd();
    if (!inPool(candidate)) {
        return 0; // nothing allocated, so nothing counts as walked past
    }
    // The age is no key of the index.
    for (const std::int32_t *slot = index_.OfferedInRunBegin(); slot != index_.OfferedInRunEnd();
         ++slot) {
        ++leases_[*slot].age;
    }
    const std::int32_t last = index_.SlotOfAddress(candidate - 1);
    FillSlot(free, hwAddr, candidate, LEASE_OFFERED, xid, leases_[last].next);
    leases_[last].next = free;
    return candidate;
}

ipv4::HostRange CDHCPProtocol::UsablePool() const {
    ipv4::HostRange usable{poolStart_ != 0 ? poolStart_ : 1, poolEnd_};
    if (const std::uint32_t server = ServerAddress(); server != 0) {
        // A range from the pool start, since the subnet's hosts are one.
        const ipv4::HostRange hosts = ipv4::hostsOf(server, netMask_);
        if (usable.first < hosts.first) {
            usable.first = hosts.first;
        }
        if (usable.last > hosts.last) {
            usable.last = hosts.last;
        }
    }
    return usable;
}

bool CDHCPProtocol::LearnHolder(const std::uint8_t *hwAddr, std::uint32_t address) {
    if (hwAddr == nullptr || !UsablePool().contains(address)) {
        return false;
    }
    if (const std::int32_t held = index_.SlotOfAddress(address); held >= 0) {
        const LeaseEntry &entry = leases_[held];
        if (SameHwAddress(entry.hwAddr, hwAddr)) {
            return false;
        }
        // Two stations that both use a confirmed address are beyond what the
        // table can mend; the guest it was confirmed to keeps it.
        if (entry.state == LEASE_BOUND && !SameHwAddress(entry.hwAddr, kUnknownHolder)) {
            return false;
        }
        RemoveAt(held);
    }
    // A station keeps one entry, found by its hardware address. One heard on
    // a second address has moved there from a mere offer; with a confirmed
    // lease it uses both, and the second is kept from other guests under the
    // unknown holder.
    if (const std::int32_t own = index_.SlotOfHwAddress(hwAddr); own >= 0) {
        if (leases_[own].state != LEASE_BOUND) {
            RemoveAt(own);
        } else {
            return BindAddress(kUnknownHolder, nullptr, address) != 0;
        }
    }
    return BindAddress(hwAddr, nullptr, address) != 0;
}

std::uint32_t CDHCPProtocol::BindAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid,
                                         std::uint32_t address) {
    if (hwAddr == nullptr || address == 0) {
        return 0;
    }
    if (leases_[0].state == LEASE_FREE) {
        FillSlot(0, hwAddr, address, LEASE_BOUND, xid, kChainEnd);
        return address;
    }
    const std::int32_t held = index_.SlotOfAddress(address);
    if (held >= 0) {
        // The chain holds each address once: the guest's own entry becomes the
        // binding; another guest's address cannot be bound.
        LeaseEntry &entry = leases_[held];
        if (!SameHwAddress(entry.hwAddr, hwAddr)) {
            return 0;
        }
        if (xid != nullptr) {
            std::memcpy(entry.xid, xid, sizeof(entry.xid)); // no key of the index
        }
        SetState(held, LEASE_BOUND);
        return address;
    }
    if (address < leases_[0].ipAddr) {
        const std::int32_t free = index_.LowestFreeSlot();
        if (free < 0) {
            return 0;
        }
        MoveEntry(0, free);
        FillSlot(0, hwAddr, address, LEASE_BOUND, xid, free);
        return address;
    }

    std::int32_t current = 0;
    while (leases_[current].next != kChainEnd && leases_[leases_[current].next].ipAddr < address) {
        current = leases_[current].next;
    }
    const std::int32_t free = index_.LowestFreeSlot();
    if (free < 0) {
        return 0;
    }
    FillSlot(free, hwAddr, address, LEASE_BOUND, xid, leases_[current].next);
    leases_[current].next = free;
    return address;
}

std::int32_t CDHCPProtocol::RemoveAt(std::int32_t slot) {
    if (slot == 0) {
        if (leases_[0].state == LEASE_FREE) {
            return 0;
        }
        const std::int32_t next = leases_[0].next;
        ClearSlot(0);
        if (next != kChainEnd) {
            // Slot 0 is always the head, so the successor moves in.
            MoveEntry(next, 0);
            ClearSlot(next);
        }
        return 0;
    }
    if (slot < 0 || slot >= kLeaseSlots || leases_[slot].state == LEASE_FREE) {
        return PROTO_E_INVAL; // nothing links to a free slot
    }
    // The predecessor in the chain usually holds the address just below.
    std::int32_t previous = index_.SlotOfAddress(leases_[slot].ipAddr - 1);
    if (previous < 0 || leases_[previous].next != slot) {
        previous = -1;
        for (std::int32_t candidate = 0; candidate < index_.HighWater(); ++candidate) {
            if (leases_[candidate].state != LEASE_FREE && leases_[candidate].next == slot) {
                previous = candidate;
                break;
            }
        }
    }
    if (previous < 0) {
        return PROTO_E_INVAL;
    }
    leases_[previous].next = leases_[slot].next;
    ClearSlot(slot);
    return 0;
}

std::int32_t CDHCPProtocol::RemoveByHwAddress(const std::uint8_t *hwAddr) {
    LeaseEntry *entry = FindByHwAddress(hwAddr);
    if (entry == nullptr) {
        return PROTO_E_INVAL;
    }
    return RemoveAt(static_cast<std::int32_t>(entry - leases_));
}

std::int32_t CDHCPProtocol::RemoveByAddress(std::uint32_t address) {
    LeaseEntry *entry = FindByAddress(address);
    if (entry == nullptr) {
        return PROTO_E_INVAL;
    }
    return RemoveAt(static_cast<std::int32_t>(entry - leases_));
}

std::int32_t CDHCPProtocol::FindReclaimable() const {
    if (leases_[0].state == LEASE_FREE) {
        return -1;
    }
    std::int32_t found = -1;
    for (std::int32_t slot = 0; slot != kChainEnd; slot = leases_[slot].next) {
        if (leases_[slot].state == LEASE_OFFERED && leases_[slot].age != 0) {
            found = slot;
        }
    }
    return found;
}
