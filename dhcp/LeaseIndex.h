#pragma once

#include "LeaseEntry.h"

#include <cstdint>

// A hash index over lease slots without allocation: bucket heads plus one
// "next in bucket" link per slot. Each bucket is kept in ascending slot order,
// so the first match found in it is the lowest matching slot, which is what a
// scan of the whole table in slot order would find. Links store slot + 1 so
// that an all-zero index is empty.
class LeaseIndex {
public:
    static constexpr int kBucketBits = 17;
    static constexpr std::uint32_t kBuckets = 1u << kBucketBits;

    // First slot of a bucket, or -1.
    std::int32_t First(std::uint32_t bucket) const { return heads_[bucket] - 1; }
    // Slot after this one in its bucket, or -1.
    std::int32_t Next(std::int32_t slot) const { return next_[slot] - 1; }

    void Insert(std::uint32_t bucket, std::int32_t slot) {
        std::int32_t *link = &heads_[bucket];
        while (*link != 0 && *link - 1 < slot) {
            link = &next_[*link - 1];
        }
        next_[slot] = *link;
        *link = slot + 1;
    }

    // Removing a slot the bucket does not hold changes nothing.
    void Erase(std::uint32_t bucket, std::int32_t slot) {
        std::int32_t *link = &heads_[bucket];
        while (*link != 0 && *link - 1 != slot) {
            link = &next_[*link - 1];
        }
        if (*link != 0) {
            *link = next_[slot];
        }
    }

    // Links inside an emptied bucket are rewritten before they are read again.
    void ClearBucket(std::uint32_t bucket) { heads_[bucket] = 0; }

private:
    std::int32_t heads_[kBuckets] = {};
    std::int32_t next_[kLeaseSlots] = {};
};
