#pragma once

#include <cstddef>
#include <cstdint>

// The hashes of the lease index. Hardware addresses come from guests, who can
// choose them freely, so their buckets come from a keyed pseudo-random
// function (HalfSipHash-2-4, 32-bit words throughout, which suits the 32-bit
// host): without the key, which is drawn afresh by every process, no set of
// addresses can be chosen to share a bucket. Addresses are the table's own,
// all from one pool of consecutive values, which multiplicative hashing
// spreads evenly whatever their offset; the key shifts that offset so that
// the layout differs between processes too.
struct LeaseHashKey {
    std::uint32_t k0 = 0;
    std::uint32_t k1 = 0;

    // Drawn once per process from the kernel's random source (or, before the
    // kernel's pool is ready, from the clock and the pid).
    static LeaseHashKey ForProcess();
};

// HalfSipHash-2-4 with a 32-bit result.
std::uint32_t halfSipHash24(const LeaseHashKey &key, const std::uint8_t *data, std::size_t length);

class LeaseHash {
public:
    // Buckets per index: twice the table's slots.
    static constexpr int kBits = 17;
    static constexpr std::uint32_t kBuckets = 1u << kBits;

    explicit LeaseHash(const LeaseHashKey &key) : key_(key) {}

    std::uint32_t AddressBucket(std::uint32_t address) const {
        return ((address + key_.k0) * 0x9E3779B1u) >> (32 - kBits);
    }
    std::uint32_t HwAddressBucket(const std::uint8_t *hwAddr) const;

private:
    LeaseHashKey key_;
};
