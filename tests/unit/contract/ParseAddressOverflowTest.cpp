// Address texts whose numbers do not fit the conversion: found by fuzzing.
// A component such as 4294967297 is not between 0 and 255, whatever an int
// conversion would wrap it to; a hexadecimal text of more than 32 bits is not
// an address. Both are refused like any other bad text.

#include "parseAddress.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

namespace {

struct Case {
    const char *text;
    std::uint32_t expected; // 0: refused with EINVAL
};

TEST(ParseAddressOverflow, OversizedNumbersAreRefused) {
    const Case cases[] = {
        {"10.0.0.4294967297", 0},                        // wraps to 1 in an int
        {"10.0.0.4294967296", 0},                        // wraps to 0
        {"4294967306.0.0.1", 0},                         // first component wraps to 10
        {"-0.0.-3333333333333333333333333333331.00", 0}, // fuzzer's find
        {"10.0.0.99999999999999999999", 0},
        {"100000000a", 0}, // 40 bits; would wrap to 0.0.0.10
        {"0x1ffffffff", 0},
        {"ffffffffffffffffffff", 0},
        // Texts that fit stay as they were.
        {"10.0.0.1", 0x0A000001u},
        {"000000000a", 0x0000000Au}, // leading zeros are no overflow
        {"0xffffffff", 0xFFFFFFFFu},
        {"00010.0.0.1", 0x0A000001u},
    };
    for (const Case &c : cases) {
        errno = 0;
        const std::uint32_t value = parseAddress(c.text);
        EXPECT_EQ(value, c.expected) << c.text;
        if (c.expected == 0) {
            EXPECT_EQ(errno, EINVAL) << c.text;
        }
    }
}

} // namespace
