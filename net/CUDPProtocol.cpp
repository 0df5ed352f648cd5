#include "CUDPProtocol.h"

#include "ByteOrder.h"
#include "CIPProtocol.h"
#include "Checksum.h"
#include "Packet.h"

namespace {
constexpr UpperTable<65536>::Codes kUdpCodes{PROTO_E_INVAL, PROTO_E_INVAL, PROTO_E_INVAL};
constexpr std::uint32_t kMaxPort = 0xFFFF;
// The largest payload whose UDP and IPv4 length fields both still count it.
constexpr std::uint32_t kMaxPayload = 0xFFFF - udp::kHeaderSize - ipv4::kHeaderSize;
} // namespace

CUDPProtocol::CUDPProtocol(CIPProtocol *lower, int attach)
    : uppers_(kUdpCodes), lower_(lower), attach_(attach) {
    if (attach_ == kAttach && lower_ != nullptr) {
        lower_->Attach(this, ipv4::kProtocolUDP);
    }
}

void CUDPProtocol::Release() {
    if (attach_ == kAttach) {
        delete this;
    }
}

CUDPProtocol::~CUDPProtocol() {
    uppers_.DetachAll();
}

std::int32_t CUDPProtocol::Attach(CProtocol *upper, std::uint32_t port) {
    return uppers_.Attach(upper, port);
}

std::int32_t CUDPProtocol::Detach(std::uint32_t port) {
    return uppers_.Detach(port);
}

std::int32_t CUDPProtocol::Receive(Packet *packet) {
    if (packet == nullptr || packet->data == nullptr || packet->length < udp::kHeaderSize) {
        return PROTO_E_INVAL;
    }
    // The checksum is not verified and the length field does not trim.
    std::uint8_t *header = packet->data;
    packet->data += udp::kHeaderSize;
    packet->length -= static_cast<std::uint32_t>(udp::kHeaderSize);
    toHost16(header, udp::kSourcePort);
    toHost16(header, udp::kDestinationPort);
    toHost16(header, udp::kLength);

    CProtocol *upper = uppers_.At(loadHost16(header, udp::kDestinationPort));
    if (upper == nullptr) {
        return PROTO_E_NOENT;
    }
    return upper->Receive(packet);
}

std::int32_t CUDPProtocol::SendDatagram(Packet *packet, std::uint32_t destination,
                                        std::uint32_t destinationPort, std::uint32_t sourcePort) {
    if (packet == nullptr) {
        return PROTO_E_INVAL;
    }
    if (sourcePort > kMaxPort || destinationPort > kMaxPort) {
        return PROTO_E_NOENT;
    }
    if (lower_ == nullptr) {
        return PROTO_E_NOLAYER;
    }
    // Refused before anything is built, so the packet stays untouched.
    if (packet->length > kMaxPayload) {
        return PROTO_E_INVAL;
    }
    if (std::int32_t status = PacketPrepend(packet, udp::kHeaderSize); status != PROTO_OK) {
        return status;
    }

    std::uint8_t *header = packet->data;
    storeBe16(header, udp::kSourcePort, static_cast<std::uint16_t>(sourcePort));
    storeBe16(header, udp::kDestinationPort, static_cast<std::uint16_t>(destinationPort));
    storeBe16(header, udp::kLength, static_cast<std::uint16_t>(packet->length));
    storeBe16(header, udp::kChecksum, 0);
    storeBe16(header, udp::kChecksum,
              UdpChecksum(lower_->GetAddress(), destination, header, packet->length));

    return lower_->SendPacket(packet, destination, ipv4::kProtocolUDP);
}

std::int32_t CUDPProtocol::Send(Packet *packet) {
    if (lower_ == nullptr) {
        return PROTO_E_NOLAYER;
    }
    lower_->Send(packet);
    return PROTO_OK;
}

std::uint16_t UdpChecksum(std::uint32_t source, std::uint32_t destination,
                          const std::uint8_t *datagram, std::uint32_t length) {
    std::uint8_t pseudo[udp::kPseudoHeaderSize] = {};
    storeBe32(pseudo, 0, source);
    storeBe32(pseudo, 4, destination);
    pseudo[9] = ipv4::kProtocolUDP;
    storeBe16(pseudo, 10, static_cast<std::uint16_t>(length));

    std::uint32_t sum = checksumAdd(0, pseudo, sizeof pseudo);
    if (datagram != nullptr) {
        sum = checksumAdd(sum, datagram, length);
    }
    const auto checksum = static_cast<std::uint16_t>(~checksumFold(sum));
    // RFC 768: a computed zero is sent as all ones; zero means "no checksum".
    return checksum == 0 ? 0xFFFF : checksum;
}
