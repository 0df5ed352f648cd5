#include "CDHCPProtocol.h"

#include "Packet.h"

#include <cstdint>
#include <cstring>

std::int32_t CDHCPProtocol::ParseOptions(Packet *packet, DhcpOptionTable *table) {
    if (packet == nullptr || table == nullptr) {
        return PROTO_E_INVAL;
    }
    std::memset(table, 0, sizeof(*table));
    std::uint32_t left = packet->length;
    if (left <= 3) {
        return PROTO_E_INVAL;
    }
    const std::uint8_t *at = packet->data;
    while (left > 0) {
        const std::uint8_t code = at[0];
        if (code == dhcp::kOptEnd) {
            break;
        }
        if (code == dhcp::kOptPad) {
            ++at;
            --left;
            continue;
        }
        // An option that claims more bytes than the message has ends the walk;
        // what was collected before it stays valid.
        if (left < 2 || left < 2u + at[1]) {
            break;
        }
        const std::uint8_t length = at[1];
        table->entries[code] = {length, at + 2};
        at += 2u + length;
        left -= 2u + length;
    }
    packet->data += packet->length - left;
    packet->length = left;
    return PROTO_OK;
}

// Two growth steps, code and length first, then the data. Should the second
// fail, the first is taken back, so a reply never holds half an option.
std::int32_t CDHCPProtocol::AppendOption(Packet *packet, std::uint8_t code, std::uint8_t length,
                                         const std::uint8_t *data) {
    if (packet == nullptr || data == nullptr) {
        return PROTO_E_INVAL;
    }
    constexpr std::uint32_t kHeadSize = 2;
    const std::uint8_t head[kHeadSize] = {code, length};
    std::int32_t status = PacketAppend(packet, head, kHeadSize);
    if (status != PROTO_OK || length == 0) {
        return status;
    }
    status = PacketAppend(packet, data, length);
    if (status != PROTO_OK) {
        // The block keeps two spare bytes behind the message; free() does not mind.
        packet->length -= kHeadSize;
        packet->bufferSize -= kHeadSize;
    }
    return status;
}
