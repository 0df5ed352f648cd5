#pragma once

#include "LeaseEntry.h"

#include <cstdint>

// A set of lease slot numbers with constant-time insertion, removal and
// membership, held in two fixed arrays: the members packed at the front of
// one, and each slot's position (+ 1, 0 when absent) in the other.
class SlotSet {
public:
    bool Contains(std::int32_t slot) const { return position_[slot] != 0; }
    std::int32_t Size() const { return count_; }
    const std::int32_t *begin() const { return members_; }
    const std::int32_t *end() const { return members_ + count_; }

    void Insert(std::int32_t slot) {
        if (position_[slot] != 0) {
            return;
        }
        members_[count_] = slot;
        ++count_;
        position_[slot] = count_;
    }

    void Erase(std::int32_t slot) {
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

    template <typename Predicate> void EraseIf(Predicate drop) {
        for (std::int32_t i = 0; i < count_;) {
            if (drop(members_[i])) {
                Erase(members_[i]); // the last member moves into place i
            } else {
                ++i;
            }
        }
    }

    void Clear() {
        for (std::int32_t i = 0; i < count_; ++i) {
            position_[members_[i]] = 0;
        }
        count_ = 0;
    }

private:
    std::int32_t count_ = 0;
    std::int32_t members_[kLeaseSlots] = {};
    std::int32_t position_[kLeaseSlots] = {};
};
