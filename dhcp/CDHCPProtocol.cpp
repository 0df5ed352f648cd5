#include "CDHCPProtocol.h"

#include "ByteOrder.h"
#include "CUDPProtocol.h"
#include "Ipv4Address.h"
#include "Packet.h"

#include <cstdint>
#include <cstring>

CDHCPProtocol::CDHCPProtocol(CUDPProtocol *lower, int attach) : lower_(lower), attach_(attach) {
    std::memset(leases_, 0, sizeof(leases_));
    if (attach_ == 1 && lower_ != nullptr) {
        // A port already taken leaves this server unregistered; nobody is told.
        lower_->Attach(this, dhcp::kServerPort);
    }
}

CDHCPProtocol::~CDHCPProtocol() {
    ClearTable();
}

void CDHCPProtocol::Release() {
    if (attach_ == 1) {
        delete this;
    }
}

std::int32_t CDHCPProtocol::Send(Packet *) {
    return PROTO_NOT_HANDLED;
}

std::int32_t CDHCPProtocol::Receive(Packet *packet) {
    if (packet == nullptr || packet->data == nullptr) {
        return PROTO_E_INVAL;
    }
    if (packet->length < dhcp::kFixedSize) {
        ++counters_.droppedMalformed;
        return PROTO_E_INVAL;
    }
    const std::uint8_t *request = packet->data;
    const std::uint32_t messageLength = packet->length;
    if (request[dhcp::kOp] != dhcp::kBootRequest) {
        ++counters_.droppedNotForUs;
        return PROTO_E_NOTFORUS;
    }
    packet->data += dhcp::kOptions;
    packet->length -= static_cast<std::uint32_t>(dhcp::kOptions);

    DhcpOptionTable options{};
    if (std::memcmp(request + dhcp::kMagicCookie, dhcp::kCookie, sizeof(dhcp::kCookie)) != 0) {
        ++counters_.droppedMalformed;
        return PROTO_E_MALFORMED;
    }
    const std::int32_t status = ParseOptions(packet, &options);
    if (status != PROTO_OK) {
        ++counters_.droppedMalformed;
        return status;
    }
    // Without a type byte there is nothing to dispatch on.
    const DhcpOptionTable::Entry &type = options.entries[dhcp::kOptMessageType];
    if (type.length == 0) {
        ++counters_.droppedMalformed;
        return PROTO_E_MALFORMED;
    }
    // ff:ff:ff:ff:ff:ff is no station's address; the table uses it for the
    // unknown holder of a declined address, which no message may pass for.
    if (std::memcmp(request + dhcp::kChaddr, kUnknownHolder, dhcp::kHwAddrSize) == 0) {
        ++counters_.droppedNotForUs;
        return PROTO_NOT_HANDLED;
    }
    switch (type.data[0]) {
    case dhcp::kDiscover:
        if (KeepNewGuest(request, messageLength)) {
            return PROTO_NOT_HANDLED; // counted when it is answered
        }
        ++counters_.discoversSeen;
        return HandleDiscover(request, options);
    case dhcp::kRequest:
        ++counters_.requestsSeen;
        return HandleRequest(request, options);
    case dhcp::kDecline:
        return HandleDecline(request, options);
    case dhcp::kRelease:
    case dhcp::kInform:
        return PROTO_NOT_HANDLED;
    default:
        ++counters_.droppedMalformed;
        return PROTO_E_MALFORMED;
    }
}

std::int32_t CDHCPProtocol::HandleDiscover(const std::uint8_t *request,
                                           const DhcpOptionTable &options) {
    Packet *reply = PacketCreate(nullptr, static_cast<std::uint32_t>(dhcp::kFixedSize));
    if (reply == nullptr) {
        return PROTO_E_NOMEM;
    }
    const std::int32_t status = BuildOffer(reply, request, &options);
    if (status == PROTO_OK && SendReply(reply) == PROTO_OK) {
        ++counters_.offersSent;
    } else if (status == PROTO_E_INVAL) {
        ++counters_.offersRefused; // the reply was sound, so no address was left
    }
    NoteGuest(request, options, true, false);
    PacketFree(reply);
    return status;
}

std::int32_t CDHCPProtocol::HandleRequest(const std::uint8_t *request,
                                          const DhcpOptionTable &options) {
    // Options 50 and 54 shorter than an address count as absent.
    const DhcpOptionTable::Entry &serverId = options.entries[dhcp::kOptServerId];
    const bool namesServer = serverId.length >= 4;
    if (namesServer && loadBe32(serverId.data, 0) != ServerAddress()) {
        ++counters_.droppedNotForUs;
        NoteGuest(request, options, false, false);
        return PROTO_E_NOTFORUS; // the guest chose another server
    }

    // The answer is decided before anything is built: the address offered to
    // this guest is acknowledged; any other address is refused with
    // PROTO_E_MALFORMED, and a request without a server identifier (a renewal
    // or reboot starts over) with PROTO_OK.
    bool acknowledge = false;
    if (namesServer) {
        const DhcpOptionTable::Entry &requested = options.entries[dhcp::kOptRequestedAddress];
        const LeaseEntry *entry =
            requested.length >= 4 ? FindByAddress(loadBe32(requested.data, 0)) : nullptr;
        acknowledge = entry != nullptr && entry->state == LEASE_OFFERED &&
                      std::memcmp(entry->hwAddr, request + dhcp::kChaddr, dhcp::kHwAddrSize) == 0;
    }

    Packet *reply = PacketCreate(nullptr, static_cast<std::uint32_t>(dhcp::kFixedSize));
    if (reply == nullptr) {
        return PROTO_E_NOMEM;
    }
    std::int32_t status = PROTO_E_MALFORMED;
    if (acknowledge) {
        status = BuildAck(reply, request, &options);
    } else if (!namesServer) {
        status = PROTO_OK;
    }
    const bool acked = acknowledge && status == PROTO_OK;
    // Only the interface reaches a failed BuildAck (PROTO_E_INVAL, nothing
    // written) and its reclaim of a stale offer: from the wire it binds an
    // address offered to this very guest, which always succeeds. The guest
    // would get a NAK with that status, as it gets one for any refusal.
    if (!acked && status != PROTO_E_NOMEM) {
        if (const std::int32_t built = BuildNak(reply, request, &options); built != PROTO_OK) {
            status = built;
        }
    }
    // A reply that could not be completed is not sent at all.
    if (status != PROTO_E_NOMEM && SendReply(reply) == PROTO_OK) {
        ++(acked ? counters_.acksSent : counters_.naksSent);
    }
    NoteGuest(request, options, false, acked);
    PacketFree(reply);
    return status;
}

std::int32_t CDHCPProtocol::SendReply(Packet *reply) {
    if (lower_ == nullptr) {
        return PROTO_E_NOLAYER;
    }
    return lower_->SendDatagram(reply, ipv4::kBroadcast, dhcp::kClientPort, dhcp::kServerPort);
}

// The guest's own entry, if the table holds one, takes what the message said.
void CDHCPProtocol::NoteGuest(const std::uint8_t *request, const DhcpOptionTable &options,
                              bool discover, bool acked) {
    const std::int32_t slot = index_.SlotOfHwAddress(request + dhcp::kChaddr);
    if (slot >= 0) {
        guests_.Noted(slot, options, discover, acked, guestClockNow());
    }
}
