#pragma once

// The lease table's structural invariants, for the unit tests, the whole-stack
// checks and the frame fuzzer alike. Cheap enough to run after every frame:
// the chain walk allocates nothing, and the zero scan of slots off the chain
// can be bounded to the slots an input can have reached. Each returns an
// empty string when all is well, else what is wrong.

#include "CDHCPProtocol.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace chaincheck {

// The chain as the last walk found it; kept between calls so that nothing is
// allocated per frame.
struct Walk {
    std::int32_t length = 0;
    std::int32_t slots[kLeaseSlots];
    std::uint64_t owners[kLeaseSlots];
};

inline Walk &lastWalk() {
    static Walk walk;
    return walk;
}

// The chain starts at slot 0, visits used slots only, in strictly ascending
// address order (so it cannot cycle). With `asServed`, also what the server
// keeps true through frames: every address lies in the pool and no hardware
// address but the unknown holder's holds two entries (table-level tests
// break both on purpose).
inline std::string chainFault(const CDHCPProtocol &server, bool asServed = true) {
    const LeaseEntry *leases = server.Leases();
    Walk &walk = lastWalk();
    walk.length = 0;
    if (leases[0].state == LEASE_FREE) {
        return {};
    }
    std::int64_t previous = -1;
    for (std::int32_t slot = 0; slot != kChainEnd; slot = leases[slot].next) {
        if (slot < 0 || slot >= kLeaseSlots) {
            return "chain link out of range: " + std::to_string(slot);
        }
        if (walk.length >= kLeaseSlots) {
            return "chain longer than the table";
        }
        const LeaseEntry &e = leases[slot];
        if (e.state != LEASE_BOUND && e.state != LEASE_OFFERED) {
            return "chained slot " + std::to_string(slot) + " has state " + std::to_string(e.state);
        }
        if (static_cast<std::int64_t>(e.ipAddr) <= previous) {
            return "chain not strictly ascending at slot " + std::to_string(slot);
        }
        previous = e.ipAddr;
        if (asServed && (e.ipAddr < server.PoolStart() || e.ipAddr > server.PoolEnd())) {
            return "address outside the pool in slot " + std::to_string(slot);
        }
        std::uint64_t owner = 0;
        for (const std::uint8_t b : e.hwAddr) {
            owner = (owner << 8) | b;
        }
        // Declined addresses and second addresses of one station share the
        // unknown holder: it alone may hold many entries.
        if (owner == 0xFFFFFFFFFFFFull) {
            owner |= static_cast<std::uint64_t>(slot + 1) << 48;
        }
        walk.slots[walk.length] = slot;
        walk.owners[walk.length] = owner;
        ++walk.length;
    }
    if (!asServed) {
        return {};
    }
    std::uint64_t *owners = walk.owners;
    std::sort(owners, owners + walk.length);
    if (std::adjacent_find(owners, owners + walk.length) != owners + walk.length) {
        return "hardware address holds two entries";
    }
    return {};
}

// Every slot below bound that the last chainFault walk did not visit is
// entirely zero: free slots are only ever written by clearing them whole,
// padding included, and a used slot off the chain is unreachable. Call it
// right after a chainFault that found nothing. The
// stretches between chained slots are compared whole, the slots of a stretch
// that differs one by one to name the first.
inline std::string staleSlotFault(const CDHCPProtocol &server, std::int32_t bound = kLeaseSlots) {
    static const LeaseEntry zeros[kLeaseSlots] = {};
    static std::int32_t used[kLeaseSlots + 1];
    const Walk &walk = lastWalk();
    bound = std::min(bound, kLeaseSlots);
    std::copy(walk.slots, walk.slots + walk.length, used);
    std::sort(used, used + walk.length);
    used[walk.length] = kLeaseSlots;
    std::int32_t from = 0;
    for (std::int32_t i = 0; i <= walk.length && from < bound; ++i) {
        const std::int32_t to = std::min(used[i], bound);
        if (to > from &&
            std::memcmp(server.Leases() + from, zeros,
                        sizeof(LeaseEntry) * static_cast<std::size_t>(to - from)) != 0) {
            for (std::int32_t slot = from; slot < to; ++slot) {
                if (std::memcmp(server.Leases() + slot, zeros, sizeof(LeaseEntry)) != 0) {
                    return "slot " + std::to_string(slot) + " is off the chain but not all zero";
                }
            }
        }
        from = used[i] + 1;
    }
    return {};
}

// Both, over the whole table.
inline std::string leaseTableFault(const CDHCPProtocol &server, bool asServed = true) {
    std::string fault = chainFault(server, asServed);
    return fault.empty() ? staleSlotFault(server) : fault;
}

} // namespace chaincheck
