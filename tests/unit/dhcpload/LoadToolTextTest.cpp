// The load tool's address and hardware address options: numbers too large
// for their field are refused, not wrapped (sscanf wrapped 4294967297 to 1,
// so "10.0.0.4294967297" set the server address 10.0.0.1).

#include "Options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    std::vector<std::string> args;
    bool ok;
};

TEST(LoadToolText, OversizedFieldsAreRefused) {
    const Case cases[] = {
        {{"--server-ip", "10.0.0.4294967297"}, false},
        {{"--server-ip", "4294967306.0.0.1"}, false},
        {{"--netmask", "255.255.255.99999999999999999999"}, false},
        {{"--pool-base", "10.0.0.256"}, false},
        {{"--pool-base", "10.0.0"}, false},
        {{"--pool-base", "10.0.0.1x"}, false},
        {{"--port-mac", "02:00:00:00:00:100000000ff"}, false},
        {{"--port-mac", "02:00:00:00:00:1ff"}, false},
        {{"--port-mac", "02:00:00:00:00"}, false},
        {{"--server-ip", "10.0.0.1"}, true},
        {{"--port-mac", "02:00:5e:10:00:ff"}, true},
    };
    for (const Case &c : cases) {
        Options options;
        std::string error;
        EXPECT_EQ(parseOptions(c.args, options, error), c.ok) << c.args[0] << " " << c.args[1];
    }
    Options options;
    std::string error;
    ASSERT_TRUE(parseOptions({"--server-ip", "10.37.129.1", "--port-mac", "02:00:5e:10:00:ff"},
                             options, error));
    EXPECT_EQ(options.responder.serverAddress, 0x0A258101u);
    const MacAddr expected{0x02, 0x00, 0x5e, 0x10, 0x00, 0xff};
    EXPECT_EQ(options.portMac, expected);
}

} // namespace
