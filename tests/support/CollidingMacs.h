#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Hardware addresses that an unkeyed multiplicative hash puts in one bucket:
// the kind a guest would send to slow an index it can aim at. Read as 48-bit
// numbers they are the multiples n * d of d = 2971215073, for which
// d * 0x9E3779B97F4A7C15 is -50920843 modulo 2^64: n * d then lands just
// below 2^64, and its top 17 bits are all ones for every n up to 20,000 and
// far beyond.
inline std::vector<std::array<std::uint8_t, 6>> collidingMacs(std::uint32_t count) {
    constexpr std::uint64_t kStep = 2971215073u;
    std::vector<std::array<std::uint8_t, 6>> macs;
    macs.reserve(count);
    for (std::uint64_t n = 1; n <= count; ++n) {
        const std::uint64_t key = n * kStep;
        macs.push_back({static_cast<std::uint8_t>(key >> 40), static_cast<std::uint8_t>(key >> 32),
                        static_cast<std::uint8_t>(key >> 24), static_cast<std::uint8_t>(key >> 16),
                        static_cast<std::uint8_t>(key >> 8), static_cast<std::uint8_t>(key)});
    }
    return macs;
}
