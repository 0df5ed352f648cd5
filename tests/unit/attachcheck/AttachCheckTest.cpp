#include "AttachCheck.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using vmbridge::AttachState;
using vmbridge::checkAttachRecord;

// The record written out byte by byte: 16 name bytes, then 6 address bytes.
std::vector<std::uint8_t> record(const std::string &name16, std::vector<std::uint8_t> mac) {
    std::vector<std::uint8_t> bytes(name16.begin(), name16.end());
    bytes.resize(16, 0);
    bytes.insert(bytes.end(), mac.begin(), mac.end());
    return bytes;
}

const std::vector<std::uint8_t> kStation = {0x02, 0, 0, 0, 0, 0x01};

struct Case {
    const char *what;
    std::vector<std::uint8_t> bytes;
    AttachState state;
    int expected;
};

TEST(AttachCheck, VerdictsInTheDriversOrder) {
    const AttachState fresh{false, 0, 32};
    std::vector<std::uint8_t> unterminated = record("", kStation);
    for (int i = 0; i < 16; ++i) {
        unterminated[static_cast<std::size_t>(i)] = 'n';
    }
    std::vector<std::uint8_t> shortRecord = record("vnic0", kStation);
    shortRecord.pop_back();
    std::vector<std::uint8_t> longRecord = record("vnic0", kStation);
    longRecord.push_back(0);
    const Case cases[] = {
        {"plain port", record("vnic0", kStation), fresh, 0},
        {"15-character name", record("nnnnnnnnnnnnnnn", kStation), fresh, 0},
        {"bytes after the terminator are ignored", record(std::string("a\0zzz", 5), kStation),
         fresh, 0},
        {"empty name", record("", kStation), fresh, EINVAL},
        {"name fills all 16 bytes", unterminated, fresh, EINVAL},
        {"group address", record("vnic0", {0x01, 0, 0x5e, 0, 0, 1}), fresh, EINVAL},
        {"broadcast address", record("vnic0", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), fresh, EINVAL},
        {"zero address", record("vnic0", {0, 0, 0, 0, 0, 0}), fresh, EINVAL},
        {"21 bytes", shortRecord, fresh, EINVAL},
        {"23 bytes", longRecord, fresh, EINVAL},
        {"attached already", record("vnic0", kStation), {true, 1, 32}, EISCONN},
        {"bridge full", record("vnic0", kStation), {false, 2, 2}, ENOSPC},
        {"bridge refusing all", record("vnic0", kStation), {false, 0, 0}, ENOSPC},
        {"last free port", record("vnic0", kStation), {false, 1, 2}, 0},
        // the record is judged before the descriptor, the descriptor before the bridge
        {"bad record on an attached port", record("", kStation), {true, 32, 32}, EINVAL},
        {"attached port on a full bridge", record("vnic0", kStation), {true, 32, 32}, EISCONN},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(checkAttachRecord(c.bytes.data(), c.bytes.size(), c.state), c.expected) << c.what;
    }
    EXPECT_EQ(checkAttachRecord(nullptr, 22, fresh), EINVAL);
}

} // namespace
