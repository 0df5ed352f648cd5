// The tool's command line and what it prints, from hand-made snapshots.
#include "AddressParse.h"
#include "LeaseOptions.h"
#include "LeaseReport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

TEST(AddressParse, AcceptsOnlyWhatItSays) {
    const struct {
        const char *text;
        bool ok;
        std::uint32_t value;
    } quads[] = {
        {"10.37.129.3", true, 0x0A258103},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"010.001.0.9", true, 0x0A010009},
        {"10.37.129.256", false, 0},
        {"10.37.129", false, 0},
        {"10.37.129.3.", false, 0},
        {" 10.37.129.3", false, 0},
        {"10.37.129.3 ", false, 0},
        {"+10.37.129.3", false, 0},
        {"10.-1.129.3", false, 0},
        {"0x0a258103", false, 0},
        {"1000.0.0.1", false, 0},
        {"", false, 0},
    };
    for (const auto &c : quads) {
        const auto got = parseDottedQuad(c.text);
        EXPECT_EQ(got.has_value(), c.ok) << c.text;
        if (got) {
            EXPECT_EQ(*got, c.value) << c.text;
        }
    }
    const struct {
        const char *text;
        bool ok;
    } macs[] = {
        {"52:54:00:12:34:56", true},   {"52-54-00-AB-cd-EF", true},  {"52:54:00:12:34", false},
        {"52:54:00:12:34:56:", false}, {"52:54-00:12:34:56", false}, {"5254.0012.3456", false},
        {"52:54:00:12:34:5g", false},  {"2:54:00:12:34:56", false},  {"", false},
    };
    for (const auto &c : macs) {
        EXPECT_EQ(parseHwAddress(c.text).has_value(), c.ok) << c.text;
    }
    EXPECT_EQ(*parseHwAddress("52-54-00-AB-cd-EF"), (HwAddress{0x52, 0x54, 0, 0xab, 0xcd, 0xef}));
}

std::optional<LeaseOptions> parse(std::vector<std::string> args, std::string &error) {
    args.insert(args.begin(), "vlm_dhcp_leases");
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return parseLeaseOptions(static_cast<int>(args.size()), argv.data(), error);
}

TEST(LeaseOptions, QueriesAndRefusals) {
    const struct {
        std::vector<std::string> args;
        std::optional<LeaseQuery> query; // none: refused
        const char *words;               // in the error, or the device chosen
    } cases[] = {
        {{}, LeaseQuery::table, "vnic0"},
        {{"-d", "vnic3"}, LeaseQuery::table, "vnic3"},
        {{"--device", "tap1", "--json"}, LeaseQuery::json, "tap1"},
        {{"--mac", "52:54:00:12:34:56"}, LeaseQuery::byHw, "vnic0"},
        {{"--address", "10.37.129.3", "-d", "v"}, LeaseQuery::byAddress, "v"},
        {{"--hostname", "web1", "--refresh"}, LeaseQuery::byName, "vnic0"},
        {{"--hostname", "web1", "--json"}, std::nullopt, "exclude each other"},
        {{"--mac", "52:54:00:12:34"}, std::nullopt, "--mac '52:54:00:12:34' is not a hardware"},
        {{"--mac", ""}, std::nullopt, "--mac '' is not a hardware"},
        {{"--address", "10.37.129"}, std::nullopt, "--address '10.37.129' is not an IPv4"},
        {{"--address", "host.example"}, std::nullopt, "is not an IPv4"},
        {{"--mac"}, std::nullopt, "--mac needs a value"},
        {{"--json", "--mac", "52:54:00:12:34:56"}, std::nullopt, "exclude each other"},
        {{"--mac", "52:54:00:12:34:56", "--address", "10.0.0.1"}, std::nullopt, "exclude"},
        {{"--bogus"}, std::nullopt, "unknown option --bogus"},
        {{"-x"}, std::nullopt, "unknown option -x"},
        {{"-xd", "vnic1"}, std::nullopt, "unknown option -x"},
        {{"extra"}, std::nullopt, "unexpected argument 'extra'"},
        {{"-d", "a/b"}, std::nullopt, "not a device name"},
        {{"-d", ""}, std::nullopt, "not a device name"},
    };
    for (const auto &c : cases) {
        std::string error;
        const auto options = parse(c.args, error);
        const std::string line = c.args.empty() ? "(none)" : c.args[0];
        ASSERT_EQ(options.has_value(), c.query.has_value()) << line << ": " << error;
        if (options) {
            EXPECT_EQ(options->query, *c.query) << line;
            EXPECT_EQ(options->device, c.words) << line;
        } else {
            EXPECT_NE(error.find(c.words), std::string::npos) << line << ": " << error;
        }
    }
    std::string error;
    const auto both = parse({"--mac", "52:54:00:0a:0b:0c", "--run-dir", "/tmp/r"}, error);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->hwAddress, (HwAddress{0x52, 0x54, 0, 0x0a, 0x0b, 0x0c}));
    EXPECT_EQ(both->runDir, "/tmp/r");
    EXPECT_EQ(parse({"--address", "10.1.2.3"}, error)->address, 0x0A010203u);
}

TEST(LeaseOptions, TestingAidsAreRefusedToASudoUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "sudo runs the tool as root";
    }
    const char *saved = std::getenv("SUDO_UID");
    const std::string kept = saved != nullptr ? saved : "";
    const struct {
        const char *sudoUid; // nullptr: not run through sudo
        std::vector<std::string> args;
        bool accepted;
    } cases[] = {
        {"1000", {"--install-dir", "/tmp/i"}, false},
        {"1000", {"--run-dir", "/tmp/r"}, false},
        {"1000", {"--daemon", "/tmp/d"}, false},
        {"1000", {"--json"}, true},
        {"0", {"--install-dir", "/tmp/i"}, true},
        {nullptr, {"--run-dir", "/tmp/r", "--daemon", "/tmp/d"}, true},
    };
    for (const auto &c : cases) {
        if (c.sudoUid != nullptr) {
            setenv("SUDO_UID", c.sudoUid, 1);
        } else {
            unsetenv("SUDO_UID");
        }
        std::string error;
        const auto options = parse(c.args, error);
        EXPECT_EQ(options.has_value(), c.accepted) << c.args[0] << " " << error;
        if (!c.accepted) {
            EXPECT_NE(error.find("refused under sudo"), std::string::npos) << error;
        }
    }
    if (saved != nullptr) {
        setenv("SUDO_UID", kept.c_str(), 1);
    } else {
        unsetenv("SUDO_UID");
    }
}

SnapshotLease leaseOf(std::uint32_t address, const HwAddress &hw, const char *state) {
    SnapshotLease lease;
    lease.address = address;
    lease.hwAddress = hw;
    lease.state = state;
    return lease;
}

LeaseSnapshotText sample() {
    LeaseSnapshotText s;
    s.device = "vn\"ic\x01";
    s.pid = 31;
    s.unixTime = 1700000000;
    s.ownAddress = s.scopeStart = 0x0A258101;
    s.scopeEnd = 0x0A2581FE;
    s.scopeMask = 0xFFFFFF00;
    s.counters = {{"offers-sent", 2}, {"acks-sent", 1}};
    SnapshotLease bound = leaseOf(0x0A258103, {0x52, 0x54, 0, 0x12, 0x34, 0x56}, "bound");
    bound.name = "web1";
    bound.clientId = "01525400123456";
    bound.boundSince = {100, 1700000100};
    bound.lastSeen = {160, 1700000160};
    SnapshotLease offered = leaseOf(0x0A258104, {0x52, 0x54, 0, 0x12, 0x34, 0x57}, "offered");
    s.leases = {bound, offered};
    return s;
}

TEST(LeaseReport, JsonForScripts) {
    EXPECT_EQ(leaseJson(sample()),
              "{\"device\": \"vn\\\"ic\\u0001\", \"pid\": 31, \"time\": 1700000000, "
              "\"own_address\": \"10.37.129.1\", \"scope_start\": \"10.37.129.1\", "
              "\"scope_end\": \"10.37.129.254\", \"mask\": \"255.255.255.0\", "
              "\"counters\": {\"offers-sent\": 2, \"acks-sent\": 1}, \"leases\": ["
              "{\"address\": \"10.37.129.3\", \"mac\": \"52:54:00:12:34:56\", \"state\": "
              "\"bound\", \"hostname\": \"web1\", \"client_id\": \"01525400123456\", "
              "\"since\": 1700000100, \"last_seen\": 1700000160}, "
              "{\"address\": \"10.37.129.4\", \"mac\": \"52:54:00:12:34:57\", "
              "\"state\": \"offered\", \"hostname\": null, \"client_id\": null, "
              "\"since\": null, \"last_seen\": null}]}\n");
}

TEST(LeaseReport, TableRowsAndLookUps) {
    LeaseSnapshotText s = sample();
    setenv("TZ", "UTC", 1);
    tzset();
    std::string table = leaseTable(s);
    EXPECT_NE(table.find("\nADDRESS          HARDWARE ADDRESS   STATE    HOSTNAME         "
                         "CLIENT ID        SINCE               LAST SEEN\n"
                         "10.37.129.3      52:54:00:12:34:56  bound    web1             "
                         "01525400123456   2023-11-14 22:15:00 2023-11-14 22:16:00\n"
                         "10.37.129.4      52:54:00:12:34:57  offered  -                "
                         "-                -                   -\n"),
              std::string::npos)
        << table;
    // A name can't add a column or a line to the table.
    s.leases[0].name = "a b\n\\x";
    table = leaseTable(s);
    EXPECT_NE(table.find(" a\\x20b\\x0a\\x5cx "), std::string::npos) << table;
    EXPECT_NE(table.find("\n2 leases\n"), std::string::npos) << table;
    EXPECT_NE(table.find("offers-sent 2 acks-sent 1"), std::string::npos) << table;
    // The first line whole, also for a device name longer than any line.
    for (const std::string &device : {s.device, std::string(300, 'v')}) {
        LeaseSnapshotText named = s;
        named.device = device;
        const std::string text = leaseTable(named);
        EXPECT_EQ(text.substr(0, text.find('\n') + 1),
                  device + ": vlm_dhcpd pid 31, own address 10.37.129.1, scope 10.37.129.1 - "
                           "10.37.129.254 mask 255.255.255.0\n");
    }

    // Only a bound entry answers: an offer is not the guest's address yet.
    EXPECT_EQ(boundAddressOf(s, {0x52, 0x54, 0, 0x12, 0x34, 0x56}), 0x0A258103u);
    EXPECT_EQ(boundAddressOf(s, {0x52, 0x54, 0, 0x12, 0x34, 0x57}), std::nullopt);
    EXPECT_EQ(boundHolderOf(s, 0x0A258103), (HwAddress{0x52, 0x54, 0, 0x12, 0x34, 0x56}));
    EXPECT_EQ(boundHolderOf(s, 0x0A258104), std::nullopt);
    EXPECT_EQ(boundHolderOf(s, 0x0A258105), std::nullopt);
}

TEST(LeaseReport, HostnameAnswersOneLabelFirstBoundWins) {
    LeaseSnapshotText s = sample();
    auto add = [&s](std::uint32_t address, const char *state, const char *name,
                    std::int64_t boundSince) {
        SnapshotLease lease =
            leaseOf(address, {0x52, 0x54, 0, 0, 0, static_cast<std::uint8_t>(address)}, state);
        lease.name = name;
        lease.boundSince = {boundSince, 1700000000 + boundSince};
        s.leases.push_back(lease);
    };
    add(0x0A258102, "bound", "WEB1", 100); // same time: the lower address wins
    add(0x0A258105, "bound", "db", 200);
    add(0x0A258106, "bound", "db", 150);     // bound first: wins though higher
    add(0x0A258107, "offered", "cache", 10); // not bound: answers nothing
    add(0x0A258108, "bound", "localhost", 10);
    add(0x0A258109, "bound", "github.com", 10);
    add(0x0A25810A, "bound", "-dash", 10);
    const struct {
        const char *name;
        std::optional<std::uint32_t> address;
    } cases[] = {
        {"web1", 0x0A258102},    {"Web1", 0x0A258102},        {"db", 0x0A258106},
        {"cache", std::nullopt}, {"localhost", std::nullopt}, {"github.com", std::nullopt},
        {"-dash", std::nullopt}, {"", std::nullopt},          {"nobody", std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(boundAddressNamed(s, c.name), c.address) << c.name;
    }
}

} // namespace
