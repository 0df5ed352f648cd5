// The option walk and the reply growth, on packets made by hand.

#include "CDHCPProtocol.h"

#include "FailingAlloc.h"
#include "Memory.h"
#include "Packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Option code -> its data bytes, for the options a walk should collect.
using Collected = std::map<int, Bytes>;

struct WalkCase {
    const char *what;
    Bytes area;
    std::int32_t status;
    Collected expected;
};

TEST(ParseOptions, Walk) {
    const WalkCase cases[] = {
        {"53,1,1,End fills exactly four bytes", {53, 1, 1, 255}, PROTO_OK, {{53, {1}}}},
        {"three bytes are too few", {53, 1, 1}, PROTO_E_INVAL, {}},
        {"overrun drops the option and what follows",
         {53, 1, 1, 50, 9, 1, 2, 3, 4},
         PROTO_OK,
         {{53, {1}}}},
        {"length byte missing at the end", {0, 0, 53, 1, 1, 54}, PROTO_OK, {{53, {1}}}},
        {"last occurrence wins", {53, 1, 1, 53, 1, 3, 255}, PROTO_OK, {{53, {3}}}},
        {"pad runs are skipped one at a time",
         {0, 0, 0, 53, 1, 1, 0, 54, 4, 10, 0, 0, 1, 0, 0, 255},
         PROTO_OK,
         {{53, {1}}, {54, {10, 0, 0, 1}}}},
        {"nothing after End is collected",
         {53, 1, 1, 255, 54, 4, 10, 0, 0, 1, 0, 0},
         PROTO_OK,
         {{53, {1}}}},
        {"only pad", {0, 0, 0, 0}, PROTO_OK, {}},
        {"zero-length option reads as absent", {61, 0, 53, 1, 7}, PROTO_OK, {{53, {7}}}},
        {"an option ending exactly at the end",
         {50, 4, 192, 168, 50, 3},
         PROTO_OK,
         {{50, {192, 168, 50, 3}}}},
        {"code 255 is End, never an entry", {255, 4, 1, 2, 3, 4}, PROTO_OK, {}},
    };
    CDHCPProtocol parser(nullptr, 0);
    for (const WalkCase &c : cases) {
        SCOPED_TRACE(c.what);
        // Guard bytes behind the area: a walk that strays past it would
        // collect a message type of 9 and a server identifier.
        Bytes block = c.area;
        block.insert(block.end(), {53, 1, 9, 54, 4, 1, 1, 1, 1, 255});
        Packet packet{};
        packet.buffer = block.data();
        packet.data = block.data();
        packet.length = static_cast<std::uint32_t>(c.area.size());
        packet.bufferSize = packet.length;

        DhcpOptionTable table;
        std::memset(&table, 0xA5, sizeof(table)); // stale contents must not survive
        ASSERT_EQ(parser.ParseOptions(&packet, &table), c.status);
        for (int code = 0; code < 255; ++code) {
            const auto &entry = table.entries[code];
            const auto it = c.expected.find(code);
            if (it == c.expected.end()) {
                EXPECT_EQ(entry.length, 0) << "code " << code;
                continue;
            }
            ASSERT_EQ(entry.length, it->second.size()) << "code " << code;
            ASSERT_GE(entry.data, block.data());
            ASSERT_LE(entry.data + entry.length, block.data() + c.area.size());
            EXPECT_EQ(Bytes(entry.data, entry.data + entry.length), it->second);
        }
    }
    DhcpOptionTable table;
    Packet packet{};
    EXPECT_EQ(parser.ParseOptions(nullptr, &table), PROTO_E_INVAL);
    EXPECT_EQ(parser.ParseOptions(&packet, nullptr), PROTO_E_INVAL);
}

struct PacketDeleter {
    void operator()(Packet *p) const { PacketFree(p); }
};
using PacketPtr = std::unique_ptr<Packet, PacketDeleter>;

Bytes contents(const Packet &p) {
    return Bytes(p.buffer, p.buffer + p.bufferSize);
}

TEST(AppendOption, GrowsTheBufferBehindTheMessage) {
    CDHCPProtocol builder(nullptr, 0);
    PacketPtr p(PacketCreate(nullptr, 240));
    ASSERT_TRUE(p);
    const std::uint8_t mask[4] = {255, 255, 255, 0};
    const std::uint8_t type = 2;

    ASSERT_EQ(builder.AppendOption(p.get(), 53, 1, &type), PROTO_OK);
    ASSERT_EQ(builder.AppendOption(p.get(), 1, 4, mask), PROTO_OK);
    ASSERT_EQ(builder.AppendOption(p.get(), 80, 0, mask), PROTO_OK); // code and length only
    EXPECT_EQ(p->length, 240u + 3 + 6 + 2);
    EXPECT_EQ(p->bufferSize, p->length);
    EXPECT_EQ(p->data, p->buffer);
    Bytes expected(240, 0);
    expected.insert(expected.end(), {53, 1, 2, 1, 4, 255, 255, 255, 0, 80, 0});
    EXPECT_EQ(contents(*p), expected);

    EXPECT_EQ(builder.AppendOption(nullptr, 1, 4, mask), PROTO_E_INVAL);
    EXPECT_EQ(builder.AppendOption(p.get(), 1, 4, nullptr), PROTO_E_INVAL);
    EXPECT_EQ(contents(*p), expected);
}

TEST(AppendOption, FailedGrowthLeavesNoHalfOption) {
    CDHCPProtocol builder(nullptr, 0);
    const std::uint8_t mask[4] = {255, 255, 255, 0};
    for (long failAt : {0L, 1L}) { // code-and-length step, data step
        SCOPED_TRACE(failAt);
        PacketPtr p(PacketCreate(nullptr, 240));
        ASSERT_TRUE(p);
        const Bytes before = contents(*p);
        std::int32_t status;
        {
            const FailingAlloc failing(failAt);
            status = builder.AppendOption(p.get(), 1, 4, mask);
        }
        EXPECT_EQ(status, PROTO_E_NOMEM);
        EXPECT_EQ(p->length, 240u);
        EXPECT_EQ(p->bufferSize, 240u);
        EXPECT_EQ(contents(*p), before);
        // The packet is still usable afterwards.
        ASSERT_EQ(builder.AppendOption(p.get(), 1, 4, mask), PROTO_OK);
        EXPECT_EQ(Bytes(p->buffer + 240, p->buffer + p->bufferSize),
                  (Bytes{1, 4, 255, 255, 255, 0}));
    }
}

// The builders refuse missing arguments without touching the lease table.
TEST(BuildReplies, MissingArgumentsAreRefused) {
    auto server = std::make_unique<CDHCPProtocol>(nullptr, 0);
    server->InitScope(100, 200, 0xFFFFFF00);
    PacketPtr reply(PacketCreate(nullptr, 240));
    Bytes request(240, 0);
    request[28] = 0x52; // chaddr
    DhcpOptionTable options{};
    PacketPtr shortReply(PacketCreate(nullptr, 10));

    using Build =
        std::int32_t (CDHCPProtocol::*)(Packet *, const std::uint8_t *, const DhcpOptionTable *);
    for (Build build :
         {&CDHCPProtocol::BuildOffer, &CDHCPProtocol::BuildAck, &CDHCPProtocol::BuildNak}) {
        EXPECT_EQ((server.get()->*build)(nullptr, request.data(), &options), PROTO_E_INVAL);
        EXPECT_EQ((server.get()->*build)(reply.get(), nullptr, &options), PROTO_E_INVAL);
        EXPECT_EQ((server.get()->*build)(reply.get(), request.data(), nullptr), PROTO_E_INVAL);
        EXPECT_EQ((server.get()->*build)(shortReply.get(), request.data(), &options),
                  PROTO_E_INVAL);
    }
    // BuildAck without a requested address.
    EXPECT_EQ(server->BuildAck(reply.get(), request.data(), &options), PROTO_E_INVAL);
    EXPECT_EQ(server->Leases()[0].state, LEASE_FREE);
    EXPECT_EQ(reply->length, 240u);
}

// With every slot taken, confirming an address the table does not hold gives
// up the highest aged offer and hands the guest the address that frees.
TEST(BuildReplies, AckOnAFullTableReclaimsAnAgedOffer) {
    auto server = std::make_unique<CDHCPProtocol>(nullptr, 0);
    constexpr std::uint32_t kBase = 0x0A000000;
    server->InitScope(kBase, kBase + 0x00FFFFFF, 0xFF000000);
    auto mac = [](std::uint32_t n) {
        return Bytes{2,
                     0,
                     0,
                     static_cast<std::uint8_t>(n >> 16),
                     static_cast<std::uint8_t>(n >> 8),
                     static_cast<std::uint8_t>(n)};
    };
    const std::uint8_t xid[4] = {1, 2, 3, 4};
    // Four offers age kBase + 1 (twice) and kBase + 2 (once); the rest are
    // bound, highest first so that each walk stays short.
    for (std::uint32_t n = 0; n < 4; ++n) {
        ASSERT_EQ(server->OfferAddress(mac(n).data(), xid), kBase + n);
    }
    for (std::uint32_t n = kLeaseSlots - 1; n >= 4; --n) {
        ASSERT_EQ(server->BindAddress(mac(n).data(), xid, kBase + 0x100 + n), kBase + 0x100 + n);
    }
    ASSERT_EQ(server->Leases()[kLeaseSlots - 1].state, LEASE_BOUND);
    ASSERT_EQ(server->FindByAddress(kBase + 2)->age, 1u);

    Bytes request(240, 0);
    const Bytes guest = mac(0xFFFFFF);
    std::memcpy(request.data() + 28, guest.data(), 6);
    const std::uint8_t wanted[4] = {10, 0, 0, 50}; // not in the table
    DhcpOptionTable options{};
    options.entries[50] = {4, wanted};
    PacketPtr reply(PacketCreate(nullptr, 240));
    ASSERT_EQ(server->BuildAck(reply.get(), request.data(), &options), PROTO_OK);
    // kBase + 2 was the highest aged offer: it is given up and re-offered.
    EXPECT_EQ(Bytes(reply->buffer + 16, reply->buffer + 20), (Bytes{10, 0, 0, 2}));
    EXPECT_EQ(reply->buffer[242], 5);
    const LeaseEntry *e = server->FindByAddress(kBase + 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::memcmp(e->hwAddr, guest.data(), 6), 0);
    EXPECT_EQ(e->state, LEASE_OFFERED) << "an address won by reclaiming stays offered";

    // Nothing aged is left: the next one fails and the reply stays blank.
    ASSERT_EQ(server->RemoveByAddress(kBase + 1), 0);
    ASSERT_EQ(server->BindAddress(mac(0xFFFFFE).data(), xid, kBase + 0x00FFFFF0),
              kBase + 0x00FFFFF0);
    ASSERT_EQ(server->FindReclaimable(), -1);
    const Bytes another = mac(0xFFFFFD);
    std::memcpy(request.data() + 28, another.data(), 6);
    PacketPtr blank(PacketCreate(nullptr, 240));
    EXPECT_EQ(server->BuildAck(blank.get(), request.data(), &options), PROTO_E_INVAL);
    EXPECT_EQ(blank->length, 240u);
}

} // namespace
