#include "GuestFacts.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

// The printable bytes of option 12 up to its first NUL (some clients count
// a terminating NUL in the option); returns how many were kept.
std::uint8_t keepName(const DhcpOptionTable::Entry &option, char (&name)[kGuestNameMax]) {
    std::uint8_t kept = 0;
    for (std::uint8_t i = 0; i < option.length && kept < kGuestNameMax; ++i) {
        const std::uint8_t byte = option.data[i];
        if (byte == 0) {
            break;
        }
        if (byte >= 0x20 && byte <= 0x7E) {
            name[kept++] = static_cast<char>(byte);
        }
    }
    return kept;
}

} // namespace

GuestFacts::GuestFacts() {
    // calloc, not new[]: a large zero block comes straight from the kernel
    // and its pages stay unresident until a slot is first written.
    facts_ = static_cast<GuestFact *>(std::calloc(kLeaseSlots, sizeof(GuestFact)));
    if (facts_ == nullptr) {
        throw std::bad_alloc();
    }
}

GuestFacts::~GuestFacts() {
    std::free(facts_);
}

void GuestFacts::Forget(std::int32_t slot) {
    std::memset(&facts_[slot], 0, sizeof(GuestFact));
}

void GuestFacts::Cleared(std::int32_t slot) {
    Forget(slot);
    ++changes_;
}

void GuestFacts::Moved(std::int32_t from, std::int32_t to) {
    facts_[to] = facts_[from];
}

void GuestFacts::ForgetFirst(std::int32_t used) {
    if (used > 0) {
        std::memset(facts_, 0, sizeof(GuestFact) * static_cast<std::size_t>(used));
    }
    ++changes_;
}

void GuestFacts::Noted(std::int32_t slot, const DhcpOptionTable &options, bool discover, bool acked,
                       std::uint32_t now) {
    GuestFact &fact = facts_[slot];
    char name[kGuestNameMax];
    const std::uint8_t nameLength = keepName(options.entries[dhcp::kOptHostName], name);
    const DhcpOptionTable::Entry &clientId = options.entries[dhcp::kOptClientId];
    const auto idLength =
        static_cast<std::uint8_t>(clientId.length < kClientIdMax ? clientId.length : kClientIdMax);
    if (nameLength != fact.nameLength || std::memcmp(name, fact.name, nameLength) != 0 ||
        idLength != fact.clientIdLength ||
        // cppcheck-suppress knownConditionTrueFalse
        (idLength != 0 && std::memcmp(clientId.data, fact.clientId, idLength) != 0)) {
        fact.nameLength = nameLength;
        std::memcpy(fact.name, name, nameLength);
        fact.clientIdLength = idLength;
        // cppcheck-suppress knownConditionTrueFalse
        if (idLength != 0) {
            std::memcpy(fact.clientId, clientId.data, idLength);
        }
        ++changes_;
    }
    if (discover && fact.firstOffer == 0) {
        fact.firstOffer = now;
    }
    if (acked) {
        if (fact.firstAck == 0) {
            fact.firstAck = now;
        }
        fact.lastAck = now;
        ++changes_;
    }
    fact.lastSeen = now;
}

std::uint32_t guestClockNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::uint32_t>(now.tv_sec);
}
