#include "ByteOrder.h"
#include "LayerStack.h"
#include "RecordingUpper.h"

#include <gtest/gtest.h>

using namespace nettest;

namespace {

fb::Bytes ipFrame(std::uint32_t src, std::uint32_t dst, std::uint8_t proto,
                  const fb::Bytes &payload, const fb::Bytes &options = {}) {
    return fb::ethernet(fb::kServerMac, kGuestMac, fb::kTypeIPv4,
                        fb::ipv4(src, dst, proto, payload, options));
}

TEST(IpReceive, AcceptsOwnBroadcastAndAllOnesHostPart) {
    struct Case {
        std::uint32_t destination;
        std::int32_t expect;
    };
    const Case cases[] = {
        {fb::ip(10, 0, 0, 1), PROTO_OK},         {fb::ip(255, 255, 255, 255), PROTO_OK},
        {fb::ip(10, 0, 0, 255), PROTO_OK},       {fb::ip(172, 16, 5, 255), PROTO_OK},
        {fb::ip(10, 0, 0, 2), PROTO_E_NOTFORUS}, {fb::ip(10, 0, 0, 0), PROTO_E_NOTFORUS},
        {fb::ip(10, 0, 1, 1), PROTO_E_NOTFORUS},
    };
    LayerStack s;
    RecordingUpper upper;
    s.ip->Attach(&upper, 99);
    for (const Case &c : cases) {
        upper.receives = 0;
        EXPECT_EQ(s.feed(ipFrame(kGuestIp, c.destination, 99, {1, 2, 3})), c.expect)
            << std::hex << c.destination;
        EXPECT_EQ(upper.receives, c.expect == PROTO_OK ? 1 : 0);
    }
    s.ip->Detach(99);
    upper.releases = 0;
}

TEST(IpReceive, ChecksIsStripsAndConvertsTheHeader) {
    LayerStack s;
    RecordingUpper upper;
    upper.context = 20;
    s.ip->Attach(&upper, 99);

    fb::Bytes bad = ipFrame(kGuestIp, kOwnIp, 99, {});
    bad[14 + 11] ^= 0x01;
    EXPECT_EQ(s.feed(bad), PROTO_E_MALFORMED);
    EXPECT_EQ(s.feed(ipFrame(kGuestIp, kOwnIp, 1, {8, 0})), PROTO_E_NOENT); // nothing answers pings

    // 19 bytes of header: too short; exactly 20 reaches the layer with length 0.
    fb::Bytes frame = ipFrame(kGuestIp, kOwnIp, 99, {});
    EXPECT_EQ(s.feed(fb::Bytes(frame.begin(), frame.end() - 1)), PROTO_E_INVAL);
    EXPECT_EQ(s.feed(frame), PROTO_OK);
    EXPECT_EQ(upper.length, 0u);
    // Fields the layer inspected are now host order in place.
    EXPECT_EQ(loadHost32(upper.before.data(), ipv4::kDestination), kOwnIp);
    EXPECT_EQ(loadHost32(upper.before.data(), ipv4::kSource), kGuestIp);
    EXPECT_EQ(loadHost16(upper.before.data(), ipv4::kTotalLength), 20);

    // Options are not stripped: they start the payload. Zero option words
    // leave the 20-byte checksum valid.
    EXPECT_EQ(s.feed(ipFrame(kGuestIp, kOwnIp, 99, {0xab, 0xcd}, {0, 0, 0, 0})), PROTO_OK);
    EXPECT_EQ(upper.payload, (fb::Bytes{0, 0, 0, 0, 0xab, 0xcd}));

    // A total length shorter than the frame trims nothing.
    fb::Bytes padded = ipFrame(kGuestIp, kOwnIp, 99, {5});
    padded.insert(padded.end(), 10, 0xee);
    EXPECT_EQ(s.feed(padded), PROTO_OK);
    EXPECT_EQ(upper.length, 11u);
    s.ip->Detach(99);
}

TEST(IpReceive, AllZeroHeaderPassesTheChecksum) {
    // Only all-zero words sum to 0; such a header passes and, addressed to an
    // unconfigured layer's address 0, ends at empty protocol slot 0.
    auto *ip = new CIPProtocol(nullptr, 0);
    Packet *p = makePacket(fb::Bytes(20, 0));
    EXPECT_EQ(ip->Receive(p), PROTO_E_NOENT);
    PacketFree(p);
    EXPECT_EQ(ip->Receive(nullptr), PROTO_E_INVAL);
    delete ip;
}

TEST(IpSend, ThreeHundredBytesToBroadcastMakeOneGolden342ByteFrame) {
    LayerStack s(fb::ip(192, 168, 50, 1), fb::ip(255, 255, 255, 0));
    fb::Bytes payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i);
    }
    Packet *p = makePacket(payload);
    EXPECT_EQ(s.udp->SendDatagram(p, 0xffffffffu, 68, 67), PROTO_OK);
    PacketFree(p);

    // Checksums 86fb and 7a30 as computed by scapy 2.5 for the same frame.
    fb::Bytes expected = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, // Ethernet destination: broadcast
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0, // Ethernet source: service address
        0x08, 0x00,                         // EtherType IPv4
        0x45,                               // version 4, header 5 words
        0x00,                               // type of service
        0x01, 0x48,                         // total length 328
        0x00, 0x01,                         // identification 1: first datagram
        0x00, 0x00,                         // flags, fragment offset
        0x40,                               // TTL 64
        0x11,                               // protocol UDP
        0x86, 0xfb,                         // header checksum
        0xc0, 0xa8, 0x32, 0x01,             // source 192.168.50.1
        0xff, 0xff, 0xff, 0xff,             // destination 255.255.255.255
        0x00, 0x43,                         // source port 67
        0x00, 0x44,                         // destination port 68
        0x01, 0x34,                         // UDP length 308
        0x7a, 0x30,                         // UDP checksum
    };
    expected.insert(expected.end(), payload.begin(), payload.end());
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    EXPECT_EQ(s.bridge.last().size(), 342u);
    EXPECT_EQ(s.bridge.last(), expected);
}

TEST(IpSend, IdentificationCountsEveryDatagramBuilt) {
    LayerStack s;
    auto sendTo = [&](std::uint32_t destination) {
        Packet *p = makePacket({1, 2, 3, 4});
        const std::int32_t status = s.ip->SendPacket(p, destination, 99);
        PacketFree(p);
        return status;
    };
    EXPECT_EQ(sendTo(0xffffffffu), PROTO_OK);
    EXPECT_EQ(sendTo(fb::ip(10, 0, 0, 7)), PROTO_E_UNRESOLVED); // uses id 2, writes nothing
    EXPECT_EQ(sendTo(fb::ip(10, 0, 0, 255)), PROTO_OK);
    ASSERT_EQ(s.bridge.frames.size(), 2u);
    EXPECT_EQ(fb::get16(s.bridge.frames[0], 14 + 4), 1u);
    EXPECT_EQ(fb::get16(s.bridge.frames[1], 14 + 4), 3u);
    EXPECT_EQ(s.bridge.frames[1][14 + 8], 64); // TTL
    EXPECT_EQ(s.bridge.frames[1][14 + 9], 99); // protocol as given
    for (const auto &frame : s.bridge.frames) {
        EXPECT_EQ(fb::Bytes(frame.begin(), frame.begin() + 6), fb::Bytes(6, 0xff));
        EXPECT_EQ(fb::onesComplement(fb::Bytes(frame.begin() + 14, frame.begin() + 34)), 0);
    }
}

TEST(IpSend, ToTheOwnAddressComesBackUpWithoutTheBridge) {
    LayerStack s;
    RecordingUpper upper;
    s.ip->Attach(&upper, 99);
    Packet *p = makePacket({9, 9});
    EXPECT_EQ(s.ip->SendPacket(p, kOwnIp, 99), PROTO_OK);
    PacketFree(p);
    EXPECT_TRUE(s.bridge.frames.empty());
    EXPECT_EQ(upper.receives, 1);
    EXPECT_EQ(upper.length, 61u - 34u); // the padding comes up too
    s.ip->Detach(99);
}

TEST(IpSend, ArgumentAndLayerFailures) {
    LayerStack s;
    Packet *p = makePacket({1});
    EXPECT_EQ(s.ip->SendPacket(nullptr, kOwnIp, 17), PROTO_E_INVAL);
    EXPECT_EQ(s.ip->SendPacket(p, kOwnIp, 256), PROTO_E_INVAL);
    EXPECT_EQ(p->length, 1u);
    CIPProtocol lone(nullptr, 0); // no responder: nothing resolves
    EXPECT_EQ(lone.SendPacket(p, 0xffffffffu, 17), PROTO_E_UNRESOLVED);
    EXPECT_EQ(lone.Send(p), PROTO_E_NOLAYER);
    PacketFree(p);
}

TEST(IpSend, ComputedZeroHeaderChecksumIsSentAsAllOnes) {
    // Choose the low half of the own address so that the header words sum to
    // ffff: with low half 0 the header's complemented sum c is exactly the
    // word that is missing.
    fb::Bytes probe = fb::ipv4(fb::ip(10, 0, 0, 0), 0xffffffffu, 99, fb::Bytes(4, 0), {},
                               fb::Ipv4Fields{1, 64, 0, 0});
    const unsigned low = fb::get16(probe, 10);
    const std::uint32_t own = fb::ip(10, 0, 0, 0) | low;
    LayerStack s(own, fb::ip(255, 0, 0, 0));
    Packet *p = makePacket(fb::Bytes(4, 0));
    EXPECT_EQ(s.ip->SendPacket(p, 0xffffffffu, 99), PROTO_OK);
    PacketFree(p);
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    EXPECT_EQ(fb::get16(s.bridge.last(), 14 + 10), 0xffffu);
    // The header still verifies: words sum to ffff + ffff, i.e. ffff.
    LayerStack receiver(own, fb::ip(255, 0, 0, 0));
    RecordingUpper upper;
    receiver.ip->Attach(&upper, 99);
    EXPECT_EQ(receiver.feed(s.bridge.last()), PROTO_OK);
    receiver.ip->Detach(99);
}

TEST(IpSend, LengthsThatDoNotFitTheHeaderAreRefusedUntouched) {
    LayerStack s;
    Packet *p = PacketCreate(nullptr, 65536 - 20);
    std::uint8_t *buffer = p->buffer;
    EXPECT_EQ(s.ip->SendPacket(p, 0xffffffffu, 99), PROTO_E_INVAL);
    EXPECT_EQ(s.udp->SendDatagram(p, 0xffffffffu, 68, 67), PROTO_E_INVAL);
    EXPECT_EQ(p->buffer, buffer);
    EXPECT_EQ(p->length, 65516u);
    EXPECT_TRUE(s.bridge.frames.empty());
    PacketFree(p);

    Packet *largest = PacketCreate(nullptr, 65535 - 28);
    EXPECT_EQ(s.udp->SendDatagram(largest, 0xffffffffu, 68, 67), PROTO_OK);
    PacketFree(largest);
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    EXPECT_EQ(fb::get16(s.bridge.last(), 14 + 2), 65535u);
    EXPECT_EQ(fb::get16(s.bridge.last(), 34 + 4), 65515u);
}

TEST(UdpReceive, StripsConvertsAndDemultiplexesByPort) {
    LayerStack s;
    RecordingUpper dhcp;
    dhcp.context = 8;
    s.udp->Attach(&dhcp, 67);
    auto frame = [](const fb::Bytes &payload, unsigned port) {
        return fb::udpFrame(fb::kBroadcastMac, kGuestMac, 0, 0xffffffffu, 68, port, payload);
    };
    EXPECT_EQ(s.feed(frame({}, 67)), PROTO_OK);
    EXPECT_EQ(dhcp.length, 0u);
    EXPECT_EQ(loadHost16(dhcp.before.data(), udp::kSourcePort), 68);
    EXPECT_EQ(loadHost16(dhcp.before.data(), udp::kDestinationPort), 67);
    EXPECT_EQ(loadHost16(dhcp.before.data(), udp::kLength), 8);

    EXPECT_EQ(s.feed(frame({1, 2}, 68)), PROTO_E_NOENT);

    // Seven bytes of UDP: too short for the header.
    fb::Bytes seven = fb::ethernet(fb::kBroadcastMac, kGuestMac, fb::kTypeIPv4,
                                   fb::ipv4(0, 0xffffffffu, 17, fb::Bytes{0, 68, 0, 67, 0, 7, 0}));
    EXPECT_EQ(s.feed(seven), PROTO_E_INVAL);

    // A wrong checksum is passed up all the same.
    fb::Bytes wrong = frame({5, 6, 7}, 67);
    wrong[34 + 6] ^= 0xff;
    dhcp.receives = 0;
    EXPECT_EQ(s.feed(wrong), PROTO_OK);
    EXPECT_EQ(dhcp.receives, 1);
    s.udp->Detach(67);
    EXPECT_EQ(s.udp->Receive(nullptr), PROTO_E_INVAL);
}

TEST(UdpSend, ArgumentFailuresLeaveThePacketUntouched) {
    LayerStack s;
    Packet *p = makePacket({1, 2, 3});
    const Packet before = *p;
    EXPECT_EQ(s.udp->SendDatagram(nullptr, 0xffffffffu, 68, 67), PROTO_E_INVAL);
    EXPECT_EQ(s.udp->SendDatagram(p, 0xffffffffu, 65536, 67), PROTO_E_NOENT);
    EXPECT_EQ(s.udp->SendDatagram(p, 0xffffffffu, 68, 65536), PROTO_E_NOENT);
    CUDPProtocol lone(nullptr, 0);
    EXPECT_EQ(lone.SendDatagram(p, 0xffffffffu, 68, 67), PROTO_E_NOLAYER);
    EXPECT_EQ(lone.Send(p), PROTO_E_NOLAYER);
    EXPECT_EQ(p->buffer, before.buffer);
    EXPECT_EQ(p->length, before.length);
    EXPECT_EQ(p->bufferSize, before.bufferSize);
    EXPECT_TRUE(s.bridge.frames.empty());
    PacketFree(p);
}

TEST(UdpSend, ErrorsBelowComeBackUnchangedButTheSendSlotSaysOk) {
    LayerStack s;
    s.bridge.status = PROTO_E_IO;
    Packet *p = makePacket(fb::Bytes(300, 1));
    EXPECT_EQ(s.udp->SendDatagram(p, 0xffffffffu, 68, 67), PROTO_E_IO);
    PacketFree(p);
    Packet *q = makePacket(fb::Bytes(60, 1));
    EXPECT_EQ(s.udp->SendDatagram(q, fb::ip(10, 0, 0, 9), 68, 67), PROTO_E_UNRESOLVED);
    EXPECT_EQ(s.udp->Send(q), PROTO_OK); // lower said E_IO
    PacketFree(q);
}

TEST(UdpSend, OddLengthAndZeroChecksumsOnTheWire) {
    {
        LayerStack s;
        Packet *p = makePacket(fb::fromString("abcde"));
        EXPECT_EQ(s.udp->SendDatagram(p, fb::ip(10, 0, 0, 255), 5678, 1234), PROTO_OK);
        PacketFree(p);
        const fb::Bytes &frame = s.bridge.last();
        // 5-byte payload: length 13, checksum a60d (scapy), bytes sent stay odd.
        EXPECT_EQ(fb::get16(frame, 34 + 4), 13u);
        EXPECT_EQ(fb::get16(frame, 34 + 6), 0xa60du);
        EXPECT_EQ(fb::get16(frame, 14 + 2), 33u);
        EXPECT_EQ(std::string(frame.begin() + 42, frame.begin() + 47), "abcde");
        EXPECT_EQ(frame.size(), 61u); // padded behind the datagram
    }
    {
        // Two payload bytes chosen to complete the pseudo-header sum to ffff:
        // with a zero payload the complemented sum is exactly the missing word.
        LayerStack s;
        const fb::Bytes zero = fb::udp(67, 68, {0, 0}, kOwnIp, 0xffffffffu);
        const unsigned word = fb::get16(zero, 6) == 0xffff ? 0 : fb::get16(zero, 6);
        Packet *p = makePacket(
            {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xff)});
        EXPECT_EQ(s.udp->SendDatagram(p, 0xffffffffu, 68, 67), PROTO_OK);
        PacketFree(p);
        EXPECT_EQ(fb::get16(s.bridge.last(), 34 + 6), 0xffffu);
    }
}

} // namespace
