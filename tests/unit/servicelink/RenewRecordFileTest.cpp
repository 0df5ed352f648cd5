#include "RenewRecordFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The record of a service on vnic0 with the demo scope, written out by hand
// in the little-endian order of the hosts the service runs on.
const Bytes kDemoRecord = {
    0x39, 0x30, 0x00, 0x00,                        // pid 12345
    0x01, 0x81, 0x25, 0x0A,                        // scopeStart 10.37.129.1
    0xFE, 0x81, 0x25, 0x0A,                        // scopeEnd 10.37.129.254
    0x00, 0xFF, 0xFF, 0xFF,                        // scopeMask 255.255.255.0
    0x00, 0x00, 0x00, 0x00,                        // reserved
    'v',  'n',  'i',  'c',  '0', 0, 0, 0, 0, 0, 0, // adapterName "vnic0",
    0,    0,    0,    0,    0,                     //   NUL-filled to 16 bytes
    0x01, 0x00, 0x00, 0x00,                        // startInterface 1
};

ScopeRenewRecord demoRecord() {
    ScopeRenewRecord record{};
    record.pid = 12345;
    record.scopeStart = 0x0A258101;
    record.scopeEnd = 0x0A2581FE;
    record.scopeMask = 0xFFFFFF00;
    std::strcpy(record.adapterName, "vnic0");
    record.startInterface = 1;
    return record;
}

Bytes readBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
}

std::size_t entriesIn(const std::string &dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                  std::filesystem::directory_iterator()));
}

TEST(RenewFilePath, JoinsInstallDirectoryAndWholeDeviceName) {
    EXPECT_EQ(renewFilePath("/usr/lib/velmarind/", "vnic0"), "/usr/lib/velmarind/.dhcp.vnic0");
    // Longer than the record's adapter name field: the path keeps all of it.
    EXPECT_EQ(renewFilePath("/usr/lib/velmarind/", "abcdefghijklmnopqrst"),
              "/usr/lib/velmarind/.dhcp.abcdefghijklmnopqrst");
    // A name the service could not build a path for names no file here either.
    EXPECT_EQ(renewFilePath("/usr/lib/velmarind/", std::string(1000, 'x')), "");
}

TEST(RenewFilePath, RefusesNamesThatLeaveTheDirectory) {
    const struct {
        const char *name;
        bool usable;
    } cases[] = {
        {"vnic0", true}, {"abcdefghijklmnopqrst", true},
        {"..", true}, // ".dhcp.." stays inside
        {"", false},     {"../etc/x", false},
        {"a/b", false},  {"/", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(isUsableDeviceName(c.name), c.usable) << "'" << c.name << "'";
    }
}

TEST(RecordFile, WritesTheRecordInHostOrderByteForByte) {
    if constexpr (std::endian::native != std::endian::little) {
        GTEST_SKIP() << "golden bytes are little-endian";
    }
    TempDir dir;
    const std::string path = dir.file(".dhcp.vnic0");
    ASSERT_EQ(replaceRecordFile(path, demoRecord()), 0);
    EXPECT_EQ(readBytes(path), kDemoRecord);
}

TEST(RecordFile, ReadsWhatTheServiceWrote) {
    TempDir dir;
    const std::string path = dir.file(".dhcp.vnic0");
    writeBytes(path, kDemoRecord);
    ScopeRenewRecord record{};
    const RecordReadResult result = readRecordFile(path, record);
    ASSERT_EQ(result.status, RecordRead::ok);
    EXPECT_EQ(result.size, 40u);
    EXPECT_EQ(std::memcmp(&record, kDemoRecord.data(), sizeof record), 0);
}

TEST(RecordFile, AnythingButFortyBytesIsMalformed) {
    const struct {
        std::size_t size;
        std::size_t reported; // reading stops one byte past a record
    } cases[] = {{0, 0}, {1, 1}, {20, 20}, {39, 39}, {41, 41}, {80, 41}, {4096, 41}};
    TempDir dir;
    const std::string path = dir.file(".dhcp.vnic0");
    for (const auto &c : cases) {
        writeBytes(path, Bytes(c.size, 0x5A));
        ScopeRenewRecord record = demoRecord();
        const RecordReadResult result = readRecordFile(path, record);
        EXPECT_EQ(result.status, RecordRead::wrongSize) << c.size;
        EXPECT_EQ(result.size, c.reported) << c.size;
        // A malformed file leaves the caller's record alone.
        EXPECT_EQ(record.scopeStart, 0x0A258101u) << c.size;
    }
}

TEST(RecordFile, TellsAMissingFileFromAnUnreadableOne) {
    TempDir dir;
    ScopeRenewRecord record{};
    const RecordReadResult missing = readRecordFile(dir.file(".dhcp.vnic9"), record);
    EXPECT_EQ(missing.status, RecordRead::missing);
    EXPECT_EQ(missing.error, ENOENT);
    // A directory opens but cannot be read.
    ASSERT_EQ(mkdir(dir.file(".dhcp.vnic1").c_str(), 0755), 0);
    const RecordReadResult directory = readRecordFile(dir.file(".dhcp.vnic1"), record);
    EXPECT_EQ(directory.status, RecordRead::unreadable);
    EXPECT_EQ(directory.error, EISDIR);
}

TEST(RecordFile, ReplacementIsMode0644WhateverTheUmask) {
    TempDir dir;
    const std::string path = dir.file(".dhcp.vnic0");
    const mode_t saved = umask(077);
    const int error = replaceRecordFile(path, demoRecord());
    umask(saved);
    ASSERT_EQ(error, 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(RecordFile, ReplacementIsAtomicAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file(".dhcp.vnic0");
    writeBytes(path, kDemoRecord);
    // A reader that opened the old file before the replacement still sees
    // the old record whole: the new one arrives as a different file.
    const int reader = open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ScopeRenewRecord next = demoRecord();
    next.scopeStart = 0xC0A80001;
    next.scopeEnd = 0xC0A800FE;
    ASSERT_EQ(replaceRecordFile(path, next), 0);
    Bytes old(64);
    const ssize_t got = read(reader, old.data(), old.size());
    close(reader);
    ASSERT_EQ(got, 40);
    old.resize(40);
    EXPECT_EQ(old, kDemoRecord);

    ScopeRenewRecord back{};
    ASSERT_EQ(readRecordFile(path, back).status, RecordRead::ok);
    EXPECT_EQ(back.scopeStart, 0xC0A80001u);
    EXPECT_EQ(back.scopeEnd, 0xC0A800FEu);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(RecordFile, FailedReplacementReportsAndLeavesNothing) {
    TempDir dir;
    EXPECT_EQ(replaceRecordFile(dir.file("absent/.dhcp.vnic0"), demoRecord()), ENOENT);
    // The target is a non-empty directory: the temporary file is written but
    // cannot be renamed over it, and must not stay behind.
    const std::string blocked = dir.file(".dhcp.vnic0");
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
    writeBytes(blocked + "/x", {1});
    EXPECT_NE(replaceRecordFile(blocked, demoRecord()), 0);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

} // namespace
