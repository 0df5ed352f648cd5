// The lease snapshot file: its text, byte for byte, for tables laid out by
// hand; its order and speed for a full table; and what a failed write leaves.
#include "LeaseSnapshot.h"
#include "FileSizeLimit.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

class SnapshotDir : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path();
        ASSERT_TRUE(buildSnapshotPath(path, "vnic0", dir.c_str()));
    }

    std::string read() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto &entry : fs::directory_iterator(dir)) {
            found.push_back(entry.path().filename().string());
        }
        return found;
    }

    TempDir tmp;
    std::string dir;
    char path[kRenewPathSize];
};

SnapshotFacts facts(const DhcpCounters *counters = nullptr) {
    SnapshotFacts f{};
    f.device = "vnic0";
    f.ownAddress = 0x0A258101;
    f.scopeStart = 0x0A258101;
    f.scopeEnd = 0x0A2581FE;
    f.scopeMask = 0xFFFFFF00;
    f.pid = 4242;
    f.unixTime = 4102444800; // 2100-01-01: past the 32-bit rollover
    f.monotonicSeconds = 5123;
    f.monotonicNanoseconds = 4000000;
    f.framesRead = 17;
    f.counters = counters;
    return f;
}

LeaseEntry entry(std::uint32_t address, std::uint8_t last, std::uint32_t state, std::int32_t next) {
    LeaseEntry e{};
    const std::uint8_t hw[6] = {0x52, 0x54, 0x00, 0xAB, 0xCD, last};
    std::copy(hw, hw + 6, e.hwAddr);
    e.ipAddr = address;
    e.state = state;
    e.next = next;
    return e;
}

const char kHeader[] = "vlm_dhcpd-leases 2\n"
                       "device vnic0\n"
                       "pid 4242\n"
                       "time 4102444800\n"
                       "monotonic 5123.004000000\n"
                       "own-address 10.37.129.1\n"
                       "scope 10.37.129.1 10.37.129.254\n"
                       "mask 255.255.255.0\n";

TEST_F(SnapshotDir, TextForTablesLaidOutByHand) {
    // Slot numbers out of address order: the file follows the chain.
    std::vector<LeaseEntry> chain(8);
    chain[0] = entry(0x0A258103, 0x01, LEASE_BOUND, 5);
    chain[5] = entry(0x0A258104, 0xF0, LEASE_OFFERED, 2);
    chain[2] = entry(0x0A2581FE, 0x0A, LEASE_BOUND, kChainEnd);
    // A free slot 0 means an empty table, whatever the other slots hold.
    std::vector<LeaseEntry> empty(4);
    empty[1] = entry(0x0A258109, 0x09, LEASE_BOUND, kChainEnd);

    const struct {
        const char *name;
        std::span<const LeaseEntry> table;
        std::string body;
    } cases[] = {
        {"empty", empty, "end 0\n"},
        {"no slots", {}, "end 0\n"},
        {"chain", chain,
         "lease 10.37.129.3 52:54:00:ab:cd:01 bound\n"
         "lease 10.37.129.4 52:54:00:ab:cd:f0 offered\n"
         "lease 10.37.129.254 52:54:00:ab:cd:0a bound\n"
         "end 3\n"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(writeLeaseSnapshot(path, facts(), c.table), 0) << c.name;
        EXPECT_EQ(read(), kHeader + c.body) << c.name;
    }
}

// Guests' facts follow their slot; a name is one field whatever its bytes.
TEST_F(SnapshotDir, GuestLinesFollowTheirLeases) {
    std::vector<LeaseEntry> chain(8);
    chain[0] = entry(0x0A258103, 0x01, LEASE_BOUND, 5);
    chain[5] = entry(0x0A258104, 0xF0, LEASE_OFFERED, 2);
    chain[2] = entry(0x0A2581FE, 0x0A, LEASE_BOUND, kChainEnd);
    std::vector<GuestFact> guests(8);
    GuestFact &offered = guests[5];
    offered.nameLength = 5;
    std::memcpy(offered.name, "we b1", 5);
    offered.clientIdLength = 3;
    std::memcpy(offered.clientId, "\x01\x52\xff", 3);
    offered.firstOffer = 5000;
    GuestFact &bound = guests[2];
    bound.nameLength = 4;
    std::memcpy(bound.name, "\\\n=\x7f", 4);
    bound.firstAck = 5001;
    bound.lastAck = 5100;
    bound.lastSeen = 5123;
    ASSERT_EQ(writeLeaseSnapshot(path, facts(), chain, guests.data()), 0);
    EXPECT_EQ(read(), std::string(kHeader) +
                          "lease 10.37.129.3 52:54:00:ab:cd:01 bound\n"
                          "lease 10.37.129.4 52:54:00:ab:cd:f0 offered\n"
                          "guest 10.37.129.4 name=we\\x20b1 client-id=0152ff "
                          "first-offer=5000,4102444677\n"
                          "lease 10.37.129.254 52:54:00:ab:cd:0a bound\n"
                          "guest 10.37.129.254 name=\\x5c\\x0a=\\x7f bound-since=5001,4102444678 "
                          "last-ack=5100,4102444777 last-seen=5123,4102444800\n"
                          "end 3\n");
}

TEST_F(SnapshotDir, CountersFollowTheHeader) {
    DhcpCounters counters{};
    counters.discoversSeen = 5;
    counters.requestsSeen = 4;
    counters.offersSent = 5;
    counters.acksSent = 3;
    counters.naksSent = 1;
    counters.droppedMalformed = 2;
    counters.droppedNotForUs = 0x100000000ULL; // wider than 32 bits
    ASSERT_EQ(writeLeaseSnapshot(path, facts(&counters), {}), 0);
    EXPECT_EQ(read(), std::string(kHeader) + "counter frames-read 17\n"
                                             "counter discovers-seen 5\n"
                                             "counter requests-seen 4\n"
                                             "counter offers-sent 5\n"
                                             "counter acks-sent 3\n"
                                             "counter naks-sent 1\n"
                                             "counter dropped-malformed 2\n"
                                             "counter dropped-not-for-us 4294967296\n"
                                             "end 0\n");
}

TEST_F(SnapshotDir, DeviceNameBytesThatWouldBreakALineAreEscaped) {
    SnapshotFacts f = facts();
    f.device = "v n\\ic\n\x7f\xc3";
    ASSERT_EQ(writeLeaseSnapshot(path, f, {}), 0);
    const std::string text = read();
    EXPECT_NE(text.find("\ndevice v\\x20n\\x5cic\\x0a\\x7f\\xc3\npid 4242\n"), std::string::npos)
        << text;
}

TEST_F(SnapshotDir, FullTableInAddressOrderWellUnderASecond) {
    // Every slot used; slot n holds the n-th address from the top, so the
    // chain runs backwards through the array.
    std::vector<LeaseEntry> table(kLeaseSlots);
    const std::uint32_t base = 0x0A000002;
    for (std::int32_t slot = 0; slot < kLeaseSlots; ++slot) {
        const std::int32_t rank = slot == 0 ? 0 : kLeaseSlots - slot;
        const std::int32_t nextRank = rank + 1;
        const std::int32_t next =
            nextRank == kLeaseSlots ? kChainEnd : (nextRank == 0 ? 0 : kLeaseSlots - nextRank);
        table[static_cast<std::size_t>(slot)] =
            entry(base + static_cast<std::uint32_t>(rank), static_cast<std::uint8_t>(rank),
                  rank % 3 == 0 ? LEASE_OFFERED : LEASE_BOUND, next);
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(writeLeaseSnapshot(path, facts(), table), 0);
    const auto took = std::chrono::steady_clock::now() - started;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    RecordProperty("full_table_ms", static_cast<int>(ms));
    std::printf("full table of %d leases written in %lld ms\n", kLeaseSlots,
                static_cast<long long>(ms));
    EXPECT_LT(ms, 500);

    std::istringstream text(read());
    std::string line;
    std::uint32_t expected = base;
    int leases = 0;
    std::string last;
    while (std::getline(text, line)) {
        if (line.rfind("lease ", 0) != 0) {
            last = line;
            continue;
        }
        const std::uint32_t a = expected;
        const std::string address = std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) +
                                    "." + std::to_string(a >> 8 & 255) + "." +
                                    std::to_string(a & 255);
        ASSERT_EQ(line.substr(6, address.size() + 1), address + " ") << line;
        ++expected;
        ++leases;
    }
    EXPECT_EQ(leases, kLeaseSlots);
    EXPECT_EQ(last, "end 65536");
}

TEST_F(SnapshotDir, ADamagedChainEndsTheWalkInsteadOfLooping) {
    std::vector<LeaseEntry> table(3);
    table[0] = entry(0x0A000003, 1, LEASE_BOUND, 1);
    table[1] = entry(0x0A000004, 2, LEASE_BOUND, 0); // back to the head
    ASSERT_EQ(writeLeaseSnapshot(path, facts(), table), 0);
    EXPECT_NE(read().find("\nend 3\n"), std::string::npos);
    table[1].next = 7; // past the end
    ASSERT_EQ(writeLeaseSnapshot(path, facts(), table), 0);
    EXPECT_NE(read().find("\nend 2\n"), std::string::npos);
}

TEST_F(SnapshotDir, AFailedWriteLeavesTheOldSnapshotAndNoTemporaryFile) {
    ASSERT_EQ(writeLeaseSnapshot(path, facts(), {}), 0);
    const std::string before = read();
    EXPECT_EQ((fs::status(path).permissions() & fs::perms::all),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);

    char missing[kRenewPathSize];
    ASSERT_TRUE(buildSnapshotPath(missing, "vnic0", (dir + "/absent").c_str()));
    EXPECT_EQ(writeLeaseSnapshot(missing, facts(), {}), ENOENT);
    char notFolder[kRenewPathSize];
    ASSERT_TRUE(buildSnapshotPath(notFolder, "x", path)); // a file where a folder should be
    EXPECT_EQ(writeLeaseSnapshot(notFolder, facts(), {}), ENOTDIR);
    EXPECT_NE(writeLeaseSnapshot("", facts(), {}), 0);
    // A folder standing where the file should be: written, but not renamed.
    char blocked[kRenewPathSize];
    ASSERT_TRUE(buildSnapshotPath(blocked, "vnic9", dir.c_str()));
    fs::create_directory(blocked);
    fs::create_directory(std::string(blocked) + "/inside");
    EXPECT_NE(writeLeaseSnapshot(blocked, facts(), {}), 0);

    EXPECT_EQ(read(), before);
    std::vector<std::string> left = names();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"vnic0.leases", "vnic9.leases"}));
}

TEST_F(SnapshotDir, ReplacedWholeSoAHardLinkKeepsTheOldText) {
    ASSERT_EQ(writeLeaseSnapshot(path, facts(), {}), 0);
    const std::string before = read();
    const std::string kept = dir + "/kept";
    ASSERT_EQ(link(path, kept.c_str()), 0);
    SnapshotFacts next = facts();
    next.pid = 7;
    ASSERT_EQ(writeLeaseSnapshot(path, next, {}), 0);
    EXPECT_NE(read().find("\npid 7\n"), std::string::npos);
    std::ifstream old(kept);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), before);
    // A full folder: the write fails, and the snapshot there stays whole.
    const std::string current = read();
    {
        const FileSizeLimit room(100);
        EXPECT_EQ(writeLeaseSnapshot(path, facts(), {}), EFBIG);
    }
    EXPECT_EQ(read(), current);
    std::vector<std::string> left = names();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kept", "vnic0.leases"}));
}

TEST_F(SnapshotDir, OnlyThisDevicesTemporariesAreRemoved) {
    const struct {
        const char *name;
        bool removed;
    } cases[] = {
        {"vnic0.leases.Ab3xZ9", true},   {"vnic0.leases.000000", true},
        {"vnic0.leases", false},         {"vnic0.leases.Ab3xZ", false},
        {"vnic0.leases.Ab3xZ91", false}, {"vnic0.leases.Ab-xZ9", false},
        {"vnic1.leases.Ab3xZ9", false},  {"xvnic0.leases.Ab3xZ9", false},
    };
    for (const auto &c : cases) {
        std::ofstream(dir + "/" + c.name) << "x";
    }
    removeSnapshotTemporaries(path);
    for (const auto &c : cases) {
        EXPECT_EQ(!fs::exists(dir + "/" + c.name), c.removed) << c.name;
    }
}

// The stamp must come from the clocks a reader compares it with: the tool
// takes CLOCK_MONOTONIC before it asks and accepts only a later snapshot.
TEST(SnapshotStamp, TakenFromTheMonotonicAndTheWallClock) {
    timespec monoBefore{}, monoAfter{}, wallBefore{}, wallAfter{};
    clock_gettime(CLOCK_MONOTONIC, &monoBefore);
    clock_gettime(CLOCK_REALTIME, &wallBefore);
    SnapshotFacts f{};
    stampSnapshotFacts(f);
    clock_gettime(CLOCK_MONOTONIC, &monoAfter);
    clock_gettime(CLOCK_REALTIME, &wallAfter);
    const auto ns = [](std::int64_t s, std::int64_t n) { return s * 1000000000 + n; };
    const std::int64_t stamp = ns(f.monotonicSeconds, f.monotonicNanoseconds);
    EXPECT_GE(stamp, ns(monoBefore.tv_sec, monoBefore.tv_nsec));
    EXPECT_LE(stamp, ns(monoAfter.tv_sec, monoAfter.tv_nsec));
    EXPECT_GE(f.unixTime, wallBefore.tv_sec);
    EXPECT_LE(f.unixTime, wallAfter.tv_sec);
    EXPECT_EQ(f.pid, getpid());
}

TEST(SnapshotPath, NamesOneFileInTheFolder) {
    const std::string longName(kRenewPathSize, 'v');
    const struct {
        const char *device;
        const char *dir;
        const char *path; // null: refused
    } cases[] = {
        {"vnic0", kSnapshotDir, "/run/vlm_dhcpd/vnic0.leases"},
        {"tap-guest.1", "/tmp/x", "/tmp/x/tap-guest.1.leases"},
        {"", kSnapshotDir, nullptr},
        {"../etc", kSnapshotDir, nullptr},
        {"a/b", kSnapshotDir, nullptr},
        {longName.c_str(), kSnapshotDir, nullptr},
    };
    for (const auto &c : cases) {
        char path[kRenewPathSize] = "junk";
        EXPECT_EQ(buildSnapshotPath(path, c.device, c.dir), c.path != nullptr) << c.device;
        EXPECT_STREQ(path, c.path ? c.path : "") << c.device;
    }
}

} // namespace
