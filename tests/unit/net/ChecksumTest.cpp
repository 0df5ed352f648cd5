#include "Checksum.h"
#include "ByteOrder.h"
#include "CUDPProtocol.h"
#include "FrameBuilder.h"

#include <gtest/gtest.h>

namespace {

TEST(Checksum, Rfc1071WorkedExample) {
    // RFC 1071 section 3: these eight bytes sum to ddf2, complement 220d.
    const std::uint8_t bytes[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(checksumFold(checksumAdd(0, bytes, sizeof bytes)), 0xddf2);
    EXPECT_EQ(internetChecksum(bytes, sizeof bytes), 0x220d);
}

TEST(Checksum, KnownIpv4Header) {
    // 192.168.0.1 -> 192.168.0.199, UDP, total length 115: the well-known
    // header whose checksum is b861.
    std::uint8_t header[] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                             0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(internetChecksum(header, sizeof header), 0xb861);
    // With the checksum in place the header sums to all ones.
    header[10] = 0xb8;
    header[11] = 0x61;
    EXPECT_EQ(checksumFold(checksumAdd(0, header, sizeof header)), 0xffff);
}

TEST(Checksum, OddLengthPadsWithZeroLowByte) {
    const std::uint8_t odd[] = {0x12, 0x34, 0x56};
    const std::uint8_t even[] = {0x12, 0x34, 0x56, 0x00};
    EXPECT_EQ(internetChecksum(odd, 3), internetChecksum(even, 4));
    EXPECT_EQ(internetChecksum(odd, 3), static_cast<std::uint16_t>(~(0x1234 + 0x5600)));
}

TEST(Checksum, LongInputDoesNotLoseCarries) {
    // 200000 bytes of 0xff: every word is 0xffff, the folded sum stays 0xffff.
    std::vector<std::uint8_t> ones(200000, 0xff);
    EXPECT_EQ(checksumFold(checksumAdd(0, ones.data(), ones.size())), 0xffff);
    std::vector<std::uint8_t> mixed(131071);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        mixed[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    EXPECT_EQ(internetChecksum(mixed.data(), mixed.size()), fb::onesComplement(mixed));
    // ffff + ffff + 0001 = 1ffff; one fold gives 10000, only a second gives 0001.
    const std::uint8_t twoFolds[] = {0xff, 0xff, 0xff, 0xff, 0x00, 0x01};
    EXPECT_EQ(checksumFold(checksumAdd(0, twoFolds, sizeof twoFolds)), 0x0001);
    EXPECT_EQ(internetChecksum(twoFolds, sizeof twoFolds), 0xfffe);
}

TEST(UdpChecksum, OddLengthDatagramMatchesIndependentValue) {
    // 10.0.0.1:1234 -> 10.0.0.255:5678, payload "abcde"; a6 0d as computed by
    // scapy 2.5 for the same datagram.
    const std::uint8_t datagram[] = {0x04, 0xd2, 0x16, 0x2e, 0x00, 0x0d, 0x00,
                                     0x00, 'a',  'b',  'c',  'd',  'e'};
    EXPECT_EQ(UdpChecksum(fb::ip(10, 0, 0, 1), fb::ip(10, 0, 0, 255), datagram, 13), 0xa60d);
}

TEST(UdpChecksum, ComputedZeroIsSentAsAllOnes) {
    // Datagram 0.0.0.0:0 -> 0.0.0.0:0 of length 10 whose two payload bytes
    // are chosen to complete the sum to ffff: pseudo 0x0011 + 10, header
    // length 10, payload ffda.
    const std::uint8_t datagram[] = {0, 0, 0, 0, 0x00, 0x0a, 0, 0, 0xff, 0xda};
    EXPECT_EQ(fb::onesComplement({0,    0, 0, 0, 0, 0,    0,    0, 0, 0x11, 0,
                                  0x0a, 0, 0, 0, 0, 0x00, 0x0a, 0, 0, 0xff, 0xda}),
              0x0000);
    EXPECT_EQ(UdpChecksum(0, 0, datagram, sizeof datagram), 0xffff);
}

TEST(ByteOrder, InPlaceConversionReadsBackAsHostOrder) {
    std::uint8_t bytes[] = {0xaa, 0x12, 0x34, 0xc0, 0xa8, 0x00, 0x01, 0xbb};
    toHost16(bytes, 1);
    toHost32(bytes, 3);
    EXPECT_EQ(loadHost16(bytes, 1), 0x1234);
    EXPECT_EQ(loadHost32(bytes, 3), 0xc0a80001u);
    EXPECT_EQ(bytes[0], 0xaa); // neighbours untouched
    EXPECT_EQ(bytes[7], 0xbb);
}

} // namespace
