#include "LeaseHash.h"
#include "CollidingMacs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// The reference vectors of HalfSipHash-2-4 with a 32-bit result: key bytes
// 00..07, message bytes 00..len-1.
TEST(LeaseHash, HalfSipHashMatchesTheReferenceVectors) {
    const std::uint32_t expected[] = {0x5b9f35a9, 0xb85a4727, 0x03a662fa, 0x04e7fe8a, 0x89466e2a,
                                      0x69b6fac5, 0x23fc6358, 0xc563cf8b, 0x8f84b8d0};
    const LeaseHashKey key{0x03020100, 0x07060504};
    std::uint8_t message[8];
    for (std::uint8_t i = 0; i < sizeof(message); ++i) {
        message[i] = i;
    }
    for (std::size_t length = 0; length < std::size(expected); ++length) {
        EXPECT_EQ(halfSipHash24(key, message, length), expected[length]) << "length " << length;
    }
}

struct Spread {
    std::uint32_t largestBucket = 0;
    std::uint32_t sameBucketUnderBothKeys = 0;
};

// How full the fullest bucket gets, and how many keys keep their bucket when
// the hash key changes.
template <typename BucketOf> Spread spread(std::uint32_t count, BucketOf bucketOf) {
    const LeaseHash first({0x12345678, 0x9abcdef0});
    const LeaseHash second({0x0badf00d, 0xfeedface});
    std::vector<std::uint32_t> fill(LeaseHash::kBuckets);
    Spread s;
    for (std::uint32_t n = 0; n < count; ++n) {
        const std::uint32_t bucket = bucketOf(first, n);
        s.largestBucket = std::max(s.largestBucket, ++fill.at(bucket));
        s.sameBucketUnderBothKeys += bucket == bucketOf(second, n) ? 1 : 0;
    }
    return s;
}

// Guests choose their hardware addresses: even ones chosen to collide under an
// unkeyed hash spread as random ones would (20,000 keys in 131,072 buckets:
// the fullest holds a handful), and the layout changes with the key.
TEST(LeaseHash, ChosenHardwareAddressesSpreadOverTheBuckets) {
    const auto macs = collidingMacs(20000);
    const Spread s = spread(20000, [&](const LeaseHash &h, std::uint32_t n) {
        return h.HwAddressBucket(macs[n].data());
    });
    EXPECT_LE(s.largestBucket, 8u);
    EXPECT_LT(s.sameBucketUnderBothKeys, 200u);
}

// A whole pool of consecutive addresses, at any offset, keeps to one or two
// entries a bucket, and the key moves it.
TEST(LeaseHash, APoolOfAddressesSpreadsOverTheBuckets) {
    const Spread s = spread(65534, [](const LeaseHash &h, std::uint32_t n) {
        return h.AddressBucket(0x0A000003u + n);
    });
    EXPECT_LE(s.largestBucket, 2u);
    EXPECT_LT(s.sameBucketUnderBothKeys, 655u);
}

} // namespace
