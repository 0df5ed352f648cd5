#include "Packet.h"

#include "Memory.h"
#include "Status.h"

#include <cstdlib>
#include <cstring>
#include <limits>

Packet *PacketCreate(const std::uint8_t *bytes, std::uint32_t size) {
    auto *packet = static_cast<Packet *>(vlmCalloc(sizeof(Packet)));
    if (packet == nullptr) {
        return nullptr;
    }
    auto *buffer = static_cast<std::uint8_t *>(vlmAlloc(size));
    if (buffer == nullptr) {
        std::free(packet);
        return nullptr;
    }
    if (bytes != nullptr && size != 0) {
        std::memcpy(buffer, bytes, size);
    } else if (size != 0) {
        std::memset(buffer, 0, size);
    }
    packet->buffer = buffer;
    packet->data = buffer;
    packet->length = size;
    packet->bufferSize = size;
    packet->useCount = 1;
    return packet;
}

void PacketFree(Packet *packet) {
    if (packet == nullptr) {
        return;
    }
    --packet->useCount;
    if (packet->buffer != nullptr) {
        std::free(packet->buffer);
    }
    std::free(packet);
}

namespace {

// A block `size` bytes larger than the packet's buffer, with the old buffer
// copied to `oldAt` (0 when growing at the end, `size` when at the front).
// Null when the sizes cannot be counted or the block cannot be had; the
// packet itself is not touched here.
std::uint8_t *grownCopy(const Packet *packet, std::uint32_t size, std::uint32_t oldAt) {
    constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (packet->bufferSize > kMax - size || packet->length > kMax - size) {
        return nullptr;
    }
    auto *block = static_cast<std::uint8_t *>(vlmAlloc(std::size_t{packet->bufferSize} + size));
    if (block != nullptr && packet->buffer != nullptr && packet->bufferSize != 0) {
        std::memcpy(block + oldAt, packet->buffer, packet->bufferSize);
    }
    return block;
}

void adopt(Packet *packet, std::uint8_t *block, std::uint32_t size) {
    std::free(packet->buffer);
    packet->buffer = block;
    packet->bufferSize += size;
    packet->length += size;
}

} // namespace

std::int32_t PacketPrepend(Packet *packet, std::uint32_t size) {
    if (packet == nullptr) {
        return PROTO_E_INVAL;
    }
    std::uint8_t *block = grownCopy(packet, size, size);
    if (block == nullptr) {
        return PROTO_E_NOMEM;
    }
    std::memset(block, 0, size);
    adopt(packet, block, size);
    // On the send path the message fills its buffer, so the new header at the
    // front is where the packet now starts.
    packet->data = block;
    return PROTO_OK;
}

std::int32_t PacketAppend(Packet *packet, const std::uint8_t *bytes, std::uint32_t size) {
    if (packet == nullptr) {
        return PROTO_E_INVAL;
    }
    std::uint8_t *block = grownCopy(packet, size, 0);
    if (block == nullptr) {
        return PROTO_E_NOMEM;
    }
    if (bytes != nullptr && size != 0) {
        std::memcpy(block + packet->bufferSize, bytes, size);
    } else if (size != 0) {
        std::memset(block + packet->bufferSize, 0, size);
    }
    const std::ptrdiff_t offset = packet->data != nullptr ? packet->data - packet->buffer : 0;
    adopt(packet, block, size);
    packet->data = block + offset;
    return PROTO_OK;
}
