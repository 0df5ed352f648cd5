// The address text rule: dotted quads in range, or one hexadecimal number,
// with nothing behind either.
#include "parseAddress.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(ParseAddress, AcceptedTexts) {
    struct Case {
        const char *text;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"10.37.129.2", 0x0A258102},
        {"0a258102", 0x0A258102},
        {"0x0a258102", 0x0A258102},
        {"0X0A258102", 0x0A258102},
        {"255.255.255.255", 0xFFFFFFFF},
        {"0.0.0.0", 0},
        {"100", 0x100},
        {"ffffffff", 0xFFFFFFFF},
        {" 10.0.0.1", 0x0A000001},
        {"10. 0. 0. 1", 0x0A000001}, // sscanf skips blanks
        {"+10.0.0.1", 0x0A000001},
        {"010.0.0.1", 0x0A000001}, // %d reads decimal
        {"192.168.50.1", 0xC0A83201},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(parseAddress(c.text), c.value) << c.text;
    }
}

TEST(ParseAddress, RefusedTextsGiveZeroAndEinval) {
    const char *const cases[] = {
        "10.0.0.256", "10.0.0", "10.0.0.1x", "-1.0.0.0", "10.0.0.1 ", "10.0.0.1\n",
        "",           "hello",  "1.2.3.4.5", "12 ",      "256.0.0.1", "1..2.3",
    };
    for (const char *text : cases) {
        errno = 0;
        EXPECT_EQ(parseAddress(text), 0u) << '"' << text << '"';
        EXPECT_EQ(errno, EINVAL) << '"' << text << '"';
    }
    errno = 0;
    EXPECT_EQ(parseAddress(nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
