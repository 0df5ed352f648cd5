#pragma once

#include "DhcpMessage.h"
#include "LeaseEntry.h"
#include "LeaseIndex.h"
#include "SlotSet.h"

#include "CProtocol.h"

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

    // Lease table.
    std::int32_t InitScope(std::uint32_t start, std::uint32_t end, std::uint32_t mask);
    LeaseEntry *FindByAddress(std::uint32_t address);
    LeaseEntry *FindByHwAddress(const std::uint8_t *hwAddr);
    std::uint32_t OfferAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid);
    std::uint32_t BindAddress(const std::uint8_t *hwAddr, const std::uint8_t *xid,
                              std::uint32_t address);
    std::int32_t RemoveAt(std::int32_t slot);
    std::int32_t RemoveByHwAddress(const std::uint8_t *hwAddr);
    std::int32_t RemoveByAddress(std::uint32_t address);
    std::int32_t FindReclaimable() const;

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

    std::uint32_t poolStart = 0;
    std::uint32_t poolEnd = 0;
    std::uint32_t netMask = 0;
    LeaseEntry leases[kLeaseSlots];

private:
    std::int32_t LowestFreeSlot();
    void FillSlot(std::int32_t slot, const std::uint8_t *hwAddr, std::uint32_t address,
                  std::uint32_t state, const std::uint8_t *xid, std::int32_t next);
    void MarkUsed(std::int32_t slot);
    void ClearSlot(std::int32_t slot);
    void ClearTable();
    std::int32_t SlotOfAddress(std::uint32_t address) const;
    void IndexSlot(std::int32_t slot);
    void UnindexSlot(std::int32_t slot);
    void MoveEntry(std::int32_t from, std::int32_t to);
    bool InRunPastStart(std::uint32_t address) const;
    void SyncRun();
    void ExtendRun();
    void ForgetAddress(std::uint32_t address);
    std::uint32_t ServerAddress() const;
    std::int32_t WriteReply(Packet *reply, const std::uint8_t *request, std::uint8_t type,
                            std::uint32_t yiaddr);
    std::int32_t HandleDiscover(const std::uint8_t *request, const DhcpOptionTable &options);
    std::int32_t HandleRequest(const std::uint8_t *request, const DhcpOptionTable &options);
    void SendReply(Packet *reply);

    CUDPProtocol *lower_;
    int attach_;
    // One past the highest slot that may be in use: every slot from here up is
    // free, so scans stop here instead of at the end of the array.
    std::int32_t highWater_ = 0;
    // Every slot below this one is in use: the search for the lowest free slot
    // starts here.
    std::int32_t lowestFree_ = 0;
    // Every used slot, by address and by hardware address.
    LeaseIndex byAddress_;
    LeaseIndex byHwAddress_;
    // The run of addresses from runBase_ (the pool start) that the chain holds
    // without a gap, as far as it is known: runBase_ to runBase_ + runLength_ - 1
    // are all held, and further held addresses are taken in when a new guest
    // needs the first one after the run.
    std::uint32_t runBase_ = 0;
    std::uint32_t runLength_ = 0;
    // The offered entries of that run other than its first: the entries a new
    // guest's allocation walks past and ages.
    SlotSet runOffered_;
};
