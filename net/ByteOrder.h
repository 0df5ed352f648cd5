#pragma once

#include <cstddef>
#include <cstdint>

// Network byte order at a byte offset; every layer reads and writes its
// multi-byte header fields through these and nothing else.
inline std::uint16_t loadBe16(const std::uint8_t *p, std::size_t offset) {
    return static_cast<std::uint16_t>((p[offset] << 8) | p[offset + 1]);
}

inline std::uint32_t loadBe32(const std::uint8_t *p, std::size_t offset) {
    return (std::uint32_t{p[offset]} << 24) | (std::uint32_t{p[offset + 1]} << 16) |
           (std::uint32_t{p[offset + 2]} << 8) | std::uint32_t{p[offset + 3]};
}

inline void storeBe16(std::uint8_t *p, std::size_t offset, std::uint16_t value) {
    p[offset] = static_cast<std::uint8_t>(value >> 8);
    p[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void storeBe32(std::uint8_t *p, std::size_t offset, std::uint32_t value) {
    p[offset] = static_cast<std::uint8_t>(value >> 24);
    p[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    p[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    p[offset + 3] = static_cast<std::uint8_t>(value);
}

// Received headers are turned to host order in place as each layer inspects
// them; these rewrite one field so that a plain host-order load reads it.
void toHost16(std::uint8_t *p, std::size_t offset);
void toHost32(std::uint8_t *p, std::size_t offset);

// Host-order loads of fields already converted in place.
std::uint16_t loadHost16(const std::uint8_t *p, std::size_t offset);
std::uint32_t loadHost32(const std::uint8_t *p, std::size_t offset);
