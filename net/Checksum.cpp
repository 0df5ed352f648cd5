#include "Checksum.h"

std::uint32_t checksumAdd(std::uint32_t sum, const std::uint8_t *bytes, std::size_t length) {
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) {
        sum += (std::uint32_t{bytes[i]} << 8) | bytes[i + 1];
        // Fold early so that no length can carry out of 32 bits.
        if ((sum & 0x80000000u) != 0) {
            sum = (sum & 0xFFFFu) + (sum >> 16);
        }
    }
    if (i < length) {
        // RFC 1071: an odd last byte is the high half of a word whose low
        // half is zero; that zero is not part of the data.
        sum += std::uint32_t{bytes[i]} << 8;
    }
    return sum;
}

std::uint16_t checksumFold(std::uint32_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFFu) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

std::uint16_t internetChecksum(const std::uint8_t *bytes, std::size_t length) {
    return static_cast<std::uint16_t>(~checksumFold(checksumAdd(0, bytes, length)));
}
