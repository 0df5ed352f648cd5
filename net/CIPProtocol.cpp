#include "CIPProtocol.h"

#include "ByteOrder.h"
#include "CARPProtocol.h"
#include "CEthProtocol.h"
#include "Checksum.h"
#include "Packet.h"

namespace {
constexpr UpperTable<256>::Codes kIpCodes{PROTO_E_INVAL, PROTO_E_INVAL, PROTO_E_INVAL};
constexpr std::uint32_t kMaxProtocol = 255;
constexpr std::uint32_t kMaxTotalLength = 0xFFFF;
} // namespace

CIPProtocol::CIPProtocol(CEthProtocol *lower, int attach)
    : attach_(attach), uppers_(kIpCodes), lower_(lower) {
    // Without an Ethernet layer a responder could be registered nowhere and
    // released by nobody, so none is made.
    if (attach_ == kAttach && lower_ != nullptr) {
        arp_ = new CARPProtocol(lower_, kAttach);
        lower_->Attach(this, eth::kTypeIPv4);
    }
}

void CIPProtocol::Release() {
    if (attach_ == kAttach) {
        delete this;
    }
}

CIPProtocol::~CIPProtocol() {
    uppers_.DetachAll();
    // The Ethernet table holds the responder's registration and releases it.
    arp_ = nullptr;
}

std::int32_t CIPProtocol::Attach(CProtocol *upper, std::uint32_t protocol) {
    return uppers_.Attach(upper, protocol);
}

std::int32_t CIPProtocol::Detach(std::uint32_t protocol) {
    return uppers_.Detach(protocol);
}

std::int32_t CIPProtocol::SetAddress(std::uint32_t address, std::uint32_t mask) {
    address_ = address;
    mask_ = mask;
    if (arp_ != nullptr && lower_ != nullptr) {
        arp_->Configure(address_, mask_, lower_->GetMac());
    }
    return PROTO_OK;
}

std::int32_t CIPProtocol::Receive(Packet *packet) {
    if (packet == nullptr || packet->data == nullptr || packet->length < ipv4::kHeaderSize) {
        return PROTO_E_INVAL;
    }
    // Always 20 bytes: options, if any, become the start of the payload, and
    // the total length does not trim the packet.
    std::uint8_t *header = packet->data;
    packet->data += ipv4::kHeaderSize;
    packet->length -= static_cast<std::uint32_t>(ipv4::kHeaderSize);

    // A correct header sums to 0xFFFF; only all-zero words sum to 0.
    const std::uint16_t sum = checksumFold(checksumAdd(0, header, ipv4::kHeaderSize));
    if (sum != 0xFFFF && sum != 0) {
        return PROTO_E_MALFORMED;
    }

    toHost16(header, ipv4::kTotalLength);
    toHost16(header, ipv4::kIdentification);
    toHost16(header, ipv4::kFragment);
    toHost32(header, ipv4::kSource);
    toHost32(header, ipv4::kDestination);

    const std::uint32_t destination = loadHost32(header, ipv4::kDestination);
    if (destination != address_ && !ipv4::isBroadcastFor(destination, mask_)) {
        return PROTO_E_NOTFORUS;
    }

    CProtocol *upper = uppers_.At(header[ipv4::kProtocol]);
    if (upper == nullptr) {
        return PROTO_E_NOENT;
    }
    return upper->Receive(packet);
}

std::int32_t CIPProtocol::SendPacket(Packet *packet, std::uint32_t destination,
                                     std::uint32_t protocol) {
    if (packet == nullptr || protocol > kMaxProtocol) {
        return PROTO_E_INVAL;
    }
    // The total length field has 16 bits; a longer datagram would go out with
    // a wrong length, so it is refused with the packet untouched.
    if (packet->length > kMaxTotalLength - ipv4::kHeaderSize) {
        return PROTO_E_INVAL;
    }
    if (std::int32_t status = PacketPrepend(packet, ipv4::kHeaderSize); status != PROTO_OK) {
        return status;
    }

    std::uint8_t *header = packet->data;
    header[ipv4::kVersionIhl] = ipv4::kVersion4Ihl5;
    header[ipv4::kTos] = 0;
    storeBe16(header, ipv4::kTotalLength, static_cast<std::uint16_t>(packet->length));
    storeBe16(header, ipv4::kIdentification, identification_++);
    storeBe16(header, ipv4::kFragment, 0);
    header[ipv4::kTtl] = ttl_;
    header[ipv4::kProtocol] = static_cast<std::uint8_t>(protocol);
    storeBe32(header, ipv4::kSource, address_);
    storeBe32(header, ipv4::kDestination, destination);
    const std::uint16_t checksum = internetChecksum(header, ipv4::kHeaderSize);
    storeBe16(header, ipv4::kChecksum, checksum == 0 ? 0xFFFF : checksum);

    // The responder knows only broadcasts and the own address.
    const std::uint8_t *hardware = arp_ != nullptr ? arp_->Resolve(destination) : nullptr;
    if (hardware == nullptr) {
        return PROTO_E_UNRESOLVED;
    }
    if (lower_ == nullptr) {
        return PROTO_E_NOLAYER;
    }
    return lower_->SendFrame(packet, hardware, eth::kTypeIPv4);
}

std::int32_t CIPProtocol::Send(Packet *packet) {
    return lower_ != nullptr ? lower_->Send(packet) : PROTO_E_NOLAYER;
}
