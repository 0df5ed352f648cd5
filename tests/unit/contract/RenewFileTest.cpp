// The scope renew file: its path, its 40 bytes in host order, and how the
// service reads back what a host manager wrote.
#include "RenewFile.h"
#include "FileSizeLimit.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

const char kCreate[] = "Velmarind DHCP server for virtual NIC couldn't create scope renew file. "
                       "Scope update will be unavailaible.";
const char kOpen[] = "Velmarind DHCP server for virtual NIC couldn't open scope renew file.";
const char kRead[] = "Velmarind DHCP server for virtual NIC couldn't read scope renew file.";
const char kDelete[] = "Velmarind DHCP server for virtual NIC couldn't delete scope renew file.";

class RenewFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path() + "/";
        ASSERT_TRUE(buildRenewPath(path, "vnic0", dir.c_str()));
    }
    void writeBytes(const std::string &bytes) const {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static ScopeRenewRecord sample() {
        ScopeRenewRecord r{};
        r.pid = 4242;
        r.scopeStart = 0x0A258101; // 10.37.129.1
        r.scopeEnd = 0x0A2581FE;
        r.scopeMask = 0xFFFFFF00;
        std::strcpy(r.adapterName, "vnic0");
        r.startInterface = 1;
        return r;
    }
    TempDir tmp;
    std::string dir;
    char path[kRenewPathSize]{};
    LogCapture log;
};

TEST_F(RenewFile, PathIsHiddenFileInTheInstallDirectory) {
    char p[kRenewPathSize];
    ASSERT_TRUE(buildRenewPath(p, "vnic0"));
    EXPECT_STREQ(p, "/usr/lib/velmarind/.dhcp.vnic0");
    ASSERT_TRUE(buildRenewPath(p, "abcdefghijklmnopqrst")); // 20 characters, whole
    EXPECT_STREQ(p, "/usr/lib/velmarind/.dhcp.abcdefghijklmnopqrst");
}

TEST_F(RenewFile, TooLongDeviceNameRefusesThePath) {
    char p[kRenewPathSize];
    const std::string fits(kRenewPathSize - 1 - std::strlen("/usr/lib/velmarind/.dhcp."), 'x');
    EXPECT_TRUE(buildRenewPath(p, fits.c_str()));
    EXPECT_FALSE(buildRenewPath(p, (fits + "x").c_str()));
    EXPECT_STREQ(p, "");
    // Every operation on the refused path fails with its own message.
    ScopeRenewRecord r = sample();
    writeRenewFile(p, r);
    EXPECT_EQ(readRenewFile(p, r), -1);
    removeRenewFile(p);
    EXPECT_EQ(LogCapture::lines(), (Lines{{3, kCreate}, {3, kOpen}, {3, kDelete}}));
}

TEST_F(RenewFile, WrittenBytesAreTheRecordInHostOrder) {
    const mode_t previous = umask(0); // as in the service process
    writeRenewFile(path, sample());
    umask(previous);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const unsigned char expected[40] = {
        0x92, 0x10, 0,    0,    // pid 4242, little-endian
        0x01, 0x81, 0x25, 0x0A, // 10.37.129.1
        0xFE, 0x81, 0x25, 0x0A, // 10.37.129.254
        0x00, 0xFF, 0xFF, 0xFF, // 255.255.255.0
        0,    0,    0,    0,    // reserved
        'v',  'n',  'i',  'c',  '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, // start interface
    };
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(std::memcmp(bytes.data(), expected, 40), 0);
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(LogCapture::lines().empty());
}

TEST_F(RenewFile, AFullFileSystemKeepsTheOldRecordWhole) {
    writeRenewFile(path, sample());
    ScopeRenewRecord next = sample();
    next.pid = 99;
    {
        const FileSizeLimit room(20); // the first write comes back short
        writeRenewFile(path, next);
    }
    ScopeRenewRecord r{};
    EXPECT_EQ(readRenewFile(path, r), 0);
    EXPECT_EQ(r.pid, 4242);
    EXPECT_EQ(LogCapture::lines(), (Lines{{3, kCreate}}));
    // Nothing but the record is left in the folder.
    DIR *folder = opendir(dir.c_str());
    ASSERT_NE(folder, nullptr);
    std::vector<std::string> names;
    while (const dirent *e = readdir(folder)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(folder);
    EXPECT_EQ(names, std::vector<std::string>{".dhcp.vnic0"});
}

TEST_F(RenewFile, ShortAndLongFiles) {
    const ScopeRenewRecord before = sample();
    ScopeRenewRecord fresh{};
    fresh.pid = 7;
    fresh.scopeStart = 0xC0A80001;
    fresh.scopeEnd = 0xC0A800FE;
    fresh.scopeMask = 0xFFFF0000;
    std::strcpy(fresh.adapterName, "other");
    fresh.startInterface = 0;
    const std::string whole(reinterpret_cast<const char *>(&fresh), sizeof fresh);

    struct Case {
        const char *what;
        std::string bytes;
        bool logsRead;
        std::size_t fromFile; // leading bytes that come from the file
    };
    const Case cases[] = {
        {"empty", "", true, 0},
        {"20 bytes", whole.substr(0, 20), true, 20},
        {"39 bytes", whole.substr(0, 39), true, 39},
        {"40 bytes", whole, false, 40},
        {"longer", whole + "trailing junk", false, 40},
    };
    for (const Case &c : cases) {
        LogCapture::lines().clear();
        writeBytes(c.bytes);
        ScopeRenewRecord r = before;
        EXPECT_EQ(readRenewFile(path, r), 0) << c.what;
        unsigned char expected[40];
        std::memcpy(expected, &before, 40);
        std::memcpy(expected, &fresh, c.fromFile);
        EXPECT_EQ(std::memcmp(&r, expected, 40), 0) << c.what;
        EXPECT_EQ(LogCapture::lines(), (c.logsRead ? Lines{{3, kRead}} : Lines{})) << c.what;
    }
}

TEST_F(RenewFile, MissingFileAndRemoval) {
    ScopeRenewRecord r = sample();
    EXPECT_EQ(readRenewFile(path, r), -1);
    writeRenewFile(path, r);
    removeRenewFile(path);
    EXPECT_NE(access(path, F_OK), 0);
    removeRenewFile(path);
    EXPECT_EQ(LogCapture::lines(), (Lines{{3, kOpen}, {3, kDelete}}));
}

TEST_F(RenewFile, UnwritableDirectoryLogsTheCreation) {
    char p[kRenewPathSize];
    ASSERT_TRUE(buildRenewPath(p, "vnic0", "/nonexistent-dir/"));
    writeRenewFile(p, sample());
    EXPECT_EQ(LogCapture::lines(), (Lines{{3, kCreate}}));
}

} // namespace
