#include "LeaseIndex.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

LeaseIndex::LeaseIndex(const LeaseEntry *leases, const LeaseHashKey &key)
    : leases_(leases), hash_(key) {}

void LeaseIndex::Buckets::Insert(std::uint32_t bucket, std::int32_t slot) {
    std::int32_t *link = &heads_[bucket];
    while (*link != 0 && *link - 1 < slot) {
        link = &next_[*link - 1];
    }
    if (*link - 1 == slot) {
        return;
    }
    next_[slot] = *link;
    *link = slot + 1;
}

void LeaseIndex::Buckets::Erase(std::uint32_t bucket, std::int32_t slot) {
    std::int32_t *link = &heads_[bucket];
    while (*link != 0 && *link - 1 != slot) {
        link = &next_[*link - 1];
    }
    if (*link != 0) {
        *link = next_[slot];
    }
}

void LeaseIndex::SlotSet::Insert(std::int32_t slot) {
    if (position_[slot] != 0) {
        return;
    }
    members_[count_] = slot;
    ++count_;
    position_[slot] = count_;
}

void LeaseIndex::SlotSet::Erase(std::int32_t slot) {
    const std::int32_t position = position_[slot];
    if (position == 0) {
        return;
    }
    --count_;
    const std::int32_t last = members_[count_];
    members_[position - 1] = last;
    position_[last] = position;
    position_[slot] = 0;
}

void LeaseIndex::SlotSet::Clear() {
    for (std::int32_t i = 0; i < count_; ++i) {
        position_[members_[i]] = 0;
    }
    count_ = 0;
}

std::int32_t LeaseIndex::Reset(std::uint32_t runBase) {
    // Only the buckets of used slots can be non-empty.
    for (std::int32_t slot = 0; slot < highWater_; ++slot) {
        if (leases_[slot].state != LEASE_FREE) {
            byAddress_.Clear(AddressBucket(leases_[slot].ipAddr));
            byHwAddress_.Clear(HwAddressBucket(leases_[slot].hwAddr));
        }
    }
    const std::int32_t used = highWater_;
    highWater_ = 0;
    lowestFree_ = 0;
    vacated_ = -1;
    runOffered_.Clear();
    runBase_ = runBase;
    runLength_ = 0;
    return used;
}

// Slots are only ever taken at the lowest free one (or slot 0 of an empty
// table), so everything below a newly used lowestFree_ is in use.
void LeaseIndex::Filled(std::int32_t slot) {
    if (slot == vacated_) {
        vacated_ = -1;
    }
    if (slot >= highWater_) {
        highWater_ = slot + 1;
    }
    if (slot == lowestFree_) {
        lowestFree_ = slot + 1;
    }
    Index(slot);
}

void LeaseIndex::Moved(std::int32_t from, std::int32_t to) {
    Unindex(from, leases_[to]);
    vacated_ = from;
    Filled(to);
}

void LeaseIndex::Cleared(std::int32_t slot, const LeaseEntry &gone) {
    if (slot == vacated_) {
        vacated_ = -1; // its entry lives on in another slot
    } else if (gone.state != LEASE_FREE) {
        Unindex(slot, gone);
        ForgetAddress(gone.ipAddr);
    }
    if (slot < lowestFree_) {
        lowestFree_ = slot;
    }
    if (slot + 1 == highWater_) {
        while (highWater_ > 0 && leases_[highWater_ - 1].state == LEASE_FREE) {
            --highWater_;
        }
    }
}

void LeaseIndex::Index(std::int32_t slot) {
    const LeaseEntry &entry = leases_[slot];
    byAddress_.Insert(AddressBucket(entry.ipAddr), slot);
    byHwAddress_.Insert(HwAddressBucket(entry.hwAddr), slot);
    NoteRunMembership(slot);
}

void LeaseIndex::Unindex(std::int32_t slot, const LeaseEntry &entry) {
    byAddress_.Erase(AddressBucket(entry.ipAddr), slot);
    byHwAddress_.Erase(HwAddressBucket(entry.hwAddr), slot);
    runOffered_.Erase(slot);
}

bool LeaseIndex::InRunPastStart(std::uint32_t address) const {
    return address != runBase_ && address - runBase_ < runLength_;
}

void LeaseIndex::NoteRunMembership(std::int32_t slot) {
    const LeaseEntry &entry = leases_[slot];
    if (entry.state == LEASE_OFFERED && InRunPastStart(entry.ipAddr)) {
        runOffered_.Insert(slot);
    } else {
        runOffered_.Erase(slot);
    }
}

// An address leaves the table: a run that held it ends just before it.
void LeaseIndex::ForgetAddress(std::uint32_t address) {
    if (address - runBase_ >= runLength_) {
        return;
    }
    runLength_ = address - runBase_;
    for (const std::int32_t *member = runOffered_.begin(); member != runOffered_.end();) {
        if (!InRunPastStart(leases_[*member].ipAddr)) {
            runOffered_.Erase(*member); // the last member moves into this place
        } else {
            ++member;
        }
    }
}

// Free slots are never indexed, so a key of 0.0.0.0 never meets an unused slot.
std::int32_t LeaseIndex::SlotOfAddress(std::uint32_t address) const {
    for (std::int32_t slot = byAddress_.First(AddressBucket(address)); slot >= 0;
         slot = byAddress_.Next(slot)) {
        if (leases_[slot].ipAddr == address) {
            return slot;
        }
    }
    return -1;
}

std::int32_t LeaseIndex::SlotOfHwAddress(const std::uint8_t *hwAddr) const {
    for (std::int32_t slot = byHwAddress_.First(HwAddressBucket(hwAddr)); slot >= 0;
         slot = byHwAddress_.Next(slot)) {
        if (std::memcmp(leases_[slot].hwAddr, hwAddr, sizeof(LeaseEntry::hwAddr)) == 0) {
            return slot;
        }
    }
    return -1;
}

std::int32_t LeaseIndex::LowestFreeSlot() {
    for (std::int32_t slot = lowestFree_; slot < kLeaseSlots; ++slot) {
        if (leases_[slot].state == LEASE_FREE) {
            lowestFree_ = slot;
            return slot;
        }
    }
    lowestFree_ = kLeaseSlots;
    return -1;
}

std::uint32_t LeaseIndex::RunEnd() {
    for (;;) {
        const std::uint32_t address = runBase_ + runLength_;
        if (runLength_ != 0 && address == 0) {
            return 0; // the top of the address space
        }
        const std::int32_t slot = SlotOfAddress(address);
        if (slot < 0) {
            return address;
        }
        if (runLength_ != 0 && leases_[slot].state == LEASE_OFFERED) {
            runOffered_.Insert(slot);
        }
        ++runLength_;
    }
}
