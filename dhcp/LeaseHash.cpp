#include "LeaseHash.h"

#include "LeaseEntry.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int bits) {
    return (x << bits) | (x >> (32 - bits));
}

struct State {
    std::uint32_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 5);
        v1 ^= v0;
        v0 = rotl(v0, 16);
        v2 += v3;
        v3 = rotl(v3, 8);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 7);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v2;
        v2 = rotl(v2, 16);
    }

    void compress(std::uint32_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

// Message words are read little-endian, as the function is defined.
std::uint32_t loadLe32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

} // namespace

std::uint32_t halfSipHash24(const LeaseHashKey &key, const std::uint8_t *data, std::size_t length) {
    State s{key.k0, key.k1, 0x6c796765u ^ key.k0, 0x74656462u ^ key.k1};
    const std::size_t whole = length - length % 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        s.compress(loadLe32(data + i));
    }
    std::uint32_t last = static_cast<std::uint32_t>(length) << 24;
    for (std::size_t i = whole; i < length; ++i) {
        last |= static_cast<std::uint32_t>(data[i]) << (8 * (i - whole));
    }
    s.compress(last);
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) {
        s.round();
    }
    return s.v1 ^ s.v3;
}

std::uint32_t LeaseHash::HwAddressBucket(const std::uint8_t *hwAddr) const {
    return halfSipHash24(key_, hwAddr, sizeof(LeaseEntry::hwAddr)) >> (32 - kBits);
}

LeaseHashKey LeaseHashKey::ForProcess() {
    static const LeaseHashKey key = [] {
        std::uint32_t words[2] = {};
        if (getrandom(words, sizeof(words), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(words))) {
            // Early in boot the pool may not be ready; a key that an outsider
            // would have to guess to the nanosecond still spreads chosen
            // addresses.
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            words[0] ^= static_cast<std::uint32_t>(now.tv_nsec) * 0x9E3779B1u;
            words[1] ^= static_cast<std::uint32_t>(now.tv_sec) ^
                        (static_cast<std::uint32_t>(getpid()) << 16);
        }
        return LeaseHashKey{words[0], words[1]};
    }();
    return key;
}
