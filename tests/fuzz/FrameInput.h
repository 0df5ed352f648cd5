#pragma once

// The input format of fuzz_frame: one pool-shape byte, then records of a
// 2-byte big-endian length and that many frame bytes (the last record is cut
// short at the end of the input). Shared with the tests that replay inputs.

#include "FrameBuilder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace frameinput {

inline constexpr std::size_t kMaxFrames = 256;

// The pool's last address for a shape byte: low four bits + 1 addresses from
// the pool start, or up to 10.0.0.254 when bit 7 is set.
inline std::uint32_t poolEnd(std::uint8_t shape, std::uint32_t poolStart) {
    return (shape & 0x80) != 0 ? fb::ip(10, 0, 0, 254) : poolStart + (shape & 0x0f);
}

struct Record {
    const std::uint8_t *bytes;
    std::size_t size;
};

inline std::vector<Record> split(const std::uint8_t *data, std::size_t size) {
    std::vector<Record> records;
    std::size_t at = 1;
    while (records.size() < kMaxFrames && at + 2 <= size) {
        std::size_t length = (std::size_t{data[at]} << 8) | data[at + 1];
        at += 2;
        if (length > size - at) {
            length = size - at;
        }
        records.push_back({data + at, length});
        at += length;
    }
    return records;
}

} // namespace frameinput
