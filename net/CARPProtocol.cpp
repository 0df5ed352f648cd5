#include "CARPProtocol.h"

#include "ArpListener.h"
#include "ByteOrder.h"
#include "CEthProtocol.h"
#include "Ipv4Address.h"
#include "Packet.h"

#include <cstring>

namespace {
constexpr std::size_t kBroadcastEntry = 0;
constexpr std::size_t kOwnEntry = 1;
constexpr std::uint16_t kHardwareEthernet = 1;
constexpr std::uint8_t kIPv4AddressSize = 4;

// A station's own hardware address: not a group address (its first bit
// set, the broadcast among them) and not all zero.
bool isStationAddress(const std::uint8_t *hw) {
    static constexpr std::uint8_t kZero[eth::kAddressSize] = {};
    return (hw[0] & 0x01) == 0 && std::memcmp(hw, kZero, eth::kAddressSize) != 0;
}

// The fixed head of every message sent: Ethernet and IPv4 address sizes.
void writeHead(std::uint8_t *message, std::uint16_t operation) {
    storeBe16(message, arp::kHardwareType, kHardwareEthernet);
    storeBe16(message, arp::kProtocolType, eth::kTypeIPv4);
    message[arp::kHardwareLength] = eth::kAddressSize;
    message[arp::kProtocolLength] = kIPv4AddressSize;
    storeBe16(message, arp::kOperation, operation);
}
} // namespace

CARPProtocol::CARPProtocol(CEthProtocol *lower, int attach) : lower_(lower), attach_(attach) {
    if (attach_ == kAttach && lower_ != nullptr) {
        lower_->Attach(this, eth::kTypeARP);
    }
}

void CARPProtocol::Release() {
    if (attach_ == kAttach) {
        delete this;
    }
}

CARPProtocol::~CARPProtocol() {
    std::memset(neighbours_, 0, sizeof neighbours_);
}

std::int32_t CARPProtocol::Send(Packet *) {
    return PROTO_NOT_HANDLED;
}

std::int32_t CARPProtocol::Configure(std::uint32_t address, std::uint32_t mask,
                                     const std::uint8_t *mac) {
    // The broadcast entry is set even by a call that fails below.
    std::memset(neighbours_[kBroadcastEntry].hwAddr, 0xFF, eth::kAddressSize);
    if (mac == nullptr || (address & mask) == 0) {
        return PROTO_E_INVAL;
    }
    Neighbour &own = neighbours_[kOwnEntry];
    own.ipAddr = address;
    std::memcpy(own.hwAddr, mac, eth::kAddressSize);
    own.reserved1 = 0;
    own.reserved2 = 0;
    mask_ = mask;
    return PROTO_OK;
}

const std::uint8_t *CARPProtocol::Resolve(std::uint32_t address) const {
    if (ipv4::isBroadcastFor(address, mask_)) {
        return neighbours_[kBroadcastEntry].hwAddr;
    }
    if (address == neighbours_[kOwnEntry].ipAddr) {
        return neighbours_[kOwnEntry].hwAddr;
    }
    return nullptr;
}

std::int32_t CARPProtocol::Receive(Packet *packet) {
    if (packet == nullptr) {
        return PROTO_NOT_HANDLED;
    }
    if (packet->data == nullptr || packet->length < arp::kMessageSize) {
        return PROTO_E_INVAL;
    }
    std::uint8_t *request = packet->data;
    toHost16(request, arp::kHardwareType);
    toHost16(request, arp::kProtocolType);
    toHost16(request, arp::kOperation);
    toHost32(request, arp::kSenderProtocol);
    toHost32(request, arp::kTargetProtocol);

    if (loadHost16(request, arp::kProtocolType) != eth::kTypeIPv4) {
        return PROTO_NOT_HANDLED;
    }
    const Neighbour &own = neighbours_[kOwnEntry];
    const std::uint32_t sender = loadHost32(request, arp::kSenderProtocol);
    const std::uint8_t *senderHw = request + arp::kSenderHardware;
    if (listener_ != nullptr && sender != 0 && isStationAddress(senderHw) &&
        std::memcmp(senderHw, own.hwAddr, eth::kAddressSize) != 0) {
        listener_->Heard(sender, senderHw);
    }
    if (loadHost32(request, arp::kTargetProtocol) != own.ipAddr) {
        return PROTO_E_NOTFORUS;
    }
    if (loadHost16(request, arp::kOperation) != arp::kOpRequest) {
        return PROTO_NOT_HANDLED;
    }

    Packet *reply = PacketCreate(nullptr, arp::kMessageSize);
    if (reply == nullptr) {
        return PROTO_E_NOMEM;
    }
    // The reply goes to the sender named inside the message, not to the
    // frame's source address.
    std::uint8_t requester[eth::kAddressSize];
    std::memcpy(requester, request + arp::kSenderHardware, sizeof requester);

    std::uint8_t *message = reply->data;
    writeHead(message, arp::kOpReply);
    std::memcpy(message + arp::kSenderHardware, own.hwAddr, eth::kAddressSize);
    storeBe32(message, arp::kSenderProtocol, own.ipAddr);
    std::memcpy(message + arp::kTargetHardware, requester, eth::kAddressSize);
    storeBe32(message, arp::kTargetProtocol, sender);

    if (lower_ != nullptr) {
        lower_->SendFrame(reply, requester, eth::kTypeARP);
    }
    PacketFree(reply);
    return PROTO_NOT_HANDLED;
}

std::int32_t CARPProtocol::SendRequest(std::uint32_t target) {
    const Neighbour &own = neighbours_[kOwnEntry];
    if (own.ipAddr == 0 || lower_ == nullptr) {
        return PROTO_E_INVAL;
    }
    Packet *request = PacketCreate(nullptr, arp::kMessageSize);
    if (request == nullptr) {
        return PROTO_E_NOMEM;
    }
    // The target hardware address stays zero: it is what is asked for.
    std::uint8_t *message = request->data;
    writeHead(message, arp::kOpRequest);
    std::memcpy(message + arp::kSenderHardware, own.hwAddr, eth::kAddressSize);
    storeBe32(message, arp::kSenderProtocol, own.ipAddr);
    storeBe32(message, arp::kTargetProtocol, target);
    const std::int32_t status = lower_->SendFrame(request, nullptr, eth::kTypeARP);
    PacketFree(request);
    return status;
}
