#pragma once

#include "ArpListener.h"

#include <cstdint>

class CARPProtocol;
class CDHCPProtocol;

// Learns from the link what the lease table cannot remember: leases live in
// memory only, so after a start or a scope change the table doesn't know the
// guests that still hold addresses, nor stations configured by hand. The
// census asks for every usable pool address with ARP, as the service itself,
// and every station heard naming a pool address, in answer or in its own ARP,
// goes into the table as a bound lease of that station (LearnHolder). While
// the census runs, new guests are held back (CDHCPProtocol::HoldNewGuests);
// guests the table knows, REQUESTs, ARP and signals are served as ever.
//
// It never blocks: the main loop calls Pump after every pass, the wake-up
// timer making sure passes come while the link is quiet. Requests are paced
// at kRequestsPerSecond, at most kBurst at once, so a /16 pool takes about
// three seconds and the bridge is never flooded. After the last request the
// census waits kReplyWaitNs for late answers: guests on a host's bridge answer
// in well under a millisecond and a loaded VM in tens of milliseconds, so a
// quarter of a second covers them with room, while a /24 census stays under
// the half second a new guest may wait. Answers that come later still teach
// the table (the listener stays in place), unless the address was confirmed
// to a new guest meanwhile.
class AddressCensus : public ArpListener {
public:
    static constexpr std::uint32_t kRequestsPerSecond = 20000;
    static constexpr std::uint32_t kBurst = 100;
    static constexpr std::int64_t kReplyWaitNs = 250LL * 1000 * 1000;

    AddressCensus(CARPProtocol &arp, CDHCPProtocol &dhcp);

    AddressCensus(const AddressCensus &) = delete;
    AddressCensus &operator=(const AddressCensus &) = delete;

    // Starts (or starts again) a sweep of the server's usable pool at time
    // `nowNs` (any monotonic clock) and holds new guests back. A pool without
    // usable addresses asks nothing and only waits.
    void Start(std::int64_t nowNs);
    // Sends the requests the pace allows by `nowNs`, and ends the census
    // once the wait after the last one is over: new guests kept meanwhile
    // are answered then. True while the census still runs.
    bool Pump(std::int64_t nowNs);
    bool Running() const { return running_; }

    // Addresses asked for, and holders learned, by the census last started.
    std::uint32_t Asked() const { return asked_; }
    std::uint32_t Learned() const { return learned_; }

    void Heard(std::uint32_t address, const std::uint8_t *hwAddr) override;

    virtual ~AddressCensus() = default;

private:
    CARPProtocol &arp_;
    CDHCPProtocol &dhcp_;
    bool running_ = false;
    std::int64_t startNs_ = 0;
    std::int64_t lastSentNs_ = 0;
    std::uint32_t next_ = 0; // the next address to ask for
    std::uint32_t last_ = 0;
    bool swept_ = false; // every address up to last_ was asked for
    std::uint32_t asked_ = 0;
    std::uint32_t learned_ = 0;
};
