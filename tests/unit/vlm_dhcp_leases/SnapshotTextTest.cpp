// Reading lease snapshots: a whole one by hand, every way a file can be
// broken, and what the service's own writer produces.
#include "SnapshotText.h"
#include "LeaseSnapshot.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string kHead = "vlm_dhcpd-leases 1\n"
                          "device vnic\\x200\n"
                          "pid 4242\n"
                          "time 1700000000\n"
                          "monotonic 12.000000500\n"
                          "own-address 10.37.129.1\n"
                          "scope 10.37.129.1 10.37.129.254\n"
                          "mask 255.255.255.0\n";

TEST(SnapshotText, ReadsEveryField) {
    std::string why;
    const auto s = parseSnapshot(kHead + "counter acks-sent 7\n"
                                         "later-key whatever it says\n"
                                         "lease 10.37.129.3 52:54:00:12:34:56 bound\n"
                                         "lease 10.37.129.4 52:54:00:AB:cd:EF offered\n"
                                         "end 2\n",
                                 why);
    ASSERT_TRUE(s) << why;
    EXPECT_EQ(s->device, "vnic 0");
    EXPECT_EQ(s->pid, 4242);
    EXPECT_EQ(s->unixTime, 1700000000);
    EXPECT_EQ(s->monotonicSeconds, 12);
    EXPECT_EQ(s->monotonicNanoseconds, 500);
    EXPECT_EQ(s->ownAddress, 0x0A258101u);
    EXPECT_EQ(s->scopeStart, 0x0A258101u);
    EXPECT_EQ(s->scopeEnd, 0x0A2581FEu);
    EXPECT_EQ(s->scopeMask, 0xFFFFFF00u);
    ASSERT_EQ(s->counters.size(), 1u);
    EXPECT_EQ(s->counters[0], (std::pair<std::string, std::uint64_t>{"acks-sent", 7}));
    ASSERT_EQ(s->leases.size(), 2u);
    EXPECT_EQ(s->leases[0].address, 0x0A258103u);
    EXPECT_EQ(s->leases[1].hwAddress, (HwAddress{0x52, 0x54, 0x00, 0xab, 0xcd, 0xef}));
    EXPECT_EQ(s->leases[1].state, "offered");

    EXPECT_TRUE(takenSince(*s, 12, 500));
    EXPECT_TRUE(takenSince(*s, 11, 999999999));
    EXPECT_FALSE(takenSince(*s, 12, 501));
    EXPECT_FALSE(takenSince(*s, 13, 0));
}

// Version 2 adds guest lines; a later version may add fields and keys.
TEST(SnapshotText, ReadsGuestLinesOfThisAndLaterVersions) {
    for (const char *version : {"2", "3"}) {
        std::string head = kHead;
        head.replace(head.find(" 1\n"), 3, std::string(" ") + version + "\n");
        std::string why;
        const auto s = parseSnapshot(
            head + "lease 10.37.129.3 52:54:00:12:34:56 bound\n"
                   "guest 10.37.129.3 name=we\\x20b1 client-id=01525400123456 later=x "
                   "first-offer=5,1699999995 bound-since=6,1699999996 last-ack=9,1699999999 "
                   "last-seen=11,1700000001\n"
                   "lease 10.37.129.4 52:54:00:12:34:57 offered\n"
                   "end 2\n",
            why);
        ASSERT_TRUE(s) << why;
        EXPECT_EQ(s->version, std::stoi(version));
        const SnapshotLease &guest = s->leases[0];
        EXPECT_EQ(guest.name, "we b1");
        EXPECT_EQ(guest.clientId, "01525400123456");
        EXPECT_EQ(guest.firstOffer.monotonic, 5);
        EXPECT_EQ(guest.boundSince.unixTime, 1699999996);
        EXPECT_EQ(guest.lastAck.monotonic, 9);
        EXPECT_EQ(guest.lastSeen.unixTime, 1700000001);
        EXPECT_TRUE(s->leases[1].name.empty());
        EXPECT_EQ(s->leases[1].lastSeen.monotonic, 0);
    }
}

TEST(SnapshotText, BrokenFilesAreRefusedWithAReason) {
    const std::string lease = "lease 10.37.129.3 52:54:00:12:34:56 bound\n";
    auto replaced = [](std::string text, const std::string &line, const std::string &by) {
        return text.replace(text.find(line), line.size(), by);
    };
    auto without = [&](const std::string &text, const std::string &line) {
        return replaced(text, line, "");
    };
    const struct {
        std::string text;
        const char *why;
    } cases[] = {
        {"", "empty"},
        {replaced(kHead, "vlm_dhcpd-leases 1", "something else 1") + "end 0\n",
         "not a lease snapshot"},
        {replaced(kHead, "vlm_dhcpd-leases 1", "vlm_dhcpd-leases 0") + "end 0\n", "version 0"},
        {kHead + "guest 10.37.129.3 name=a\nend 0\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.4 name=a\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3\nguest 10.37.129.3\nend 1\n", "(guest)"},
        {kHead + lease + "counter acks-sent 1\nguest 10.37.129.3\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 name=a name=b\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 name\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 name=\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 name=a\\x0\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 client-id=0A\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 client-id=abc\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 last-seen=5\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 last-seen=0,5\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 bound-since=5,x\nend 1\n", "(guest)"},
        {kHead + lease + "guest 10.37.129.3 name=a  last-ack=5,6\nend 1\n", "(guest)"},
        {kHead + lease, "no end line"},
        {kHead + lease + "end 1", "cut off"},
        {kHead + lease + "end 2\n", "end line does not match"},
        {kHead + lease + "end 1\nlease 10.0.0.1 52:54:00:12:34:56 bound\n", "more after"},
        {without(kHead, "pid 4242\n") + "end 0\n", "header is incomplete"},
        {without(kHead, "monotonic 12.000000500\n") + "end 0\n", "header is incomplete"},
        {kHead + "lease 10.37.129.300 52:54:00:12:34:56 bound\nend 1\n", "(lease)"},
        {kHead + "lease 10.37.129.3 52:54:00:12:34 bound\nend 1\n", "(lease)"},
        {kHead + "lease 10.37.129.3 52:54:00:12:34:56\nend 1\n", "(lease)"},
        {kHead + "lease 10.37.129.3 52:54:00:12:34:56 bound extra\nend 1\n", "(lease)"},
        {kHead + "counter acks-sent -1\nend 0\n", "(counter)"},
        {replaced(kHead, "vnic\\x200", "bad\\x2") + "end 0\n", "(device)"},
        {replaced(kHead, "pid 4242", "pid 0") + "end 0\n", "(pid)"},
        {replaced(kHead, "12.000000500", "12.5") + "end 0\n", "(monotonic)"},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_FALSE(parseSnapshot(c.text, why)) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << why << "\n" << c.text;
    }
}

TEST(SnapshotText, ReadsWhatTheServiceWrites) {
    const TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    char path[kRenewPathSize];
    ASSERT_TRUE(buildSnapshotPath(path, "vnic0", dir.path().c_str()));
    LeaseEntry table[2]{};
    table[0] = {{0x52, 0x54, 0, 1, 2, 3}, 0x0A000005, LEASE_OFFERED, 0, {}, 1};
    table[1] = {{0x52, 0x54, 0, 1, 2, 4}, 0x0A000009, LEASE_BOUND, 0, {}, kChainEnd};
    DhcpCounters counters{};
    counters.naksSent = 3;
    const SnapshotFacts facts{"vnic0", 0x0A000001, 0x0A000001, 0x0A0000FE, 0xFFFFFF00, 77,
                              -1,      3,          999999999,  12,         &counters};
    GuestFact guests[2]{};
    // Whatever bytes a name holds, they come back, and stay one field.
    const char name[] = "a b\\\n=x";
    guests[1].nameLength = sizeof name - 1;
    std::memcpy(guests[1].name, name, sizeof name - 1);
    guests[1].clientIdLength = 3;
    std::memcpy(guests[1].clientId, "\x01\xab\x00", 3);
    guests[1].firstAck = 2;
    guests[1].lastSeen = 3;
    ASSERT_EQ(writeLeaseSnapshot(path, facts, table, guests), 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();

    std::string why;
    const auto s = parseSnapshot(text.str(), why);
    ASSERT_TRUE(s) << why;
    EXPECT_EQ(s->pid, 77);
    EXPECT_EQ(s->unixTime, -1);
    EXPECT_EQ(s->monotonicNanoseconds, 999999999);
    EXPECT_EQ(s->counters.size(), 8u);
    EXPECT_EQ(s->counters[0], (std::pair<std::string, std::uint64_t>{"frames-read", 12}));
    EXPECT_EQ(s->counters[5], (std::pair<std::string, std::uint64_t>{"naks-sent", 3}));
    ASSERT_EQ(s->leases.size(), 2u);
    EXPECT_EQ(s->leases[0].state, "offered");
    EXPECT_EQ(s->leases[1].address, 0x0A000009u);
    EXPECT_EQ(s->leases[1].hwAddress, (HwAddress{0x52, 0x54, 0, 1, 2, 4}));
    EXPECT_EQ(s->version, 2);
    EXPECT_TRUE(s->leases[0].name.empty());
    EXPECT_EQ(s->leases[0].firstOffer.monotonic, 0);
    EXPECT_EQ(s->leases[1].name, name);
    EXPECT_EQ(s->leases[1].clientId, "01ab00");
    // The wall clock of a moment: the snapshot's time less the time since.
    EXPECT_EQ(s->leases[1].boundSince.monotonic, 2);
    EXPECT_EQ(s->leases[1].boundSince.unixTime, -2);
    EXPECT_EQ(s->leases[1].lastSeen.unixTime, -1);
}

} // namespace
