#include "AddressReclaimer.h"

#include "CARPProtocol.h"
#include "CDHCPProtocol.h"

#include <cstring>
#include <utility>

namespace {
constexpr std::int64_t kProbeGapNs = 1000LL * 1000 * 1000 / AddressReclaimer::kProbesPerSecond;
} // namespace

AddressReclaimer::AddressReclaimer(CARPProtocol &arp, CDHCPProtocol &dhcp, ArpListener *next)
    : arp_(arp), dhcp_(dhcp), next_(next) {}

std::uint32_t AddressReclaimer::ProbesOut() const {
    std::uint32_t out = 0;
    for (const Probe &probe : probes_) {
        out += probe.out ? 1 : 0;
    }
    return out;
}

bool AddressReclaimer::Busy() const {
    return dhcp_.Counters().offersRefused != refusalsSeen_ || roundOpen_;
}

bool AddressReclaimer::Pump(std::int64_t nowNs) {
    if (!Busy()) {
        return false; // the common case: nobody is waiting for an address
    }
    const std::uint64_t refusals = dhcp_.Counters().offersRefused;
    if (refusals != refusalsSeen_) {
        const std::uint64_t more = refusals - refusalsSeen_;
        refusalsSeen_ = refusals;
        wanted_ =
            more >= kMaxWanted - wanted_ ? kMaxWanted : wanted_ + static_cast<std::uint32_t>(more);
    }
    if (!roundOpen_) {
        FillCandidates();
        roundOpen_ = true;
    }
    Settle(nowNs);
    const bool paced = !sentBefore_ || nowNs - lastSentNs_ >= kProbeGapNs;
    if (paced && wanted_ > 0 && ProbesOut() < kInFlight) {
        // One request per pass at most: the pace, not the link, decides.
        while (nextCandidate_ < candidates_.size() && !Send(candidates_[nextCandidate_++], nowNs)) {
        }
    }
    if (ProbesOut() == 0 && wanted_ > 0 && nextCandidate_ >= candidates_.size() && offersRound_) {
        // The offers ran out before enough came back: confirmed leases next,
        // unless offers came meanwhile.
        FillCandidates();
        if (!candidates_.empty()) {
            return true;
        }
    }
    if (ProbesOut() == 0 && (wanted_ == 0 || nextCandidate_ >= candidates_.size())) {
        // Asked for is reclaimed, or nothing is left to ask about: the next
        // guest that finds the pool full starts a new round.
        roundOpen_ = false;
        wanted_ = 0;
        candidates_.clear();
        nextCandidate_ = 0;
        return false;
    }
    return true;
}

void AddressReclaimer::Settle(std::int64_t nowNs) {
    for (Probe &probe : probes_) {
        if (!probe.out || nowNs - probe.sentNs < kReplyWaitNs) {
            continue;
        }
        probe.out = false;
        if (probe.answered) {
            continue;
        }
        // Only the very entry that was asked about goes: a guest that
        // confirmed its offer meanwhile, or an address given to someone
        // else, stays.
        const LeaseEntry *entry = dhcp_.FindByAddress(probe.address);
        if (entry == nullptr || entry->state != probe.state ||
            std::memcmp(entry->hwAddr, probe.hwAddr, sizeof(probe.hwAddr)) != 0) {
            continue;
        }
        if (dhcp_.RemoveByAddress(probe.address) == 0) {
            ++reclaimed_;
            lastReclaimed_ = probe.address;
            if (wanted_ > 0) {
                --wanted_;
            }
        }
    }
}

bool AddressReclaimer::Send(std::uint32_t address, std::int64_t nowNs) {
    const LeaseEntry *entry = dhcp_.FindByAddress(address);
    if (entry == nullptr) {
        return false; // gone since the round began
    }
    for (Probe &probe : probes_) {
        if (probe.out) {
            continue;
        }
        probe.out = true;
        probe.answered = false;
        probe.address = address;
        std::memcpy(probe.hwAddr, entry->hwAddr, sizeof(probe.hwAddr));
        probe.state = entry->state;
        probe.sentNs = nowNs;
        arp_.SendRequest(address);
        ++probed_;
        sentBefore_ = true;
        lastSentNs_ = nowNs;
        return true;
    }
    return false;
}

void AddressReclaimer::FillCandidates() {
    candidates_.clear();
    nextCandidate_ = 0;
    offersRound_ = false;
    const LeaseEntry(&leases)[kLeaseSlots] = dhcp_.Leases();
    if (leases[0].state == LEASE_FREE) {
        return;
    }
    // The chain is in ascending address order: offers are gathered and then
    // taken from the top down.
    std::vector<std::uint32_t> walkedPast;
    std::vector<std::uint32_t> fresh;
    std::vector<std::uint32_t> bound;
    for (std::int32_t slot = 0; slot != kChainEnd; slot = leases[slot].next) {
        const LeaseEntry &entry = leases[slot];
        if (entry.state == LEASE_OFFERED) {
            (entry.age != 0 ? walkedPast : fresh).push_back(entry.ipAddr);
        } else {
            bound.push_back(entry.ipAddr);
        }
    }
    candidates_.assign(walkedPast.rbegin(), walkedPast.rend());
    candidates_.insert(candidates_.end(), fresh.rbegin(), fresh.rend());
    // Confirmed leases only once no offer is left: while a flood goes on
    // there are always offers, and an answer lost among its frames must not
    // cost a live guest its address.
    offersRound_ = !candidates_.empty();
    if (!offersRound_) {
        candidates_ = std::move(bound);
    }
}

void AddressReclaimer::Heard(std::uint32_t address, const std::uint8_t *hwAddr) {
    for (Probe &probe : probes_) {
        if (probe.out && probe.address == address) {
            probe.answered = true;
        }
    }
    if (next_ != nullptr) {
        next_->Heard(address, hwAddr);
    }
}
