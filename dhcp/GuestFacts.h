#pragma once

#include "DhcpMessage.h"
#include "LeaseEntry.h"

#include <cstddef>
#include <cstdint>

// What guests say about themselves, kept beside the lease table slot by
// slot: the host name (option 12) and client identifier (option 61) of the
// guest's last DISCOVER or REQUEST, and when its lease was first offered,
// first and last acknowledged, and when the guest last spoke. Only the lease
// snapshot reads them; no reply depends on them.
//
// Guest text is untrusted. A name keeps the printable ASCII bytes (0x20 to
// 0x7E) of the option up to its first NUL, at most kGuestNameMax of them; a
// client identifier its first kClientIdMax bytes, raw. Times are seconds on
// CLOCK_MONOTONIC; 0 means never.
inline constexpr std::size_t kGuestNameMax = 63; // an RFC 1123 label's length
inline constexpr std::size_t kClientIdMax = 32;

struct GuestFact {
    std::uint8_t nameLength;
    std::uint8_t clientIdLength;
    char name[kGuestNameMax];
    std::uint8_t clientId[kClientIdMax];
    std::uint32_t firstOffer;
    std::uint32_t firstAck; // bound since
    std::uint32_t lastAck;
    std::uint32_t lastSeen;
};

// One block for all slots, allocated once and zero: pages of slots never used
// stay untouched, so the resident cost grows with the guests seen, up to
// kLeaseSlots * sizeof(GuestFact). Nothing is allocated per frame.
class GuestFacts {
public:
    GuestFacts();
    ~GuestFacts();
    GuestFacts(const GuestFacts &) = delete;
    GuestFacts &operator=(const GuestFacts &) = delete;

    const GuestFact *All() const { return facts_; }

    // The table's slot writes, in step with LeaseIndex's hooks: a slot that
    // takes a new entry or is wiped starts with no facts; a moved entry takes
    // its facts along; ForgetFirst(used) forgets slots 0 to used - 1.
    void Forget(std::int32_t slot);
    void Cleared(std::int32_t slot);
    void Moved(std::int32_t from, std::int32_t to);
    void ForgetFirst(std::int32_t used);

    // The guest whose entry is in `slot` sent a DISCOVER or REQUEST at `now`,
    // with these options; `acked` when it was answered with an ACK.
    void Noted(std::int32_t slot, const DhcpOptionTable &options, bool discover, bool acked,
               std::uint32_t now);

    // Grows on each change a snapshot should show without being asked: a
    // lease bound, a name or client identifier changed, an entry reclaimed or
    // removed, the table emptied. Offers and times alone don't count.
    std::uint32_t Changes() const { return changes_; }

private:
    GuestFact *facts_;
    std::uint32_t changes_ = 0;
};

// CLOCK_MONOTONIC in whole seconds, from the kernel's cheap coarse clock.
std::uint32_t guestClockNow();
