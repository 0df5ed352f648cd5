#pragma once

#include <cstdint>

// A frame travelling between layers. The record and its buffer are blocks of
// the C heap (see Memory.h).
//
// Ownership: whoever creates a Packet frees it (PacketFree) after the call it
// handed the packet to has returned. No layer keeps a Packet, or a pointer
// into its buffer, beyond the call that handed it over. Send operations may
// replace `buffer` (to prepend a header or append padding); the owner frees
// whatever `buffer` is current.
struct Packet {
    std::uint8_t *header;     // Ethernet header of a received frame (set by Ethernet)
    std::uint32_t length;     // valid bytes from `data` on
    std::uint32_t bufferSize; // bytes allocated in `buffer`
    std::int32_t useCount;    // 1 while the creator holds it; prescribed, though unread
    std::uint8_t *buffer;     // heap block holding the frame
    std::uint8_t *data;       // current layer's first byte, inside `buffer`
};

// Owner's cycle, step 1-2: a zeroed record with a buffer of `size` bytes that
// holds a copy of `bytes` (or zeros when `bytes` is null); length and
// bufferSize are `size`, data is buffer, useCount 1. Null when either
// allocation fails (nothing is left allocated then).
Packet *PacketCreate(const std::uint8_t *bytes, std::uint32_t size);

// Owner's cycle, last step: drops the use count, frees the current buffer and
// the record. Accepts null.
void PacketFree(Packet *packet);

// Makes room for a header of `size` zero bytes in front of the buffer: the
// buffer is replaced by a larger copy with the old bytes behind the header,
// `data` is set to the new start, and `length` and `bufferSize` grow by
// `size`. PROTO_E_NOMEM leaves the packet exactly as it was.
std::int32_t PacketPrepend(Packet *packet, std::uint32_t size);

// Appends `size` bytes (copied from `bytes`) behind the end of the buffer by
// replacing it with a larger copy; `data` keeps its offset, `bufferSize` and
// `length` grow by `size`. PROTO_E_NOMEM leaves the packet exactly as it was.
std::int32_t PacketAppend(Packet *packet, const std::uint8_t *bytes, std::uint32_t size);
