#pragma once

#include <cstddef>
#include <cstdint>

// Address values and hardware addresses as people and scripts write them.
inline constexpr std::size_t kAddressTextSize = 16;   // "255.255.255.255" and a NUL
inline constexpr std::size_t kHwAddressTextSize = 18; // "xx:xx:xx:xx:xx:xx" and a NUL

// "a.b.c.d", the most significant byte first; returns text.
char *addressText(std::uint32_t address, char (&text)[kAddressTextSize]);

// Six bytes in wire order as lower-case hexadecimal pairs joined by ':'.
char *hwAddressText(const std::uint8_t *hwAddr, char (&text)[kHwAddressTextSize]);
