#pragma once

#include <cstdint>

inline constexpr std::uint32_t LEASE_FREE = 0;
inline constexpr std::uint32_t LEASE_BOUND = 1;
inline constexpr std::uint32_t LEASE_OFFERED = 2;

// One slot of the lease table. A free slot is all zero (next 0, not -1).
// Used slots form one chain from slot 0 in ascending address order.
struct LeaseEntry {
    std::uint8_t hwAddr[6];
    std::uint32_t ipAddr; // host order
    std::uint32_t state;
    std::uint32_t age;   // allocations for others that walked past it while offered
    std::uint8_t xid[4]; // as it stood in the request
    std::int32_t next;   // slot of the next entry in the chain; -1 ends it
};

inline constexpr std::int32_t kLeaseSlots = 65536;
inline constexpr std::int32_t kChainEnd = -1;

// The holder of an address that a guest declined: some station answered the
// guest's ARP for it, and nothing told us which. No station has the broadcast
// address as its own, so no guest's request finds this entry; the holder's
// own ARP, once heard, puts its hardware address in place.
inline constexpr std::uint8_t kUnknownHolder[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
