#include "CEthProtocol.h"

#include "ByteOrder.h"
#include "Packet.h"

#include <cstring>

namespace {
constexpr UpperTable<65536>::Codes kEthCodes{PROTO_E_NOENT, PROTO_OK, PROTO_E_NOENT};
constexpr std::uint8_t kBroadcast[eth::kAddressSize] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// Destinations whose first byte is below this stay local or go to the
// bridge only; all others go to the bridge and come back up as well.
constexpr std::uint8_t kLocalBelow = 0x10;
} // namespace

CEthProtocol::CEthProtocol(CProtocol *lower) : uppers_(kEthCodes), lower_(lower) {}

void CEthProtocol::Release() {
    delete this;
}

CEthProtocol::~CEthProtocol() {
    uppers_.DetachAll();
}

std::int32_t CEthProtocol::Attach(CProtocol *upper, std::uint32_t etherType) {
    return uppers_.Attach(upper, etherType);
}

std::int32_t CEthProtocol::Detach(std::uint32_t etherType) {
    return uppers_.Detach(etherType);
}

std::int32_t CEthProtocol::SetMac(const std::uint8_t *mac) {
    if (mac == nullptr) {
        return PROTO_E_INVAL;
    }
    std::memcpy(mac_, mac, eth::kAddressSize);
    return PROTO_OK;
}

std::int32_t CEthProtocol::ReceiveFrame(const std::uint8_t *frame, std::uint32_t size) {
    if (frame == nullptr && size != 0) {
        return PROTO_E_INVAL;
    }
    Packet *packet = PacketCreate(frame, size);
    if (packet == nullptr) {
        return PROTO_E_NOMEM;
    }
    const std::int32_t status = Receive(packet);
    PacketFree(packet);
    return status;
}

std::int32_t CEthProtocol::Receive(Packet *packet) {
    if (packet == nullptr || packet->data == nullptr) {
        return PROTO_E_INVAL;
    }
    if (packet->length < eth::kHeaderSize) {
        return PROTO_E_INVAL;
    }
    // Every frame is taken whoever it is addressed to, and padding stays
    // counted in length.
    packet->header = packet->data;
    packet->data += eth::kHeaderSize;
    packet->length -= static_cast<std::uint32_t>(eth::kHeaderSize);

    CProtocol *upper = uppers_.At(loadBe16(packet->header, eth::kEtherType));
    if (upper == nullptr) {
        return PROTO_E_NOLAYER;
    }
    return upper->Receive(packet);
}

std::int32_t CEthProtocol::SendFrame(Packet *packet, const std::uint8_t *destination,
                                     std::uint16_t etherType) {
    if (packet == nullptr) {
        return PROTO_E_INVAL;
    }
    // Nothing is sent when a block cannot be had; the packet stays whole for
    // its owner to free.
    if (std::int32_t status = PacketPrepend(packet, eth::kHeaderSize); status != PROTO_OK) {
        return status;
    }
    std::uint8_t *frame = packet->data;
    std::memcpy(frame + eth::kDestination, destination != nullptr ? destination : kBroadcast,
                eth::kAddressSize);
    std::memcpy(frame + eth::kSource, mac_, eth::kAddressSize);
    storeBe16(frame, eth::kEtherType, etherType);

    // Short frames go out 61 bytes long, filled from the start of the filler.
    if (packet->length <= eth::kPadThreshold) {
        const std::uint32_t pad = eth::kPaddedSize - packet->length;
        if (std::int32_t status =
                PacketAppend(packet, reinterpret_cast<const std::uint8_t *>(eth::kFiller), pad);
            status != PROTO_OK) {
            return status;
        }
        frame = packet->data;
    }

    if (frame[eth::kDestination] < kLocalBelow) {
        if (std::memcmp(frame + eth::kDestination, mac_, eth::kAddressSize) == 0) {
            Receive(packet);
            return PROTO_OK;
        }
        return lower_ != nullptr ? lower_->Send(packet) : PROTO_E_NOLAYER;
    }
    return Send(packet);
}

std::int32_t CEthProtocol::Send(Packet *packet) {
    if (packet == nullptr) {
        return PROTO_E_INVAL;
    }
    const std::int32_t status = lower_ != nullptr ? lower_->Send(packet) : PROTO_E_NOLAYER;
    Receive(packet);
    return status;
}
