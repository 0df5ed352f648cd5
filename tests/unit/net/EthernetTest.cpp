#include "CEthProtocol.h"
#include "CapturingLower.h"
#include "LayerStack.h"
#include "RecordingUpper.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>

using namespace nettest;

namespace {

constexpr std::uint16_t kTestType = 0x88b5; // local experimental EtherType

struct EthFixture : ::testing::Test {
    EthFixture() {
        eth = new CEthProtocol(&bridge);
        eth->SetMac(fb::kServerMac.data());
        eth->Attach(&upper, kTestType);
    }
    ~EthFixture() override {
        eth->Detach(kTestType); // the recorder lives in the fixture
        eth->Release();
    }
    // Sends `payload` through SendFrame and frees the packet as its owner.
    std::int32_t send(const fb::Bytes &payload, const std::uint8_t *destination) {
        Packet *p = makePacket(payload);
        const std::int32_t status = eth->SendFrame(p, destination, kTestType);
        PacketFree(p);
        return status;
    }

    CapturingLower bridge;
    RecordingUpper upper;
    CEthProtocol *eth;
};

TEST_F(EthFixture, ShortFramesAreInvalidAndA14ByteFrameReachesTheLayer) {
    const fb::Bytes frame = fb::ethernet(fb::kServerMac, kGuestMac, kTestType, {1, 2, 3});
    for (std::size_t size = 0; size <= frame.size(); ++size) {
        // An exact-size heap copy of the prefix: a read past it shows under ASan.
        const fb::Bytes prefix(frame.begin(), frame.begin() + static_cast<long>(size));
        upper.receives = 0;
        const std::int32_t status = eth->ReceiveFrame(prefix.data(), size);
        if (size < 14) {
            EXPECT_EQ(status, PROTO_E_INVAL) << size;
            EXPECT_EQ(upper.receives, 0) << size;
        } else {
            EXPECT_EQ(status, PROTO_OK) << size;
            ASSERT_EQ(upper.receives, 1) << size;
            EXPECT_EQ(upper.length, size - 14) << size;
        }
    }
}

TEST_F(EthFixture, ReceiveReturnsTheUpperStatusAndUnknownTypesHaveNoLayer) {
    upper.status = PROTO_E_MALFORMED;
    EXPECT_EQ(
        eth->ReceiveFrame(fb::ethernet(fb::kBroadcastMac, kGuestMac, kTestType, {}).data(), 14),
        PROTO_E_MALFORMED);
    for (std::uint16_t type : {0x0800, 0x0806, 0x86dd, 0x0000, 0xffff}) {
        const fb::Bytes frame = fb::ethernet(fb::kServerMac, kGuestMac, type, {0, 0});
        EXPECT_EQ(eth->ReceiveFrame(frame.data(), 16), PROTO_E_NOLAYER) << type;
    }
    EXPECT_EQ(eth->Receive(nullptr), PROTO_E_INVAL);
    Packet empty{};
    EXPECT_EQ(eth->Receive(&empty), PROTO_E_INVAL);
    EXPECT_EQ(eth->ReceiveFrame(nullptr, 20), PROTO_E_INVAL);
}

TEST_F(EthFixture, ReceiveLeavesTheInputSliceAloneAndKeepsPadding) {
    // Frame with guard bytes on both sides; the layer gets only the middle.
    fb::Bytes frame = fb::ethernet(kGuestMac, kGuestMac, kTestType, fb::Bytes(47, 0x5a));
    fb::Bytes guarded(frame.size() + 16, 0xa5);
    std::copy(frame.begin(), frame.end(), guarded.begin() + 8);
    const fb::Bytes copy = guarded;
    upper.context = 14;
    EXPECT_EQ(eth->ReceiveFrame(guarded.data() + 8, static_cast<std::uint32_t>(frame.size())),
              PROTO_OK);
    EXPECT_EQ(guarded, copy);
    EXPECT_EQ(upper.length, 47u); // nothing trimmed
    EXPECT_EQ(upper.before, fb::Bytes(frame.begin(), frame.begin() + 14));
}

TEST_F(EthFixture, SetMacRejectsNullAndKeepsTheOldAddress) {
    EXPECT_EQ(eth->SetMac(nullptr), PROTO_E_INVAL);
    EXPECT_EQ(std::memcmp(eth->GetMac(), fb::kServerMac.data(), 6), 0);
}

TEST_F(EthFixture, ShortFramesArePaddedTo61WithTheFiller) {
    const std::string filler = "ThisIsJustFiller.HereIsNoAnythingInteresting.20050324.Blah.";
    for (std::size_t payload = 0; payload <= 50; ++payload) {
        bridge.frames.clear();
        ASSERT_EQ(send(fb::Bytes(payload, 0x11), fb::kBroadcastMac.data()), PROTO_OK);
        ASSERT_EQ(bridge.frames.size(), 1u);
        const fb::Bytes &frame = bridge.last();
        const std::size_t unpadded = 14 + payload;
        if (unpadded <= 59) {
            ASSERT_EQ(frame.size(), 61u) << payload;
            EXPECT_EQ(std::string(frame.begin() + static_cast<long>(unpadded), frame.end()),
                      filler.substr(0, 61 - unpadded))
                << payload;
        } else {
            EXPECT_EQ(frame.size(), unpadded) << payload; // 60 bytes and up untouched
        }
    }
}

TEST_F(EthFixture, FiftyNineBytesGetTwoFillerCharactersSixtyGetNone) {
    send(fb::Bytes(45, 0x11), nullptr);
    ASSERT_EQ(bridge.last().size(), 61u);
    EXPECT_EQ(bridge.last()[59], 'T');
    EXPECT_EQ(bridge.last()[60], 'h');
    send(fb::Bytes(46, 0x11), nullptr);
    EXPECT_EQ(bridge.last().size(), 60u);
}

TEST_F(EthFixture, HeaderCarriesDestinationOwnSourceAndType) {
    const fb::Bytes payload(100, 0x42);
    ASSERT_EQ(send(payload, kGuestMac.data()), PROTO_OK);
    EXPECT_EQ(bridge.last(), fb::ethernet(kGuestMac, fb::kServerMac, kTestType, payload));
    ASSERT_EQ(send(payload, nullptr), PROTO_OK);
    EXPECT_EQ(bridge.last(), fb::ethernet(fb::kBroadcastMac, fb::kServerMac, kTestType, payload));
}

struct DeliveryCase {
    const char *what;
    fb::Mac own;
    fb::Mac destination;
    bool withLower;
    std::int32_t lowerStatus;
    std::int32_t expectStatus;
    int expectWritten;
    int expectUp;
};

TEST(EthernetDelivery, ByDestinationAddress) {
    const fb::Mac local{0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
    const fb::Mac highOwn{0x52, 0x54, 0x00, 0x00, 0x00, 0x01};
    const DeliveryCase cases[] = {
        {"own, below 0x10: up only, OK even if bridge fails", fb::kServerMac, fb::kServerMac, true,
         PROTO_E_IO, PROTO_OK, 0, 1},
        {"other, below 0x10: down only", fb::kServerMac, local, true, PROTO_OK, PROTO_OK, 1, 0},
        {"other, below 0x10: bridge status", fb::kServerMac, local, true, PROTO_E_IO, PROTO_E_IO, 1,
         0},
        {"0x10 and above: down, then up", fb::kServerMac, kGuestMac, true, PROTO_OK, PROTO_OK, 1,
         1},
        {"broadcast: down with its status, then up", fb::kServerMac, fb::kBroadcastMac, true,
         PROTO_E_IO, PROTO_E_IO, 1, 1},
        {"own at 0x10 and above: down and up", highOwn, highOwn, true, PROTO_OK, PROTO_OK, 1, 1},
        {"no lower, below 0x10", fb::kServerMac, local, false, PROTO_OK, PROTO_E_NOLAYER, 0, 0},
        {"no lower, broadcast still comes up", fb::kServerMac, fb::kBroadcastMac, false, PROTO_OK,
         PROTO_E_NOLAYER, 0, 1},
    };
    for (const DeliveryCase &c : cases) {
        CapturingLower bridge;
        bridge.status = c.lowerStatus;
        RecordingUpper upper;
        auto *eth = new CEthProtocol(c.withLower ? &bridge : nullptr);
        eth->SetMac(c.own.data());
        eth->Attach(&upper, kTestType);
        Packet *p = makePacket(fb::Bytes(50, 0x33));
        EXPECT_EQ(eth->SendFrame(p, c.destination.data(), kTestType), c.expectStatus) << c.what;
        EXPECT_EQ(bridge.sendCalls, c.expectWritten) << c.what;
        EXPECT_EQ(upper.receives, c.expectUp) << c.what;
        if (c.expectUp == 1) {
            EXPECT_EQ(upper.length, 50u) << c.what; // payload, padding none (64 bytes)
        }
        PacketFree(p);
        eth->Detach(kTestType);
        eth->Release();
    }
}

TEST(EthernetDelivery, SendSlotPassesDownUnchangedThenUp) {
    CapturingLower bridge;
    bridge.status = PROTO_E_IO;
    RecordingUpper upper;
    auto *eth = new CEthProtocol(&bridge);
    eth->Attach(&upper, kTestType);
    const fb::Bytes frame = fb::ethernet(fb::kServerMac, kGuestMac, kTestType, {7, 7, 7});
    Packet *p = makePacket(frame);
    EXPECT_EQ(eth->Send(p), PROTO_E_IO);
    EXPECT_EQ(bridge.last(), frame); // not padded, not rewritten
    EXPECT_EQ(upper.receives, 1);
    PacketFree(p);
    EXPECT_EQ(eth->Send(nullptr), PROTO_E_INVAL);
    eth->Detach(kTestType);
    eth->Release();

    auto *alone = new CEthProtocol(nullptr);
    Packet *q = makePacket(frame);
    EXPECT_EQ(alone->Send(q), PROTO_E_NOLAYER);
    PacketFree(q);
    alone->Release();
}

} // namespace
