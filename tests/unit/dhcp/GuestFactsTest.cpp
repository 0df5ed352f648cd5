// What guests say about themselves, as the server keeps it beside the lease
// table: the text it keeps, when it counts a change, and that the facts stay
// with their lease when the table moves entries between slots.
#include "FrameBuilder.h"
#include "ServerStack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

using fb::Bytes;

constexpr std::uint32_t kServer = fb::ip(10, 37, 129, 1);
constexpr std::uint32_t kFirst = fb::ip(10, 37, 129, 3);
const fb::Mac kGuest{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const fb::Mac kOtherGuest{0x52, 0x54, 0x00, 0xaa, 0xbb, 0xcc};

struct Stack : ServerStack {
    Stack() : ServerStack(kServer, fb::ip(10, 37, 129, 254), fb::ip(255, 255, 255, 0)) {}
    using ServerStack::feed;
    std::int32_t feed(const fb::DhcpMessage &message, const fb::Mac &from) {
        return feed(fb::dhcpClientFrame(from, message));
    }
    std::string name(std::int32_t slot) const {
        const GuestFact &f = dhcp->Guests()[slot];
        return std::string(f.name, f.nameLength);
    }
};

fb::DhcpMessage message(std::uint8_t type, const fb::Mac &mac, std::optional<Bytes> hostName,
                        std::optional<std::uint32_t> requested = std::nullopt) {
    fb::DhcpMessage m(1, 7, mac);
    m.messageType(type);
    if (hostName) {
        m.option(12, *hostName);
    }
    if (requested) {
        m.requestedAddress(*requested).serverId(kServer);
    }
    return m.end();
}

TEST(GuestFacts, NameKeepsPrintableBytesUpToTheFirstNul) {
    const struct {
        Bytes option;
        std::string kept;
    } cases[] = {
        {fb::fromString("web1"), "web1"},
        {{'w', 'e', 'b', '1', 0}, "web1"}, // a counted terminating NUL
        {{'a', 0, 'b'}, "a"},              // nothing after a NUL
        {{0x1b, '[', '2', 'J', 'a', '\n', 'b', 0x7f, 0xc3, 0xa9}, "[2Jab"},
        {fb::fromString("two words"), "two words"}, // printable: the writer escapes it
        {Bytes(70, 'x'), std::string(63, 'x')},
        {{0}, ""},
    };
    for (const auto &c : cases) {
        Stack s;
        ASSERT_EQ(s.feed(message(1, kGuest, c.option), kGuest), PROTO_OK);
        EXPECT_EQ(s.name(0), c.kept) << c.kept;
    }
}

TEST(GuestFacts, AnExchangeAndWhatCountsAsAChange) {
    Stack s;
    const std::uint32_t before = guestClockNow();
    const std::uint32_t start = s.dhcp->GuestChanges();
    const Bytes longId(40, 0xab);
    fb::DhcpMessage discover(1, 7, kGuest);
    discover.messageType(1).option(12, fb::fromString("web1")).option(61, longId).end();
    ASSERT_EQ(s.feed(discover, kGuest), PROTO_OK);
    const GuestFact &f = s.dhcp->Guests()[0];
    EXPECT_EQ(s.name(0), "web1");
    ASSERT_EQ(f.clientIdLength, kClientIdMax);
    EXPECT_EQ(std::memcmp(f.clientId, longId.data(), kClientIdMax), 0);
    EXPECT_GE(f.firstOffer, before);
    EXPECT_EQ(f.lastSeen, f.firstOffer);
    EXPECT_EQ(f.firstAck, 0u);
    EXPECT_EQ(s.dhcp->GuestChanges(), start + 1); // the name and id are new

    // The same again is no change; the ACK is one, and so is the client id
    // that the REQUEST no longer carries.
    ASSERT_EQ(s.feed(discover, kGuest), PROTO_OK);
    EXPECT_EQ(s.dhcp->GuestChanges(), start + 1);
    ASSERT_EQ(s.feed(message(3, kGuest, fb::fromString("web1"), kFirst), kGuest), PROTO_OK);
    EXPECT_EQ(s.dhcp->Leases()[0].state, LEASE_BOUND);
    EXPECT_EQ(s.dhcp->GuestChanges(), start + 3);
    EXPECT_GE(f.firstAck, f.firstOffer);
    EXPECT_EQ(f.lastAck, f.firstAck);
    EXPECT_LE(f.lastSeen, guestClockNow());
    EXPECT_EQ(f.clientIdLength, 0u); // the last message had none

    // A new name is a change; a guest the table doesn't know leaves nothing.
    ASSERT_EQ(s.feed(message(3, kGuest, fb::fromString("web2"), kFirst + 9), kGuest),
              PROTO_E_MALFORMED);
    EXPECT_EQ(s.name(0), "web2");
    EXPECT_EQ(s.dhcp->GuestChanges(), start + 4);
    ASSERT_EQ(s.feed(message(3, kOtherGuest, fb::fromString("x"), kFirst), kOtherGuest),
              PROTO_E_MALFORMED);
    EXPECT_EQ(s.dhcp->GuestChanges(), start + 4);
    EXPECT_EQ(s.dhcp->Guests()[1].lastSeen, 0u);

    // Emptying the table forgets everything, and is a change.
    s.dhcp->InitScope(kFirst, fb::ip(10, 37, 129, 254), fb::ip(255, 255, 255, 0));
    EXPECT_EQ(s.dhcp->Guests()[0].lastSeen, 0u);
    EXPECT_EQ(s.dhcp->GuestChanges(), start + 5);
}

// Removing the head moves its successor into slot 0: the successor's facts
// must come along, and a reused slot must not show its last guest's.
TEST(GuestFacts, FactsFollowTheirEntryAcrossSlots) {
    Stack s;
    ASSERT_EQ(s.feed(message(1, kGuest, fb::fromString("first")), kGuest), PROTO_OK);
    ASSERT_EQ(s.feed(message(1, kOtherGuest, fb::fromString("second")), kOtherGuest), PROTO_OK);
    ASSERT_EQ(s.name(1), "second");
    const std::uint32_t changes = s.dhcp->GuestChanges();
    ASSERT_EQ(s.dhcp->RemoveAt(0), 0);
    EXPECT_EQ(std::memcmp(s.dhcp->Leases()[0].hwAddr, kOtherGuest.data(), 6), 0);
    EXPECT_EQ(s.name(0), "second");
    EXPECT_EQ(s.dhcp->Guests()[1].nameLength, 0u);
    EXPECT_EQ(s.dhcp->Guests()[1].lastSeen, 0u);
    EXPECT_GT(s.dhcp->GuestChanges(), changes); // a reclaim is a change

    // The first guest comes back into a fresh slot with no facts of the other's.
    ASSERT_EQ(s.feed(message(1, kGuest, std::nullopt), kGuest), PROTO_OK);
    const LeaseEntry *entry = s.dhcp->FindByHwAddress(kGuest.data());
    ASSERT_NE(entry, nullptr);
    const auto slot = static_cast<std::int32_t>(entry - s.dhcp->Leases());
    EXPECT_EQ(s.name(slot), "");
    EXPECT_NE(s.dhcp->Guests()[slot].firstOffer, 0u);
}

} // namespace
