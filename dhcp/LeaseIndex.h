#pragma once

#include "LeaseEntry.h"
#include "LeaseHash.h"

#include <cstdint>

// Everything the lease table keeps beside its slot array so that no operation
// on the message path depends on how many leases are held. None of it changes
// a result; all of it is derived from the slots:
// - the watermarks: every slot from HighWater() up is free, every slot below
//   the lowest-free hint is used;
// - two hash indexes of the used slots, by address and by hardware address,
//   whose buckets are in slot order, so a look-up finds the lowest matching
//   slot just as a scan of the table in slot order would;
// - the run: the addresses from the pool start that the chain holds without a
//   gap, as far as it is known, with the offered entries in it past its first
//   (the entries a new guest's allocation walks past and ages).
//
// The table writes its slots itself and then tells the index what happened,
// through three hooks and nothing else:
// - Filled(slot): the slot now holds an entry, or the entry it holds changed
//   state;
// - Moved(from, to): the entry of `from` was copied to `to` (which was free);
//   `from` is left vacated, for the table to fill or clear next;
// - Cleared(slot, gone): the slot was wiped to zero; `gone` is what it held.
// Reset() forgets every entry when the table is emptied as a whole.
class LeaseIndex {
public:
    // The index reads the slots through `leases`, which outlives it. Its
    // buckets come from `key`, by default this process's own.
    explicit LeaseIndex(const LeaseEntry *leases,
                        const LeaseHashKey &key = LeaseHashKey::ForProcess());

    LeaseIndex(const LeaseIndex &) = delete;
    LeaseIndex &operator=(const LeaseIndex &) = delete;

    // Forgets every entry and starts the run at `runBase`. Returns the number
    // of slots from 0 that may hold anything, for the table to wipe; call it
    // before wiping, since it reads the entries it forgets.
    std::int32_t Reset(std::uint32_t runBase);

    void Filled(std::int32_t slot);
    void Moved(std::int32_t from, std::int32_t to);
    void Cleared(std::int32_t slot, const LeaseEntry &gone);

    // Look-ups: the lowest used slot with the key, or -1.
    std::int32_t SlotOfAddress(std::uint32_t address) const;
    std::int32_t SlotOfHwAddress(const std::uint8_t *hwAddr) const;

    // The lowest free slot, or -1 when every slot is used.
    std::int32_t LowestFreeSlot();
    // One past the highest slot that may be in use.
    std::int32_t HighWater() const { return highWater_; }

    // The first address after the run, once every held address that directly
    // follows it has been taken in. 0 past the top of the address space.
    std::uint32_t RunEnd();
    // The offered entries of the run other than its first, in no order.
    const std::int32_t *OfferedInRunBegin() const { return runOffered_.begin(); }
    const std::int32_t *OfferedInRunEnd() const { return runOffered_.end(); }

private:
    // A hash index over slots without allocation: bucket heads plus one "next
    // in bucket" link per slot, each bucket in ascending slot order. Links
    // store slot + 1 so that an all-zero index is empty.
    class Buckets {
    public:
        static constexpr std::uint32_t kCount = LeaseHash::kBuckets;

        std::int32_t First(std::uint32_t bucket) const { return heads_[bucket] - 1; }
        std::int32_t Next(std::int32_t slot) const { return next_[slot] - 1; }
        // Inserting a slot the bucket holds already changes nothing.
        void Insert(std::uint32_t bucket, std::int32_t slot);
        // Erasing a slot the bucket does not hold changes nothing.
        void Erase(std::uint32_t bucket, std::int32_t slot);
        // Links inside an emptied bucket are rewritten before they are read.
        void Clear(std::uint32_t bucket) { heads_[bucket] = 0; }

    private:
        std::int32_t heads_[kCount] = {};
        std::int32_t next_[kLeaseSlots] = {};
    };

    // A set of slots with constant-time insertion, removal and membership: the
    // members packed at the front of one array, each slot's position (+ 1, 0
    // when absent) in the other.
    class SlotSet {
    public:
        const std::int32_t *begin() const { return members_; }
        const std::int32_t *end() const { return members_ + count_; }
        void Insert(std::int32_t slot);
        void Erase(std::int32_t slot);
        void Clear();

    private:
        std::int32_t count_ = 0;
        std::int32_t members_[kLeaseSlots] = {};
        std::int32_t position_[kLeaseSlots] = {};
    };

    std::uint32_t AddressBucket(std::uint32_t address) const {
        return hash_.AddressBucket(address);
    }
    std::uint32_t HwAddressBucket(const std::uint8_t *hwAddr) const {
        return hash_.HwAddressBucket(hwAddr);
    }

    void Index(std::int32_t slot);
    void Unindex(std::int32_t slot, const LeaseEntry &entry);
    bool InRunPastStart(std::uint32_t address) const;
    void NoteRunMembership(std::int32_t slot);
    void ForgetAddress(std::uint32_t address);

    const LeaseEntry *leases_;
    LeaseHash hash_;
    std::int32_t highWater_ = 0;
    std::int32_t lowestFree_ = 0;
    // A slot that Moved() emptied and that is not in the indexes any more;
    // -1 when there is none.
    std::int32_t vacated_ = -1;
    Buckets byAddress_;
    Buckets byHwAddress_;
    // runBase_ to runBase_ + runLength_ - 1 are all held.
    std::uint32_t runBase_ = 0;
    std::uint32_t runLength_ = 0;
    SlotSet runOffered_;
};
