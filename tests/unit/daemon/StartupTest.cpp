// The start-up process up to the fork: the option walk, the configuration
// look-ups and the exit statuses of the paths that end before a service.
#include "Startup.h"
#include "LogCapture.h"
#include "Service.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
constexpr int kErr = 3;
constexpr int kInfo = 6;
const char kStarting[] = "Velmarind DHCP daemon is starting";

int run(std::vector<std::string> args) {
    args.insert(args.begin(), "vlm_dhcpd");
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return vlmMain(static_cast<int>(args.size()), argv.data());
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path();
    }
    std::string config() const { return dir + "/conf"; }
    std::string writeConfig(const std::string &text) const {
        std::ofstream(config()) << text;
        return config();
    }
    TempDir tmp;
    std::string dir;
    LogCapture log;
};

TEST_F(Startup, BadArgumentsEndWithStatus1) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-x"}, "Velmarind DHCP daemon: bad argument -x"},
        {{"-cfile"}, "Velmarind DHCP daemon: bad argument -cfile"},
        {{"--c", "f"}, "Velmarind DHCP daemon: bad argument --c"},
        {{"-c"}, "Velmarind DHCP daemon: config file name missing"},
        {{"-d"}, "Velmarind DHCP daemon: device name missing"},
        {{"-d", "a", "-c"}, "Velmarind DHCP daemon: config file name missing"},
        {{"-c", "f", "extra"}, "Velmarind DHCP daemon: bad argument extra"},
    };
    for (const Case &c : cases) {
        LogCapture::lines().clear();
        EXPECT_EQ(run(c.args), 1) << c.message;
        EXPECT_EQ(LogCapture::lines(), (Lines{{kInfo, kStarting}, {kErr, c.message}}));
    }
}

TEST_F(Startup, UnreadableConfigurationEndsWithStatus2) {
    const std::string missing = dir + "/missing";
    EXPECT_EQ(run({"-c", missing}), 2);
    EXPECT_EQ(LogCapture::lines(),
              (Lines{{kInfo, kStarting},
                     {kErr, "Velmarind DHCP daemon failed to read config " + missing}}));
    LogCapture::lines().clear();
    writeConfig(std::string(20481, '#'));
    EXPECT_EQ(run({"-c", config()}), 2);
    LogCapture::lines().clear();
    EXPECT_EQ(run({"-c", "/dev/zero"}), 2);
    // "-c -d" makes the text -d the path.
    LogCapture::lines().clear();
    EXPECT_EQ(run({"-c", "-d"}), 2);
    EXPECT_EQ(LogCapture::lines().back().second, "Velmarind DHCP daemon failed to read config -d");
}

TEST_F(Startup, DisabledAdapterEndsWithStatus0WithoutForking) {
    writeConfig("[vnic0]\nDHCP=1\n[vnic7]\nDHCP = 0\n");
    // A later -d replaces an earlier one.
    EXPECT_EQ(run({"-d", "vnic0", "-c", config(), "-d", "vnic7"}), 0);
    EXPECT_EQ(LogCapture::lines(),
              (Lines{{kInfo, kStarting}, {kErr, "Velmarind DHCP daemon is disabled for vnic7"}}));
}

// A SIGHUP must end the blocking bridge read, so the handler goes in with
// SA_SIGINFO and without SA_RESTART; it asks for a renewal.
TEST(SighupHandler, InterruptsReadsAndAsksForRenewal) {
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGHUP, nullptr, &previous), 0);
    installSighupHandler();
    struct sigaction installed {};
    ASSERT_EQ(sigaction(SIGHUP, nullptr, &installed), 0);
    EXPECT_EQ(installed.sa_flags & SA_RESTART, 0);
    EXPECT_NE(installed.sa_flags & SA_SIGINFO, 0);
    serviceFlags.store(0);
    ASSERT_EQ(raise(SIGHUP), 0);
    EXPECT_EQ(serviceFlags.load() & kRenewBit, kRenewBit);
    serviceFlags.store(0);
    sigaction(SIGHUP, &previous, nullptr);
}

} // namespace
