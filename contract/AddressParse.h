#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// Strict readers of the forms AddressText.h writes, for the addresses a user
// types to a tool and the snapshot holds: nothing before, between or after
// the parts but their separators. The configuration file's addresses follow
// the more lenient rule of parseAddress.h instead.

// "a.b.c.d", four decimal numbers 0..255 without sign or blanks (leading zeros
// are allowed, up to three digits).
std::optional<std::uint32_t> parseDottedQuad(std::string_view text);

using HwAddress = std::array<std::uint8_t, 6>;

// Six pairs of hexadecimal digits (either case) joined by ':' or all by '-'.
std::optional<HwAddress> parseHwAddress(std::string_view text);
