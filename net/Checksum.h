#pragma once

#include <cstddef>
#include <cstdint>

// RFC 1071 one's-complement sum. checksumAdd accumulates bytes as big-endian
// 16-bit words (an odd last byte is the high half of a word whose low half is
// zero); checksumFold folds the carries back into 16 bits.
std::uint32_t checksumAdd(std::uint32_t sum, const std::uint8_t *bytes, std::size_t length);
std::uint16_t checksumFold(std::uint32_t sum);
// The complemented, folded sum: what goes into a header (0 not mapped).
std::uint16_t internetChecksum(const std::uint8_t *bytes, std::size_t length);
