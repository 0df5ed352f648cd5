#include "FailingAlloc.h"
#include "RecordingUpper.h"
#include "Status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace {

TEST(Packet, CreateCopiesBytesAndStartsTheOwnersCycle) {
    const fb::Bytes bytes{1, 2, 3, 4, 5};
    Packet *p = makePacket(bytes);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->length, 5u);
    EXPECT_EQ(p->bufferSize, 5u);
    EXPECT_EQ(p->useCount, 1);
    EXPECT_EQ(p->data, p->buffer);
    EXPECT_EQ(p->header, nullptr);
    EXPECT_EQ(fb::Bytes(p->data, p->data + p->length), bytes);
    PacketFree(p);

    Packet *zeros = PacketCreate(nullptr, 3);
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(fb::Bytes(zeros->data, zeros->data + 3), fb::Bytes(3, 0));
    PacketFree(zeros);
    PacketFree(nullptr);
}

TEST(Packet, CreateFailsCleanlyWhenEitherBlockIsMissing) {
    for (int failAt = 0; failAt < 2; ++failAt) {
        FailingAlloc alloc(failAt);
        EXPECT_EQ(PacketCreate(nullptr, 10), nullptr) << failAt;
    }
}

TEST(Packet, PrependZeroesTheHeaderAndKeepsTheMessage) {
    Packet *p = makePacket({0xa1, 0xa2, 0xa3});
    ASSERT_EQ(PacketPrepend(p, 4), PROTO_OK);
    EXPECT_EQ(p->length, 7u);
    EXPECT_EQ(p->bufferSize, 7u);
    EXPECT_EQ(p->data, p->buffer);
    EXPECT_EQ(fb::Bytes(p->data, p->data + 7), (fb::Bytes{0, 0, 0, 0, 0xa1, 0xa2, 0xa3}));
    PacketFree(p);
}

TEST(Packet, AppendKeepsDataOffsetAndGrowsBothCounts) {
    Packet *p = makePacket({1, 2, 3, 4});
    p->data += 1;
    p->length -= 1;
    const std::uint8_t tail[] = {9, 8};
    ASSERT_EQ(PacketAppend(p, tail, 2), PROTO_OK);
    EXPECT_EQ(p->data, p->buffer + 1);
    EXPECT_EQ(p->length, 5u);
    EXPECT_EQ(p->bufferSize, 6u);
    EXPECT_EQ(fb::Bytes(p->buffer, p->buffer + 6), (fb::Bytes{1, 2, 3, 4, 9, 8}));
    PacketFree(p);
}

TEST(Packet, FailedGrowthLeavesThePacketExactlyAsItWas) {
    Packet *p = makePacket({1, 2, 3});
    const Packet before = *p;
    {
        FailingAlloc alloc(0);
        EXPECT_EQ(PacketPrepend(p, 14), PROTO_E_NOMEM);
    }
    {
        FailingAlloc alloc(0);
        EXPECT_EQ(PacketAppend(p, nullptr, 14), PROTO_E_NOMEM);
    }
    EXPECT_EQ(std::memcmp(&before, p, sizeof before), 0);
    EXPECT_EQ(fb::Bytes(p->data, p->data + 3), (fb::Bytes{1, 2, 3}));
    PacketFree(p);
}

TEST(Packet, GrowthThatWouldWrapTheCountsIsRefused) {
    // A record claiming a huge buffer: nothing may be allocated or copied.
    Packet fake{};
    std::uint8_t byte = 0;
    fake.buffer = fake.data = &byte;
    fake.bufferSize = fake.length = std::numeric_limits<std::uint32_t>::max() - 5;
    EXPECT_EQ(PacketPrepend(&fake, 14), PROTO_E_NOMEM);
    EXPECT_EQ(PacketAppend(&fake, nullptr, 14), PROTO_E_NOMEM);
    EXPECT_EQ(fake.buffer, &byte);
    EXPECT_EQ(PacketPrepend(nullptr, 1), PROTO_E_INVAL);
    EXPECT_EQ(PacketAppend(nullptr, nullptr, 1), PROTO_E_INVAL);
}

} // namespace
