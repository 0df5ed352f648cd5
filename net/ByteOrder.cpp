#include "ByteOrder.h"

#include <cstring>

void toHost16(std::uint8_t *p, std::size_t offset) {
    const std::uint16_t value = loadBe16(p, offset);
    std::memcpy(p + offset, &value, sizeof value);
}

void toHost32(std::uint8_t *p, std::size_t offset) {
    const std::uint32_t value = loadBe32(p, offset);
    std::memcpy(p + offset, &value, sizeof value);
}

// memcpy rather than a cast: the fields need not be aligned.
std::uint16_t loadHost16(const std::uint8_t *p, std::size_t offset) {
    std::uint16_t value;
    std::memcpy(&value, p + offset, sizeof value);
    return value;
}

std::uint32_t loadHost32(const std::uint8_t *p, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, p + offset, sizeof value);
    return value;
}
