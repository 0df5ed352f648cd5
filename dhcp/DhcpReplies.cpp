#include "CDHCPProtocol.h"

#include "ByteOrder.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "Packet.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace {

bool ReplyUsable(const Packet *reply) {
    return reply != nullptr && reply->data != nullptr && reply->length >= dhcp::kFixedSize;
}

struct OptionValue {
    std::uint8_t code;
    std::uint8_t length;
    const std::uint8_t *data;
};

} // namespace

std::uint32_t CDHCPProtocol::ServerAddress() const {
    if (lower_ == nullptr || lower_->GetLower() == nullptr) {
        return 0;
    }
    return lower_->GetLower()->GetAddress();
}

std::int32_t CDHCPProtocol::WriteReply(Packet *reply, const std::uint8_t *request,
                                       std::uint8_t type, std::uint32_t yiaddr) {
    const std::uint32_t server = ServerAddress();
    std::uint8_t *message = reply->data;
    std::memset(message, 0, dhcp::kFixedSize);
    message[dhcp::kOp] = dhcp::kBootReply;
    message[dhcp::kHtype] = dhcp::kHtypeEthernet;
    message[dhcp::kHlen] = dhcp::kHwAddrSize;
    std::memcpy(message + dhcp::kXid, request + dhcp::kXid, dhcp::kXidSize);
    storeBe32(message, dhcp::kYiaddr, yiaddr);
    storeBe32(message, dhcp::kSiaddr, server);
    std::memcpy(message + dhcp::kChaddr, request + dhcp::kChaddr, dhcp::kHwAddrSize);
    std::memcpy(message + dhcp::kMagicCookie, dhcp::kCookie, sizeof(dhcp::kCookie));

    std::uint8_t mask[4];
    std::uint8_t serverId[4];
    std::uint8_t renewal[4];
    std::uint8_t rebinding[4];
    std::uint8_t lease[4];
    storeBe32(mask, 0, netMask_);
    storeBe32(serverId, 0, server);
    storeBe32(renewal, 0, dhcp::kRenewalTime);
    storeBe32(rebinding, 0, dhcp::kRebindingTime);
    storeBe32(lease, 0, dhcp::kLeaseTime);

    const OptionValue messageType{dhcp::kOptMessageType, 1, &type};
    const OptionValue subnetMask{dhcp::kOptSubnetMask, 4, mask};
    const OptionValue renewalTime{dhcp::kOptRenewalTime, 4, renewal};
    const OptionValue rebindingTime{dhcp::kOptRebindingTime, 4, rebinding};
    const OptionValue leaseTime{dhcp::kOptLeaseTime, 4, lease};
    const OptionValue serverIdentifier{dhcp::kOptServerId, 4, serverId};

    // Guests have been seeing the options in these orders; keep them.
    const OptionValue offer[] = {messageType,   subnetMask, renewalTime,
                                 rebindingTime, leaseTime,  serverIdentifier};
    const OptionValue ack[] = {messageType, renewalTime,      rebindingTime,
                               leaseTime,   serverIdentifier, subnetMask};
    const OptionValue nak[] = {messageType, serverIdentifier, subnetMask};

    const OptionValue *options = nak;
    std::size_t count = std::size(nak);
    if (type == dhcp::kOffer) {
        options = offer;
        count = std::size(offer);
    } else if (type == dhcp::kAck) {
        options = ack;
        count = std::size(ack);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t status =
            AppendOption(reply, options[i].code, options[i].length, options[i].data);
        if (status != PROTO_OK) {
            return status;
        }
    }
    const std::uint8_t end = dhcp::kOptEnd;
    return PacketAppend(reply, &end, 1);
}

std::int32_t CDHCPProtocol::BuildOffer(Packet *reply, const std::uint8_t *request,
                                       const DhcpOptionTable *options) {
    if (!ReplyUsable(reply) || request == nullptr || options == nullptr) {
        return PROTO_E_INVAL;
    }
    const std::uint32_t address = OfferAddress(request + dhcp::kChaddr, request + dhcp::kXid);
    if (address == 0) {
        return PROTO_E_INVAL;
    }
    return WriteReply(reply, request, dhcp::kOffer, address);
}

std::int32_t CDHCPProtocol::BuildAck(Packet *reply, const std::uint8_t *request,
                                     const DhcpOptionTable *options) {
    if (!ReplyUsable(reply) || request == nullptr || options == nullptr) {
        return PROTO_E_INVAL;
    }
    const DhcpOptionTable::Entry &requested = options->entries[dhcp::kOptRequestedAddress];
    if (requested.length < 4 || requested.data == nullptr) {
        return PROTO_E_INVAL;
    }
    const std::uint8_t *hwAddr = request + dhcp::kChaddr;
    const std::uint8_t *xid = request + dhcp::kXid;
    std::uint32_t address = BindAddress(hwAddr, xid, loadBe32(requested.data, 0));
    if (address == 0) {
        // No slot left: give up an offer nobody took and hand this guest the
        // lowest address free after that; it stays offered.
        const std::int32_t slot = FindReclaimable();
        if (slot < 0) {
            return PROTO_E_INVAL;
        }
        RemoveAt(slot);
        address = OfferAddress(hwAddr, xid);
        if (address == 0) {
            return PROTO_E_INVAL;
        }
    }
    return WriteReply(reply, request, dhcp::kAck, address);
}

std::int32_t CDHCPProtocol::BuildNak(Packet *reply, const std::uint8_t *request,
                                     const DhcpOptionTable *options) {
    if (!ReplyUsable(reply) || request == nullptr || options == nullptr) {
        return PROTO_E_INVAL;
    }
    return WriteReply(reply, request, dhcp::kNak, 0);
}
