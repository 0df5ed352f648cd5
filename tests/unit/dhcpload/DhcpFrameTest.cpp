#include "DhcpFrame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace dhcpload::wire;

namespace {

// A DHCPDISCOVER as a guest with hardware address 02:00:00:00:00:01 sends
// it, written out field by field from the wire formats.
std::vector<std::uint8_t> goldenDiscover() {
    std::vector<std::uint8_t> f = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, // Ethernet destination: broadcast
        0x02, 0x00, 0x00, 0x00, 0x00, 0x01, // Ethernet source: the guest
        0x08, 0x00,                         // EtherType IPv4
        0x45, 0x00,                         // version 4, header 20 bytes; TOS
        0x01, 0x48,                         // total length 328 = 20 + 8 + 300
        0x00, 0x00, 0x00, 0x00,             // ident; flags and fragment offset
        0x40, 0x11,                         // TTL 64, protocol UDP
        0x79, 0xa6,                         // header checksum (summed by hand)
        0x00, 0x00, 0x00, 0x00,             // source 0.0.0.0
        0xff, 0xff, 0xff, 0xff,             // destination 255.255.255.255
        0x00, 0x44, 0x00, 0x43,             // UDP 68 -> 67
        0x01, 0x34,                         // UDP length 308
        0xa5, 0xf5,                         // UDP checksum (summed by hand)
    };
    std::vector<std::uint8_t> m(300, 0);
    m[0] = 0x01;                                                // op: boot request
    m[1] = 0x01;                                                // htype: Ethernet
    m[2] = 0x06;                                                // hlen
    m[4] = 0x12, m[5] = 0x34, m[6] = 0x56, m[7] = 0x78;         // xid
    m[10] = 0x80;                                               // flags: broadcast
    m[28] = 0x02, m[33] = 0x01;                                 // chaddr 02:00:00:00:00:01
    m[236] = 0x63, m[237] = 0x82, m[238] = 0x53, m[239] = 0x63; // magic cookie
    const std::uint8_t options[] = {
        53,  1, 1,                     // DHCP message type: DISCOVER
        61,  7, 1, 2,  0,  0, 0, 0, 1, // client identifier: type 1, hardware address
        55,  3, 1, 51, 54,             // parameter request list
        255,                           // end; zeros up to 300 bytes
    };
    std::copy(std::begin(options), std::end(options), m.begin() + 240);
    f.insert(f.end(), m.begin(), m.end());
    return f;
}

// A DHCPOFFER of the daemon's shape for 192.168.50.3 from 192.168.50.1,
// mask 255.255.255.0, without a UDP checksum.
std::vector<std::uint8_t> goldenOffer() {
    std::vector<std::uint8_t> f = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, // Ethernet destination: broadcast
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0, // Ethernet source: the server
        0x08, 0x00,                         // EtherType IPv4
        0x45, 0x00, 0x01, 0x2e,             // IPv4, total length 302 = 20 + 8 + 274
        0x00, 0x00, 0x00, 0x00,             // ident, fragment
        0x40, 0x11, 0x87, 0x16,             // TTL 64, UDP, checksum (by hand)
        0xc0, 0xa8, 0x32, 0x01,             // source 192.168.50.1
        0xff, 0xff, 0xff, 0xff,             // destination broadcast
        0x00, 0x43, 0x00, 0x44,             // UDP 67 -> 68
        0x01, 0x1a, 0x00, 0x00,             // UDP length 282, no checksum
    };
    std::vector<std::uint8_t> m(240, 0);
    m[0] = 0x02, m[1] = 0x01, m[2] = 0x06;                  // boot reply, Ethernet, 6
    m[4] = 0xde, m[5] = 0xad, m[6] = 0xbe, m[7] = 0xef;     // xid
    m[16] = 192, m[17] = 168, m[18] = 50, m[19] = 3;        // yiaddr
    m[20] = 192, m[21] = 168, m[22] = 50, m[23] = 1;        // siaddr
    m[28] = 0x02, m[29] = 0x00, m[30] = 0x00, m[31] = 0x00, // chaddr
        m[32] = 0x00, m[33] = 0x07;
    m[236] = 0x63, m[237] = 0x82, m[238] = 0x53, m[239] = 0x63;
    const std::uint8_t options[] = {
        53,  1, 2,                  // OFFER
        1,   4, 255, 255, 255, 0,   // subnet mask
        58,  4, 0,   6,   151, 128, // T1
        59,  4, 0,   11,  137, 32,  // T2
        51,  4, 0,   13,  47,  0,   // lease time 864000
        54,  4, 192, 168, 50,  1,   // server identifier
        255,
    };
    m.insert(m.end(), std::begin(options), std::end(options));
    f.insert(f.end(), m.begin(), m.end());
    return f;
}

constexpr std::size_t kDhcpStart = 42;

TEST(DhcpFrame, DiscoverMatchesHandWrittenBytes) {
    ClientMessage message;
    message.xid = 0x12345678;
    message.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    message.broadcastFlag = true;
    std::vector<std::uint8_t> out(kMaxFrameSize, 0xA5); // canary: unwritten bytes show
    const std::size_t length = buildClientFrame(message, out.data(), out.size());
    out.resize(length);
    EXPECT_EQ(out, goldenDiscover());
}

TEST(DhcpFrame, RequestCarriesServerAndAddressOptions) {
    ClientMessage message;
    message.type = dhcp::kRequest;
    message.xid = 1;
    message.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    message.requestedAddress = 0x0A010203; // 10.1.2.3
    message.serverId = 0x0A010001;         // 10.1.0.1
    std::uint8_t out[kMaxFrameSize];
    const std::size_t length = buildClientFrame(message, out, sizeof out);
    ASSERT_EQ(length, kDhcpStart + 300);
    const std::uint8_t expected[] = {
        53, 1, 3,                        // REQUEST
        61, 7, 1,  2,  0,  0,   0, 0, 1, // client identifier
        50, 4, 10, 1,  2,  3,            // requested address
        54, 4, 10, 1,  0,  1,            // server identifier
        55, 3, 1,  51, 54, 255,
    };
    EXPECT_EQ(
        std::vector<std::uint8_t>(out + kDhcpStart + 240, out + kDhcpStart + 240 + sizeof expected),
        std::vector<std::uint8_t>(std::begin(expected), std::end(expected)));
    EXPECT_EQ(out[kDhcpStart + 10], 0) << "broadcast flag clear unless asked for";
    DhcpView view;
    ASSERT_EQ(parseDhcpFrame(out, length, dhcp::kServerPort, view), ParseStatus::kOk);
    EXPECT_EQ(view.requestedAddress, 0x0A010203U);
    EXPECT_EQ(view.serverId, 0x0A010001U);
}

TEST(DhcpFrame, ReadsTheFieldsOfAnOffer) {
    const std::vector<std::uint8_t> frame = goldenOffer();
    DhcpView view;
    ASSERT_EQ(parseDhcpFrame(frame.data(), frame.size(), dhcp::kClientPort, view),
              ParseStatus::kOk);
    EXPECT_EQ(view.op, dhcp::kBootReply);
    EXPECT_EQ(view.type, dhcp::kOffer);
    EXPECT_EQ(view.xid, 0xdeadbeefU);
    EXPECT_EQ(view.yiaddr, 0xC0A83203U);
    EXPECT_EQ(view.siaddr, 0xC0A83201U);
    EXPECT_EQ(view.serverId, 0xC0A83201U);
    EXPECT_EQ(view.subnetMask, 0xFFFFFF00U);
    EXPECT_EQ(view.leaseTime, 864000U);
    EXPECT_EQ(view.ipSource, 0xC0A83201U);
    EXPECT_EQ(view.chaddr, (MacAddr{0x02, 0, 0, 0, 0, 0x07}));
    EXPECT_EQ(view.ethSource, (MacAddr{0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0}));

    // Not for the client port: somebody else's traffic, not an error.
    EXPECT_EQ(parseDhcpFrame(frame.data(), frame.size(), dhcp::kServerPort, view),
              ParseStatus::kNotDhcp);

    // Ethernet padding behind the datagram is allowed.
    std::vector<std::uint8_t> padded = frame;
    padded.resize(frame.size() + 20, 0x55);
    EXPECT_EQ(parseDhcpFrame(padded.data(), padded.size(), dhcp::kClientPort, view),
              ParseStatus::kOk);
}

TEST(DhcpFrame, EveryTruncationIsRefused) {
    const std::vector<std::uint8_t> frame = goldenOffer();
    for (std::size_t length = 0; length < frame.size(); ++length) {
        // An exact-size copy, so that a read past the end shows under ASan.
        std::vector<std::uint8_t> cut(frame.begin(), frame.begin() + length);
        DhcpView view;
        EXPECT_NE(parseDhcpFrame(cut.data(), cut.size(), dhcp::kClientPort, view), ParseStatus::kOk)
            << "length " << length;
    }
}

TEST(DhcpFrame, DamagedFramesGetTheirStatus) {
    struct Case {
        const char *name;
        std::size_t offset;
        std::uint8_t value;
        ParseStatus expected;
    };
    const Case cases[] = {
        {"ARP instead of IPv4", 13, 0x06, ParseStatus::kNotDhcp},
        {"TCP instead of UDP", 14 + 9, 6, ParseStatus::kNotDhcp},
        {"a fragment", 14 + 7, 0x10, ParseStatus::kNotDhcp},
        {"IPv4 checksum", 14 + 10, 0x00, ParseStatus::kBadChecksum},
        {"IPv4 length beyond the frame", 14 + 2, 0x02, ParseStatus::kTruncated},
        {"UDP length beyond the datagram", 34 + 4, 0x02, ParseStatus::kTruncated},
        {"magic cookie", kDhcpStart + 236, 0x64, ParseStatus::kMalformed},
        {"option runs past the end", kDhcpStart + 240 + 28, 200, ParseStatus::kMalformed},
    };
    for (const Case &c : cases) {
        std::vector<std::uint8_t> frame = goldenOffer();
        frame[c.offset] = c.value;
        DhcpView view;
        EXPECT_EQ(parseDhcpFrame(frame.data(), frame.size(), dhcp::kClientPort, view), c.expected)
            << c.name;
    }
}

TEST(DhcpFrame, MessageWithoutTypeIsMalformed) {
    std::vector<std::uint8_t> frame = goldenOffer();
    frame[kDhcpStart + 240] = 0; // option 53 becomes Pad, its length and value
    frame[kDhcpStart + 241] = 0; // Pad too
    frame[kDhcpStart + 242] = 0;
    DhcpView view;
    EXPECT_EQ(parseDhcpFrame(frame.data(), frame.size(), dhcp::kClientPort, view),
              ParseStatus::kMalformed);
}

TEST(DhcpFrame, UdpChecksumIsVerifiedUnlessPending) {
    ServerMessage message;
    message.type = dhcp::kAck;
    message.xid = 7;
    message.yiaddr = 0x0A000005;
    message.serverId = 0x0A000001;
    std::uint8_t frame[kMaxFrameSize];
    const std::size_t length = buildServerFrame(message, frame, sizeof frame);
    DhcpView view;
    ASSERT_EQ(parseDhcpFrame(frame, length, dhcp::kClientPort, view), ParseStatus::kOk);
    EXPECT_EQ(view.type, dhcp::kAck);

    frame[kDhcpStart + 16] ^= 0x01; // yiaddr changes under the checksum
    EXPECT_EQ(parseDhcpFrame(frame, length, dhcp::kClientPort, view), ParseStatus::kBadChecksum);
    EXPECT_EQ(parseDhcpFrame(frame, length, dhcp::kClientPort, view, false), ParseStatus::kOk);
}

TEST(DhcpFrame, ChecksumOfZeroIsSentAsAllOnes) {
    // Search xids until the UDP sum comes out zero; RFC 768 sends 0xFFFF.
    ClientMessage message;
    message.mac = {0x02, 0, 0, 0, 0, 0x01};
    std::uint8_t frame[kMaxFrameSize];
    bool found = false;
    for (std::uint32_t xid = 0; xid < 0x20000 && !found; ++xid) {
        message.xid = xid;
        const std::size_t length = buildClientFrame(message, frame, sizeof frame);
        const std::uint16_t checksum = static_cast<std::uint16_t>(frame[40] << 8 | frame[41]);
        EXPECT_NE(checksum, 0);
        if (checksum == 0xFFFF) {
            found = true;
            DhcpView view;
            EXPECT_EQ(parseDhcpFrame(frame, length, dhcp::kServerPort, view), ParseStatus::kOk);
        }
    }
    EXPECT_TRUE(found);
}

} // namespace
