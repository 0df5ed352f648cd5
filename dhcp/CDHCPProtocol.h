#pragma once

#include "DhcpCounters.h"
#include "DhcpMessage.h"
#include "GuestFacts.h"
#include "HeldDiscovers.h"
#include "LeaseEntry.h"
#include "LeaseIndex.h"

#include "CProtocol.h"
#include "Ipv4Address.h"

#include <cstdint>

class CUDPProtocol;

// The DHCP server: answers DHCPDISCOVER with DHCPOFFER and DHCPREQUEST with
// DHCPACK or DHCPNAK, always by broadcast to port 68, from an in-memory lease
// table that lives inside the object.
class CDHCPProtocol : public CProtocol {
public:
    CDHCPProtocol(CUDPProtocol *lower, int attach);

    void Release() override;
    std::int32_t Send(Packet *packet) override;
    std::int32_t Receive(Packet *packet) override;

    virtual ~CDHCPProtocol();

    CDHCPProtocol(const CDHCPProtocol &) = delete;
    CDHCPProtocol &operator=(const CDHCPProtocol &) = delete;

    // Lease table. An entry found is the table's own, for reading: a write
    // through it would put it out of step with the index.
    std::int32_t InitScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask);
    LeaseEntry *FindByAddress(std::uint32_t address);
    LeaseEntry *FindByHwAddress(const std::uint8_t *hwAddr);
    std::uint32_t OfferAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid);
    std::uint32_t BindAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid,
                              std::uint32_t address);
    std::int32_t RemoveAt(std::int32_t slot);
    // Prescribed parts of the table's interface that no message handling
    // uses (only the tests call them); keep them.
    std::int32_t RemoveByHwAddress(const std::uint8_t *hwAddr);
    std::int32_t RemoveByAddress(std::uint32_t address);
    std::int32_t FindReclaimable() const;
    // A station showed that it holds `address` (it sent or answered ARP for
    // it). The table records it as a bound lease of that station, unless the
    // address is outside the usable pool, is the station's already, or is
    // bound to another guest; another guest's mere offer, or the unknown
    // holder of a declined address, gives way. True when the table changed.
    bool LearnHolder(const std::uint8_t *hwAddr, std::uint32_t address);
    // The pool's addresses a guest can use: from the pool start to its end,
    // within the server's subnet and without its network and broadcast
    // addresses. Without a lower layer (no server address) the whole pool.
    ipv4::HostRange UsablePool() const;

    // While held, a DHCPDISCOVER from a guest the table doesn't know is kept
    // (up to HeldDiscovers::kCapacity of them) instead of answered, so that
    // nobody is offered an address before the service has learned who holds
    // what. Releasing answers the kept ones, in the order they came.
    void HoldNewGuests(bool hold);
    bool HoldingNewGuests() const { return holdingNewGuests_; }

    // Message format.
    std::int32_t ParseOptions(Packet *packet, DhcpOptionTable *table);
    std::int32_t AppendOption(Packet *packet, std::uint8_t code, std::uint8_t length,
                              const std::uint8_t *data);
    std::int32_t BuildOffer(Packet *reply, const std::uint8_t *request,
                            const DhcpOptionTable *options);
    std::int32_t BuildAck(Packet *reply, const std::uint8_t *request,
                          const DhcpOptionTable *options);
    std::int32_t BuildNak(Packet *reply, const std::uint8_t *request,
                          const DhcpOptionTable *options);

    // Read access for tests and checkers; only the operations above change
    // the table, and only InitScope sets the pool.
    const LeaseEntry (&Leases() const)[kLeaseSlots] { return leases_; }
    std::uint32_t PoolStart() const { return poolStart_; }
    std::uint32_t PoolEnd() const { return poolEnd_; }

    // What was seen and answered since the server was built.
    const DhcpCounters &Counters() const { return counters_; }

    // What guests said about themselves, slot by slot beside Leases(), and a
    // count that grows with each change a snapshot should show.
    const GuestFact *Guests() const { return guests_.All(); }
    std::uint32_t GuestChanges() const { return guests_.Changes(); }

private:
    void FillSlot(std::int32_t slot, const std::uint8_t *hwAddr, std::uint32_t address,
                  std::uint32_t state, const std::uint8_t *xid, std::int32_t next);
    void SetState(std::int32_t slot, std::uint32_t state);
    void MoveEntry(std::int32_t from, std::int32_t to);
    void ClearSlot(std::int32_t slot);
    void ClearTable();
    std::uint32_t ServerAddress() const;
    std::int32_t WriteReply(Packet *reply, const std::uint8_t *request, std::uint8_t type,
                            std::uint32_t yiaddr);
    std::int32_t HandleDiscover(const std::uint8_t *request, const DhcpOptionTable &options);
    std::int32_t HandleRequest(const std::uint8_t *request, const DhcpOptionTable &options);
    std::int32_t HandleDecline(const std::uint8_t *request, const DhcpOptionTable &options);
    bool KeepNewGuest(const std::uint8_t *message, std::uint32_t length);
    std::int32_t SendReply(Packet *reply);
    void NoteGuest(const std::uint8_t *request, const DhcpOptionTable &options, bool discover,
                   bool acked);

    CUDPProtocol *lower_;
    int attach_;
    std::uint32_t poolStart_ = 0;
    std::uint32_t poolEnd_ = 0;
    std::uint32_t netMask_ = 0;
    // The slots; used ones form one chain from slot 0 in ascending address
    // order. Every write to them goes through FillSlot, SetState, MoveEntry or
    // ClearSlot (which tell index_), except the chain links, which the index
    // does not read.
    LeaseEntry leases_[kLeaseSlots];
    LeaseIndex index_{leases_};
    // Follows the slots as the index does, through the same four helpers.
    GuestFacts guests_;
    DhcpCounters counters_;
    bool holdingNewGuests_ = false;
    HeldDiscovers held_;
};
