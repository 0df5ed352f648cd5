#pragma once

// The lease table written plainly from its algorithm: 65536 slots, look-ups
// that scan every slot, the lowest free slot searched from slot 0, and the
// chain walked entry by entry. It makes the same choices as the server where
// the algorithm leaves them open: free slots are skipped by look-ups, an
// address above the pool end (or 0) is refused, entries below the pool start
// are stepped over, binding an address the chain holds turns the guest's own
// entry bound with the new xid (another guest's gives 0), and an offer that is
// refused ages nothing. Without a server address beside it, its pool is the
// whole range from start to end. It knows nothing of the server's indexes or marks, so
// differential tests can hold the server against it.

#include "LeaseEntry.h"

#include <cstdint>
#include <cstring>

class ReferenceLeaseTable {
public:
    static constexpr std::int32_t kNone = -1;

    ReferenceLeaseTable() { std::memset(leases, 0, sizeof(leases)); }

    std::int32_t InitScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask) {
        poolStart = start;
        poolEnd = end;
        netMask = mask;
        std::memset(leases, 0, sizeof(leases));
        return 0;
    }

    // Slot numbers rather than references, kNone for no match.
    std::int32_t FindByAddress(std::uint32_t address) const {
        for (std::int32_t s = 0; s < kLeaseSlots; ++s) {
            if (leases[s].state != LEASE_FREE && leases[s].ipAddr == address) {
                return s;
            }
        }
        return kNone;
    }

    std::int32_t FindByHwAddress(const std::uint8_t *hw) const {
        if (hw == nullptr) {
            return kNone;
        }
        for (std::int32_t s = 0; s < kLeaseSlots; ++s) {
            if (leases[s].state != LEASE_FREE && std::memcmp(leases[s].hwAddr, hw, 6) == 0) {
                return s;
            }
        }
        return kNone;
    }

    std::uint32_t OfferAddress(const std::uint8_t *hw, const std::uint8_t *xid) {
        if (hw == nullptr) {
            return 0;
        }
        const std::int32_t known = FindByHwAddress(hw);
        if (known != kNone) {
            leases[known].state = LEASE_OFFERED;
            return leases[known].ipAddr;
        }
        if (leases[0].state == LEASE_FREE) {
            if (!inPool(poolStart)) {
                return 0;
            }
            fill(0, hw, poolStart, LEASE_OFFERED, xid, kChainEnd);
            return poolStart;
        }
        // Entries below the pool are stepped over; the chain's first entry at
        // or above the pool start decides between a new pool-start entry and
        // the walk.
        std::int32_t before = kNone;
        std::int32_t c = 0;
        while (c != kChainEnd && leases[c].ipAddr < poolStart) {
            before = c;
            c = leases[c].next;
        }
        if (c == kChainEnd || leases[c].ipAddr != poolStart) {
            if (!inPool(poolStart)) {
                return 0;
            }
            const std::int32_t f = lowestFree();
            if (f == kNone) {
                return 0;
            }
            if (before == kNone) {
                leases[f] = leases[0];
                fill(0, hw, poolStart, LEASE_OFFERED, xid, f);
            } else {
                fill(f, hw, poolStart, LEASE_OFFERED, xid, leases[before].next);
                leases[before].next = f;
            }
            return poolStart;
        }
        const std::int32_t f = lowestFree();
        if (f == kNone) {
            return 0;
        }
        // Find the hole first: a refused candidate must leave every age alone.
        std::int32_t last = c;
        while (leases[last].next != kChainEnd &&
               leases[leases[last].next].ipAddr == leases[last].ipAddr + 1) {
            last = leases[last].next;
        }
        const std::uint32_t candidate = leases[last].ipAddr + 1;
        if (!inPool(candidate)) {
            return 0;
        }
        // The walk proper: each entry passed after C (C excepted) that is
        // offered is aged once.
        for (std::int32_t s = c; s != last;) {
            s = leases[s].next;
            if (leases[s].state == LEASE_OFFERED) {
                ++leases[s].age;
            }
        }
        fill(f, hw, candidate, LEASE_OFFERED, xid, leases[last].next);
        leases[last].next = f;
        return candidate;
    }

    std::uint32_t BindAddress(const std::uint8_t *hw, const std::uint8_t *xid,
                              std::uint32_t address) {
        if (hw == nullptr || address == 0) {
            return 0;
        }
        if (leases[0].state == LEASE_FREE) {
            fill(0, hw, address, LEASE_BOUND, xid, kChainEnd);
            return address;
        }
        if (address < leases[0].ipAddr) {
            const std::int32_t f = lowestFree();
            if (f == kNone) {
                return 0;
            }
            leases[f] = leases[0];
            fill(0, hw, address, LEASE_BOUND, xid, f);
            return address;
        }
        std::int32_t c = 0;
        while (leases[c].next != kChainEnd && leases[leases[c].next].ipAddr <= address) {
            c = leases[c].next;
        }
        if (leases[c].ipAddr == address) {
            if (std::memcmp(leases[c].hwAddr, hw, 6) != 0) {
                return 0;
            }
            leases[c].state = LEASE_BOUND;
            if (xid != nullptr) {
                std::memcpy(leases[c].xid, xid, 4);
            }
            return address;
        }
        const std::int32_t f = lowestFree();
        if (f == kNone) {
            return 0;
        }
        fill(f, hw, address, LEASE_BOUND, xid, leases[c].next);
        leases[c].next = f;
        return address;
    }

    std::int32_t RemoveAt(std::int32_t slot) {
        if (slot == 0) {
            const std::int32_t n = leases[0].next;
            if (leases[0].state == LEASE_FREE || n == kChainEnd) {
                std::memset(&leases[0], 0, sizeof(LeaseEntry));
            } else {
                leases[0] = leases[n];
                std::memset(&leases[n], 0, sizeof(LeaseEntry));
            }
            return 0;
        }
        if (slot < 0 || slot >= kLeaseSlots) {
            return -4;
        }
        for (std::int32_t p = 0; p < kLeaseSlots; ++p) {
            if (leases[p].next == slot) {
                leases[p].next = leases[slot].next;
                std::memset(&leases[slot], 0, sizeof(LeaseEntry));
                return 0;
            }
        }
        return -4;
    }

    std::int32_t RemoveByHwAddress(const std::uint8_t *hw) {
        const std::int32_t s = FindByHwAddress(hw);
        return s == kNone ? -4 : RemoveAt(s);
    }

    std::int32_t RemoveByAddress(std::uint32_t address) {
        const std::int32_t s = FindByAddress(address);
        return s == kNone ? -4 : RemoveAt(s);
    }

    // A station heard naming an address in the pool: a bound entry of its
    // own, unless it holds the address already or another guest has it
    // bound; an offer, or the unknown holder of a declined address, is
    // removed first.
    bool LearnHolder(const std::uint8_t *hw, std::uint32_t address) {
        if (hw == nullptr || !inPool(address)) {
            return false;
        }
        const std::int32_t s = FindByAddress(address);
        if (s != kNone) {
            if (std::memcmp(leases[s].hwAddr, hw, 6) == 0) {
                return false;
            }
            if (leases[s].state == LEASE_BOUND &&
                std::memcmp(leases[s].hwAddr, kUnknownHolder, 6) != 0) {
                return false;
            }
            RemoveAt(s);
        }
        if (const std::int32_t own = FindByHwAddress(hw); own != kNone) {
            if (leases[own].state != LEASE_BOUND) {
                RemoveAt(own);
            } else {
                return BindAddress(kUnknownHolder, nullptr, address) != 0;
            }
        }
        return BindAddress(hw, nullptr, address) != 0;
    }

    std::int32_t FindReclaimable() const {
        if (leases[0].state == LEASE_FREE) {
            return kNone;
        }
        std::int32_t found = kNone;
        for (std::int32_t s = 0; s != kChainEnd; s = leases[s].next) {
            if (leases[s].state == LEASE_OFFERED && leases[s].age != 0) {
                found = s;
            }
        }
        return found;
    }

    std::uint32_t poolStart = 0;
    std::uint32_t poolEnd = 0;
    std::uint32_t netMask = 0;
    LeaseEntry leases[kLeaseSlots];

private:
    bool inPool(std::uint32_t a) const { return a != 0 && a >= poolStart && a <= poolEnd; }

    std::int32_t lowestFree() const {
        for (std::int32_t s = 0; s < kLeaseSlots; ++s) {
            if (leases[s].state == LEASE_FREE) {
                return s;
            }
        }
        return kNone;
    }

    void fill(std::int32_t s, const std::uint8_t *hw, std::uint32_t address, std::uint32_t state,
              const std::uint8_t *xid, std::int32_t next) {
        LeaseEntry &e = leases[s];
        std::memcpy(e.hwAddr, hw, 6);
        e.ipAddr = address;
        e.state = state;
        e.age = 0;
        if (xid != nullptr) {
            std::memcpy(e.xid, xid, 4);
        } else {
            std::memset(e.xid, 0, 4);
        }
        e.next = next;
    }
};
