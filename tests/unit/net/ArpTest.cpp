#include "ArpListener.h"
#include "CARPProtocol.h"
#include "LayerStack.h"
#include "RecordingUpper.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

using namespace nettest;

namespace {

fb::Bytes macBytes(const std::uint8_t *mac) {
    return mac ? fb::Bytes(mac, mac + 6) : fb::Bytes{};
}

TEST(ArpResolve, BroadcastsAndTheOwnAddressOnly) {
    CARPProtocol arp(nullptr, 0);
    ASSERT_EQ(arp.Configure(kOwnIp, kMask, fb::kServerMac.data()), PROTO_OK);
    const fb::Bytes all(6, 0xff);
    const fb::Bytes own(fb::kServerMac.begin(), fb::kServerMac.end());
    EXPECT_EQ(macBytes(arp.Resolve(0xffffffffu)), all);
    EXPECT_EQ(macBytes(arp.Resolve(fb::ip(10, 0, 0, 255))), all);
    EXPECT_EQ(macBytes(arp.Resolve(fb::ip(172, 16, 5, 255))), all); // network part not compared
    EXPECT_EQ(macBytes(arp.Resolve(kOwnIp)), own);
    EXPECT_EQ(arp.Resolve(fb::ip(10, 0, 0, 2)), nullptr);
    EXPECT_EQ(arp.Resolve(kGuestIp), nullptr);
}

TEST(ArpConfigure, FailuresKeepTheOwnEntryButSetTheBroadcastEntry) {
    CARPProtocol fresh(nullptr, 0);
    EXPECT_EQ(fresh.Configure(0, kMask, fb::kServerMac.data()), PROTO_E_INVAL);
    EXPECT_EQ(macBytes(fresh.Resolve(0xffffffffu)), fb::Bytes(6, 0xff));

    CARPProtocol arp(nullptr, 0);
    ASSERT_EQ(arp.Configure(kOwnIp, kMask, fb::kServerMac.data()), PROTO_OK);
    EXPECT_EQ(arp.Configure(0, kMask, fb::kServerMac.data()), PROTO_E_INVAL);
    EXPECT_EQ(arp.Configure(fb::ip(0, 0, 0, 5), kMask, fb::kServerMac.data()), PROTO_E_INVAL);
    EXPECT_EQ(arp.Configure(fb::ip(10, 0, 0, 9), kMask, nullptr), PROTO_E_INVAL);
    EXPECT_NE(arp.Resolve(kOwnIp), nullptr);
    EXPECT_EQ(arp.Resolve(fb::ip(10, 0, 0, 9)), nullptr);
    EXPECT_EQ(macBytes(arp.Resolve(fb::ip(10, 0, 0, 255))), fb::Bytes(6, 0xff)); // old mask
}

TEST(ArpReply, GoldenSixtyOneByteFrame) {
    LayerStack s;
    EXPECT_EQ(s.feed(fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp)), PROTO_NOT_HANDLED);
    const fb::Bytes expected = {
        0x52, 0x54, 0x00, 0x12, 0x34, 0x56, // Ethernet destination: the requester
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0, // Ethernet source: service address
        0x08, 0x06,                         // EtherType ARP
        0x00, 0x01,                         // hardware type Ethernet
        0x08, 0x00,                         // protocol type IPv4
        0x06,                               // hardware address length
        0x04,                               // protocol address length
        0x00, 0x02,                         // operation: reply
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0, // sender hardware: own
        0x0a, 0x00, 0x00, 0x01,             // sender protocol: 10.0.0.1
        0x52, 0x54, 0x00, 0x12, 0x34, 0x56, // target hardware: requester
        0x0a, 0x00, 0x00, 0x4d,             // target protocol: 10.0.0.77
        'T',  'h',  'i',  's',  'I',  's',  'J', 'u', 's', 't', // filler, 19 characters
        'F',  'i',  'l',  'l',  'e',  'r',  '.', 'H', 'e',
    };
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    EXPECT_EQ(s.bridge.last(), expected);
}

TEST(ArpReply, RequestOutcomes) {
    const fb::Mac other{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    struct Case {
        const char *what;
        fb::Bytes message;
        std::int32_t expect;
        std::size_t replies;
    };
    const Case cases[] = {
        {"request for own", fb::arpRequest(kGuestMac, kGuestIp, kOwnIp), PROTO_NOT_HANDLED, 1},
        {"request for another scope address",
         fb::arpRequest(kGuestMac, kGuestIp, fb::ip(10, 0, 0, 3)), PROTO_E_NOTFORUS, 0},
        {"reply to own", fb::arp(2, other, kGuestIp, fb::kServerMac, kOwnIp), PROTO_NOT_HANDLED, 0},
        {"not IPv4", fb::arp(1, other, kGuestIp, fb::kZeroMac, kOwnIp, 0x86dd), PROTO_NOT_HANDLED,
         0},
        {"27 bytes", fb::Bytes(27, 0), PROTO_E_INVAL, 0},
        {"unknown operation", fb::arp(9, other, kGuestIp, fb::kZeroMac, kOwnIp), PROTO_NOT_HANDLED,
         0},
    };
    for (const Case &c : cases) {
        LayerStack s;
        EXPECT_EQ(s.feed(fb::ethernet(fb::kBroadcastMac, other, fb::kTypeARP, c.message)), c.expect)
            << c.what;
        EXPECT_EQ(s.bridge.frames.size(), c.replies) << c.what;
    }
}

TEST(ArpReply, ProbeFromZeroAddressIsAnsweredToZero) {
    LayerStack s;
    const fb::Mac local{0x02, 0, 0, 0, 0, 0x42}; // below 0x10: not handed back up
    s.feed(fb::ethernet(fb::kBroadcastMac, local, fb::kTypeARP, fb::arpRequest(local, 0, kOwnIp)));
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    const fb::Bytes &frame = s.bridge.last();
    EXPECT_EQ(fb::Bytes(frame.begin(), frame.begin() + 6), fb::Bytes(local.begin(), local.end()));
    EXPECT_EQ(fb::Bytes(frame.begin() + 14 + 24, frame.begin() + 14 + 28), fb::Bytes(4, 0));
    // The reply goes to the sender named in the message, not the frame source.
    const fb::Mac named{0x02, 0, 0, 0, 0, 0x77};
    s.feed(fb::ethernet(fb::kBroadcastMac, local, fb::kTypeARP,
                        fb::arpRequest(named, kGuestIp, kOwnIp)));
    EXPECT_EQ(fb::Bytes(s.bridge.last().begin(), s.bridge.last().begin() + 6),
              fb::Bytes(named.begin(), named.end()));
}

TEST(ArpReply, DirectCallsAndBrokenBridge) {
    CARPProtocol arp(nullptr, 0);
    EXPECT_EQ(arp.Receive(nullptr), PROTO_NOT_HANDLED);
    EXPECT_EQ(arp.Send(nullptr), PROTO_NOT_HANDLED);
    LayerStack s;
    s.bridge.status = PROTO_E_IO; // the write's failure is dropped
    EXPECT_EQ(s.feed(fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp)), PROTO_NOT_HANDLED);
}

TEST(ArpRequest, GoldenBroadcastAskingAsTheOwnStation) {
    LayerStack s;
    EXPECT_EQ(s.ip->Arp()->SendRequest(fb::ip(10, 0, 0, 3)), PROTO_OK);
    const fb::Bytes expected = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff,                     // Ethernet destination: broadcast
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0,                     // Ethernet source: service address
        0x08, 0x06,                                             // EtherType ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04,                     // Ethernet, IPv4, 6, 4
        0x00, 0x01,                                             // operation: request
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0,                     // sender hardware: own
        0x0a, 0x00, 0x00, 0x01,                                 // sender protocol: 10.0.0.1
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                     // target hardware: unknown
        0x0a, 0x00, 0x00, 0x03,                                 // target protocol: 10.0.0.3
        'T',  'h',  'i',  's',  'I',  's',  'J', 'u', 's', 't', // filler, 19 characters
        'F',  'i',  'l',  'l',  'e',  'r',  '.', 'H', 'e',
    };
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    EXPECT_EQ(s.bridge.last(), expected);
    // Before the own address is known there is nobody to ask as.
    CARPProtocol unconfigured(s.eth, 0);
    EXPECT_EQ(unconfigured.SendRequest(fb::ip(10, 0, 0, 3)), PROTO_E_INVAL);
    EXPECT_EQ(s.bridge.frames.size(), 1u);
}

struct HeardLog : ArpListener {
    void Heard(std::uint32_t address, const std::uint8_t *hw) override {
        heard.emplace_back(address, fb::Bytes(hw, hw + 6));
    }
    virtual ~HeardLog() = default;
    std::vector<std::pair<std::uint32_t, fb::Bytes>> heard;
};

TEST(ArpListen, StationsThatNameThemselvesAreHeard) {
    const fb::Mac station{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const fb::Mac group{0x03, 0x11, 0x22, 0x33, 0x44, 0x55};
    const fb::Bytes stationBytes(station.begin(), station.end());
    const std::uint32_t pool = fb::ip(10, 0, 0, 3);
    struct Case {
        const char *what;
        fb::Bytes message;
        std::int32_t expect; // unchanged by listening
        bool heard;
    };
    const Case cases[] = {
        {"answer to our request", fb::arp(2, station, pool, fb::kServerMac, kOwnIp),
         PROTO_NOT_HANDLED, true},
        {"request for the host", fb::arpRequest(station, pool, fb::ip(10, 0, 0, 2)),
         PROTO_E_NOTFORUS, true},
        {"request for us", fb::arpRequest(station, pool, kOwnIp), PROTO_NOT_HANDLED, true},
        {"probe without a sender address", fb::arpRequest(station, 0, pool), PROTO_E_NOTFORUS,
         false},
        {"our own request coming back", fb::arpRequest(fb::kServerMac, kOwnIp, pool),
         PROTO_E_NOTFORUS, false},
        {"group sender", fb::arpRequest(group, pool, kOwnIp), PROTO_NOT_HANDLED, false},
        {"all-zero sender", fb::arpRequest(fb::kZeroMac, pool, kOwnIp), PROTO_NOT_HANDLED, false},
    };
    for (const Case &c : cases) {
        LayerStack s;
        HeardLog log;
        s.ip->Arp()->SetListener(&log);
        EXPECT_EQ(s.feed(fb::ethernet(fb::kBroadcastMac, station, fb::kTypeARP, c.message)),
                  c.expect)
            << c.what;
        ASSERT_EQ(log.heard.size(), c.heard ? 1u : 0u) << c.what;
        if (c.heard) {
            EXPECT_EQ(log.heard[0].first, pool) << c.what;
            EXPECT_EQ(log.heard[0].second, stationBytes) << c.what;
        }
    }
}

TEST(Truncation, EveryPrefixOfAnArpRequestAndAUdpFrame) {
    // Each prefix is an exact-size heap block, so a read beyond it is caught
    // by the sanitizer build; the status is the documented one.
    const fb::Bytes arpFrame = fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp);
    for (std::size_t size = 0; size <= arpFrame.size(); ++size) {
        LayerStack s;
        const std::int32_t status = s.feed(fb::Bytes(arpFrame.begin(), arpFrame.begin() + size));
        EXPECT_EQ(status, size < 42 ? PROTO_E_INVAL : PROTO_NOT_HANDLED) << size;
        EXPECT_EQ(s.bridge.frames.size(), size < 42 ? 0u : 1u) << size;
    }
    const fb::Bytes udpFrame =
        fb::udpFrame(fb::kBroadcastMac, kGuestMac, 0, 0xffffffffu, 68, 67, fb::Bytes(20, 0x61));
    LayerStack s;
    RecordingUpper dhcp;
    s.udp->Attach(&dhcp, 67);
    for (std::size_t size = 0; size <= udpFrame.size(); ++size) {
        dhcp.receives = 0;
        const std::int32_t status = s.feed(fb::Bytes(udpFrame.begin(), udpFrame.begin() + size));
        EXPECT_EQ(status, size < 42 ? PROTO_E_INVAL : PROTO_OK) << size;
        EXPECT_EQ(dhcp.receives, size < 42 ? 0 : 1) << size;
        if (size >= 42) {
            EXPECT_EQ(dhcp.payload, fb::Bytes(udpFrame.begin() + 42, udpFrame.begin() + size));
        }
    }
    s.udp->Detach(67);
}

TEST(Reception, LargestFrameTheBridgeDelivers) {
    LayerStack s;
    RecordingUpper dhcp;
    s.udp->Attach(&dhcp, 67);
    const fb::Bytes frame = fb::udpFrame(fb::kBroadcastMac, kGuestMac, 0, 0xffffffffu, 68, 67,
                                         fb::Bytes(2048 - 42, 0x7e));
    ASSERT_EQ(frame.size(), 2048u);
    EXPECT_EQ(s.feed(frame), PROTO_OK);
    EXPECT_EQ(dhcp.length, 2048u - 42u);
    s.udp->Detach(67);
}

} // namespace
