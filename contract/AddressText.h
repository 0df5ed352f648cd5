#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Address values and hardware addresses as people and scripts write them:
// what the service logs and the snapshot holds, and what the tools print.
// AddressParse.h reads these forms back; parseAddress.h is the more lenient
// rule of the configuration file and the renew tool's options.
inline constexpr std::size_t kAddressTextSize = 16;   // "255.255.255.255" and a NUL
inline constexpr std::size_t kHwAddressTextSize = 18; // "xx:xx:xx:xx:xx:xx" and a NUL

// "a.b.c.d", the most significant byte first; returns text.
char *addressText(std::uint32_t address, char (&text)[kAddressTextSize]);
// The same as a string, for the tools' messages and reports.
std::string formatAddress(std::uint32_t address);

// Six bytes in wire order as lower-case hexadecimal pairs joined by ':'.
char *hwAddressText(const std::uint8_t *hwAddr, char (&text)[kHwAddressTextSize]);
