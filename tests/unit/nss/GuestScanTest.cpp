// The NSS module's reader of a snapshot: which lease answers to a name, and
// that any damage to the file means no answer at all. The service's own
// writer gives one of the inputs, so the two stay in step.
#include "GuestScan.h"
#include "LeaseSnapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

const std::string kHead = "vlm_dhcpd-leases 2\n"
                          "device vnic0\n"
                          "pid 4242\n"
                          "time 1700000000\n"
                          "monotonic 500.000000000\n"
                          "own-address 10.37.129.1\n"
                          "scope 10.37.129.1 10.37.129.254\n"
                          "mask 255.255.255.0\n";

std::string lease(const char *address, const char *state, const std::string &guest) {
    std::string text = std::string("lease ") + address + " 52:54:00:12:34:56 " + state + "\n";
    return guest.empty() ? text : text + "guest " + address + " " + guest + "\n";
}

std::optional<std::uint32_t> answer(const std::string &text, const char *name = "web1",
                                    std::size_t piece = 0) {
    GuestScan scan(name, std::strlen(name));
    piece = piece == 0 ? text.size() + 1 : piece;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        if (!scan.Feed(text.data() + at, std::min(piece, text.size() - at))) {
            break;
        }
    }
    std::uint32_t address = 0;
    return scan.Found(address) ? std::optional<std::uint32_t>(address) : std::nullopt;
}

constexpr std::uint32_t k3 = 0x0A258103, k4 = 0x0A258104, k5 = 0x0A258105;

TEST(GuestScan, WhichLeaseAnswers) {
    const std::string web1 = "name=web1 bound-since=401,1699999901";
    const struct {
        const char *what;
        std::string body;
        std::optional<std::uint32_t> address;
    } cases[] = {
        {"one bound guest", lease("10.37.129.3", "bound", web1) + "end 1\n", k3},
        {"any case, escapes undone",
         lease("10.37.129.3", "bound", "name=W\\x45b1 last-seen=5,6") + "end 1\n", k3},
        {"bound first wins",
         lease("10.37.129.3", "bound", web1) +
             lease("10.37.129.4", "bound", "name=WEB1 bound-since=300,1699999800") + "end 2\n",
         k4},
        {"same time: the lower address",
         lease("10.37.129.4", "bound", web1) + lease("10.37.129.5", "bound", web1) + "end 2\n", k4},
        {"a stated time wins over none",
         lease("10.37.129.3", "bound", "name=web1") + lease("10.37.129.5", "bound", web1) +
             "end 2\n",
         k5},
        {"an offer answers nothing", lease("10.37.129.3", "offered", web1) + "end 1\n", {}},
        {"another name", lease("10.37.129.3", "bound", "name=web10") + "end 1\n", {}},
        {"no guest line", lease("10.37.129.3", "bound", "") + "end 1\n", {}},
        {"later fields and keys",
         lease("10.37.129.3", "bound", web1 + " later=x") + "new-key a b\nend 1\n", k3},
        {"a guest of another lease",
         lease("10.37.129.3", "bound", "") + "guest 10.37.129.4 name=web1\nend 1\n",
         {}},
        {"two guest lines",
         lease("10.37.129.3", "bound", web1) + "guest 10.37.129.3 name=web1\nend 1\n",
         {}},
        {"a name twice", lease("10.37.129.3", "bound", web1 + " name=web1") + "end 1\n", {}},
        {"a cut escape", lease("10.37.129.3", "bound", "name=web1\\x4") + "end 1\n", {}},
        {"a raw control byte", lease("10.37.129.3", "bound", "name=web1\x01") + "end 1\n", {}},
        {"a bad time", lease("10.37.129.3", "bound", "name=web1 bound-since=0,5") + "end 1\n", {}},
        {"an address out of range",
         lease("10.37.129.300", "bound", "") + "guest 10.37.129.300 name=web1\nend 1\n",
         {}},
        {"a wrong count", lease("10.37.129.3", "bound", web1) + "end 2\n", {}},
        {"no end line", lease("10.37.129.3", "bound", web1), {}},
        {"a cut last line", lease("10.37.129.3", "bound", web1) + "end 1", {}},
        {"more after the end", lease("10.37.129.3", "bound", web1) + "end 1\nx\n", {}},
        {"a line too long",
         lease("10.37.129.3", "bound", web1) + "x " + std::string(2000, 'a') + "\nend 1\n",
         {}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(answer(kHead + c.body), c.address) << c.what;
        // Read in pieces of any size, the answer is the same.
        for (std::size_t piece : {1, 7, 64}) {
            EXPECT_EQ(answer(kHead + c.body, "web1", piece), c.address) << c.what << " " << piece;
        }
    }
}

TEST(GuestScan, OnlyASnapshotOfVersionTwoOrLaterAnswers) {
    const std::string body = lease("10.37.129.3", "bound", "name=web1") + "end 1\n";
    std::string head = kHead;
    EXPECT_EQ(answer(head.replace(0, 18, "vlm_dhcpd-leases 3") + body), k3);
    head = kHead;
    EXPECT_EQ(answer(head.replace(0, 18, "vlm_dhcpd-leases 1") + body), std::nullopt);
    EXPECT_EQ(answer("something else 2\n" + body), std::nullopt);
    EXPECT_EQ(answer(""), std::nullopt);
}

TEST(GuestScan, NamesThatAnswerNothing) {
    const std::string text = kHead + lease("10.37.129.3", "bound", "name=localhost") +
                             lease("10.37.129.4", "bound", "name=github.com") +
                             lease("10.37.129.5", "bound", "name=-web") + "end 3\n";
    for (const char *name : {"localhost", "LOCALHOST", "github.com", "github", "-web", ""}) {
        EXPECT_EQ(answer(text, name), std::nullopt) << name;
    }
}

TEST(GuestScan, ReadsWhatTheServiceWrites) {
    char dir[] = "/tmp/vlm_guestscan_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char path[kRenewPathSize];
    ASSERT_TRUE(buildSnapshotPath(path, "vnic0", dir));
    LeaseEntry table[2]{};
    table[0] = {{0x52, 0x54, 0, 1, 2, 3}, k3, LEASE_BOUND, 0, {}, 1};
    table[1] = {{0x52, 0x54, 0, 1, 2, 4}, k4, LEASE_BOUND, 0, {}, kChainEnd};
    GuestFact guests[2]{};
    for (GuestFact &g : guests) {
        g.nameLength = 4;
        std::memcpy(g.name, "Web1", 4);
        g.clientIdLength = 1;
        g.lastSeen = 400;
    }
    guests[0].firstAck = 90;
    guests[1].firstAck = 80;
    const SnapshotFacts facts{"vnic0",    0x0A258101, 0x0A258101, 0x0A2581FE, 0xFFFFFF00, 77,
                              1700000000, 500,        0,          0,          nullptr};
    ASSERT_EQ(writeLeaseSnapshot(path, facts, table, guests), 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::filesystem::remove_all(dir);
    EXPECT_EQ(answer(text.str()), k4) << text.str();
}

} // namespace
