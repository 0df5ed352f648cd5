#pragma once

#include <cstdint>

// What the DHCP server has seen and answered since it was built, for an
// operator's snapshot. Plain counters bumped on the single service thread;
// nothing here allocates or takes a lock. 64 bits, so that a busy service
// does not wrap them (an increment is two instructions on 32-bit x86).
struct DhcpCounters {
    std::uint64_t discoversSeen = 0;
    std::uint64_t requestsSeen = 0;
    std::uint64_t offersSent = 0;
    std::uint64_t acksSent = 0;
    std::uint64_t naksSent = 0;
    // Messages given up: too short, a bad cookie or options, no or an
    // unknown message type.
    std::uint64_t droppedMalformed = 0;
    // Messages for someone else: a BOOTREPLY, or a REQUEST naming another
    // server.
    std::uint64_t droppedNotForUs = 0;
    // DISCOVERs that found no address to offer: the pool or the slots were
    // all taken. The reclaimer looks for a silent address for each.
    std::uint64_t offersRefused = 0;
};
