#include "CDHCPProtocol.h"

#include "ByteOrder.h"
#include "CARPProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "Packet.h"

#include <cstring>

// What the server does so that no address goes to a second guest beside the
// lease table's own rules: a guest that found its address in use declines
// it, and new guests wait while the service learns who holds what.

// A DHCPDECLINE names the address (option 50) that the guest found answered
// by another station. The guest's entry gives the address up to its unknown
// holder, so nobody is offered it again and the guest, no longer known, is
// offered the lowest free address next time. A request for the address finds
// out who holds it: the answer replaces the unknown holder (LearnHolder). A
// DECLINE gets no reply, and one that names another server, an address the
// table doesn't give to this guest, or none, changes nothing.
std::int32_t CDHCPProtocol::HandleDecline(const std::uint8_t *request,
                                          const DhcpOptionTable &options) {
    const DhcpOptionTable::Entry &serverId = options.entries[dhcp::kOptServerId];
    if (serverId.length >= 4 && loadBe32(serverId.data, 0) != ServerAddress()) {
        return PROTO_NOT_HANDLED;
    }
    const DhcpOptionTable::Entry &requested = options.entries[dhcp::kOptRequestedAddress];
    if (requested.length < 4) {
        return PROTO_NOT_HANDLED;
    }
    const std::uint32_t address = loadBe32(requested.data, 0);
    const std::int32_t slot = index_.SlotOfAddress(address);
    if (slot < 0 ||
        std::memcmp(leases_[slot].hwAddr, request + dhcp::kChaddr, dhcp::kHwAddrSize) != 0) {
        return PROTO_NOT_HANDLED;
    }
    RemoveAt(slot);
    BindAddress(kUnknownHolder, request + dhcp::kXid, address);
    if (lower_ != nullptr && lower_->GetLower() != nullptr &&
        lower_->GetLower()->Arp() != nullptr) {
        lower_->GetLower()->Arp()->SendRequest(address);
    }
    return PROTO_NOT_HANDLED;
}

bool CDHCPProtocol::KeepNewGuest(const std::uint8_t *message, std::uint32_t length) {
    if (!holdingNewGuests_ || index_.SlotOfHwAddress(message + dhcp::kChaddr) >= 0) {
        return false;
    }
    // A message that does not fit is dropped all the same: answering it now
    // could give away an address whose holder has not been heard yet.
    held_.Keep(message, length);
    return true;
}

void CDHCPProtocol::HoldNewGuests(bool hold) {
    holdingNewGuests_ = hold;
    if (hold) {
        return;
    }
    // Each kept message goes up again as it came; one that cannot be copied
    // now is left to the guest's retry.
    for (std::size_t n = 0; n < held_.Count(); ++n) {
        Packet *packet = PacketCreate(held_.Message(n), held_.Length(n));
        if (packet != nullptr) {
            Receive(packet);
            PacketFree(packet);
        }
    }
    held_.Clear();
}
