// Host adapter configuration against real interfaces, each test in a network
// namespace of its own (the test process's; it ends with the process).
#include "Adapter.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
constexpr int kErr = 3;

class Adapter : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
            GTEST_SKIP() << "needs root to make a network namespace";
        }
        ASSERT_EQ(std::system("ip tuntap add dev vnic0 mode tap"), 0);
        sock = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(sock, 0);
    }
    void TearDown() override {
        if (sock >= 0) {
            close(sock);
        }
    }
    // The adapter's address or mask as dotted text, "" when it has none.
    std::string query(unsigned long request) const {
        struct ifreq r {};
        std::strcpy(r.ifr_name, "vnic0");
        if (ioctl(sock, request, &r) != 0) {
            return "";
        }
        sockaddr_in in{};
        std::memcpy(&in, &r.ifr_addr, sizeof in);
        char text[INET_ADDRSTRLEN];
        return inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    }
    bool isUp() const {
        struct ifreq r {};
        std::strcpy(r.ifr_name, "vnic0");
        EXPECT_EQ(ioctl(sock, SIOCGIFFLAGS, &r), 0);
        return (r.ifr_flags & IFF_UP) != 0;
    }
    int sock = -1;
    LogCapture log;
};

TEST_F(Adapter, FreshAdapterGetsAddressAndMaskAndStaysDownWithoutBringUp) {
    EXPECT_EQ(configureAdapter("vnic0", 0x0A258102, 0xFFFFFF00, 0), 0);
    EXPECT_EQ(query(SIOCGIFADDR), "10.37.129.2");
    EXPECT_EQ(query(SIOCGIFNETMASK), "255.255.255.0");
    EXPECT_FALSE(isUp());
    // An adapter without an address yet: the read of the old one is logged.
    EXPECT_EQ(LogCapture::lines(),
              (Lines{{kErr, "vlm_dhcp: Error getting current address for adapter vnic0 (Cannot "
                            "assign requested address)"}}));
}

TEST_F(Adapter, BringUpFlagDecidesTheEndState) {
    EXPECT_EQ(configureAdapter("vnic0", 0xC0A83202, 0xFFFF0000, 1), 0);
    EXPECT_TRUE(isUp());
    EXPECT_EQ(query(SIOCGIFADDR), "192.168.50.2");
    EXPECT_EQ(query(SIOCGIFNETMASK), "255.255.0.0");
    // An up adapter is taken down when asked without bring-up.
    LogCapture::lines().clear();
    EXPECT_EQ(configureAdapter("vnic0", 0x0A000002, 0xFFFFFF00, 0), 0);
    EXPECT_FALSE(isUp());
    EXPECT_EQ(query(SIOCGIFADDR), "10.0.0.2");
    EXPECT_TRUE(LogCapture::lines().empty());
}

TEST_F(Adapter, MissingAdapterFailsAtTheAddress) {
    EXPECT_EQ(configureAdapter("nosuch0", 0x0A000002, 0xFFFFFF00, 1), -1);
    EXPECT_EQ(LogCapture::lines(),
              (Lines{{kErr, "Error getting current flags for adapter nosuch0 (No such device)"},
                     {kErr, "vlm_dhcp: Error getting current address for adapter nosuch0 (No "
                            "such device)"},
                     {kErr, "vlm_dhcp: Couldn't set IP address for adapter nosuch0 (No such "
                            "device)"}}));
}

// A renew file may carry 16 name bytes without a NUL; only 16 are used.
TEST_F(Adapter, UnterminatedNameIsReadNoFurtherThan16Bytes) {
    struct {
        char name[16];
        char after[8];
    } record;
    std::memcpy(record.name, "abcdefghijklmnop", 16);
    std::memcpy(record.after, "SECRET!", 8);
    EXPECT_EQ(configureAdapter(record.name, 0x0A000002, 0xFFFFFF00, 1), -1);
    ASSERT_FALSE(LogCapture::lines().empty());
    for (const auto &line : LogCapture::lines()) {
        EXPECT_EQ(line.second.find("SECRET"), std::string::npos) << line.second;
        EXPECT_NE(line.second.find("abcdefghijklmnop"), std::string::npos) << line.second;
    }
}

TEST_F(Adapter, TwinsOnAnInvalidSocket) {
    struct ifreq r {};
    std::strcpy(r.ifr_name, "vnic0");
    EXPECT_EQ(interfaceUp(-1, &r), 0);
    EXPECT_EQ(interfaceDown(-1, &r), 0);
    const std::string text = "Error: invalid socket to interfaceUp for adapter vnic0!";
    EXPECT_EQ(LogCapture::lines(), (Lines{{kErr, text}, {kErr, text}}));
    // A descriptor that takes no interface requests fails the flag read.
    LogCapture::lines().clear();
    const int notASocket = open("/dev/null", O_RDONLY);
    EXPECT_EQ(interfaceUp(notASocket, &r), -1);
    close(notASocket);
    ASSERT_EQ(LogCapture::lines().size(), 1u);
    EXPECT_EQ(
        LogCapture::lines()[0].second.rfind("Error getting current flags for adapter vnic0 (", 0),
        0u);
}

} // namespace
