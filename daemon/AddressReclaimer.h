#pragma once

#include "ArpListener.h"

#include <cstdint>
#include <vector>

class CARPProtocol;
class CDHCPProtocol;

// Gives back addresses that nobody holds any more. Leases never expire by
// time, so a guest that went away keeps its address, and a port that sends
// DISCOVERs from made-up hardware addresses takes the whole pool. Whenever a
// new guest found no address (DhcpCounters::offersRefused grew), the
// reclaimer asks for candidate addresses with ARP, as the service, and
// removes the entry of each that stayed silent for kReplyWaitNs; an entry
// whose address any station named meanwhile, or that changed (confirmed,
// given to another guest), stays. A live guest answers, so it never loses its
// address. The guest that found the pool full is served at its next
// DISCOVER: clients retry within seconds, and nothing is held back.
//
// Candidates, in order: offered entries nobody confirmed, those that later
// allocations walked past first, each group from the highest address down
// (the order in which the table gives up offers when it runs out of slots);
// then, once no offer is left, confirmed entries, the unknown holders of
// declined addresses among them, from the lowest address up. One round walks that list once, with
// up to kInFlight requests out, so that live guests ahead in the list cost
// no more than the pace; it stops asking once as many addresses came back
// as guests were refused, or the list ran out. Every silent address goes
// back, the few still out when enough came back among them: nobody holds
// them.
//
// It never blocks: the main loop calls Pump after every pass, and the
// wake-up timer ticks while probes are out. Requests are paced at
// kProbesPerSecond, at most kInFlight at once, whatever the link sends, so
// a flood of DISCOVERs costs the bridge no more than that.
//
// It is the ARP responder's listener and passes everything it hears on to
// `next` (the census), so the table learns holders as before.
class AddressReclaimer : public ArpListener {
public:
    static constexpr std::uint32_t kProbesPerSecond = 50;
    static constexpr std::uint32_t kInFlight = 16;
    // At most this many addresses asked for at once, however many guests
    // found the pool full meanwhile.
    static constexpr std::uint32_t kMaxWanted = 16;
    static constexpr std::int64_t kReplyWaitNs = 250LL * 1000 * 1000;

    AddressReclaimer(CARPProtocol &arp, CDHCPProtocol &dhcp, ArpListener *next);

    AddressReclaimer(const AddressReclaimer &) = delete;
    AddressReclaimer &operator=(const AddressReclaimer &) = delete;

    // Whether a guest is waiting for an address, or a round is still open:
    // without, Pump has nothing to do, and the loop needn't read the clock.
    bool Busy() const;
    // Looks at the refusals since the last call, settles the probes whose
    // wait is over and sends what the pace allows by `nowNs` (any monotonic
    // clock). True while probes are out or addresses are still wanted.
    bool Pump(std::int64_t nowNs);

    // Addresses given back since the reclaimer was built, and the last one.
    std::uint32_t Reclaimed() const { return reclaimed_; }
    std::uint32_t LastReclaimed() const { return lastReclaimed_; }
    std::uint32_t Probed() const { return probed_; }

    void Heard(std::uint32_t address, const std::uint8_t *hwAddr) override;

    virtual ~AddressReclaimer() = default;

private:
    struct Probe {
        bool out = false;
        bool answered = false;
        std::uint32_t address = 0;
        std::uint8_t hwAddr[6] = {};
        std::uint32_t state = 0;
        std::int64_t sentNs = 0;
    };

    void Settle(std::int64_t nowNs);
    void FillCandidates();
    bool Send(std::uint32_t address, std::int64_t nowNs);
    std::uint32_t ProbesOut() const;

    CARPProtocol &arp_;
    CDHCPProtocol &dhcp_;
    ArpListener *next_;
    Probe probes_[kInFlight];
    std::vector<std::uint32_t> candidates_;
    std::size_t nextCandidate_ = 0;
    bool roundOpen_ = false;
    bool offersRound_ = false; // the candidates are offers, not leases
    std::uint64_t refusalsSeen_ = 0;
    std::uint32_t wanted_ = 0;
    bool sentBefore_ = false;
    std::int64_t lastSentNs_ = 0;
    std::uint32_t reclaimed_ = 0;
    std::uint32_t lastReclaimed_ = 0;
    std::uint32_t probed_ = 0;
};
