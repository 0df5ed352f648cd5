#include "ExchangeBook.h"
#include "Responder.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace dhcpload::wire;

namespace {

constexpr std::uint64_t kTimeout = 1000;
constexpr std::uint32_t kServer = 0x0A010001;

BookConfig config(std::uint32_t guests, std::uint64_t exchanges, std::uint32_t window,
                  std::uint32_t retries = 2) {
    BookConfig c;
    c.guests = guests;
    c.exchanges = exchanges;
    c.window = window;
    c.timeoutNs = kTimeout;
    c.retries = retries;
    c.macSeed = 9;
    c.xidBase = 0xFFFFFFFE; // wraps within the test
    return c;
}

DhcpView reply(std::uint8_t type, const ClientMessage &to, std::uint32_t yiaddr,
               std::uint32_t serverId = kServer) {
    DhcpView view;
    view.op = dhcp::kBootReply;
    view.type = type;
    view.xid = to.xid;
    view.chaddr = to.mac;
    view.yiaddr = yiaddr;
    view.serverId = serverId;
    view.ipSource = 0x0A0100FE;
    return view;
}

TEST(ExchangeBook, FullExchangeRequestsTheOfferedAddressFromItsServer) {
    ExchangeBook book(config(4, 1, 4));
    ASSERT_TRUE(book.CanStart());
    const ClientMessage discover = book.Start(100);
    EXPECT_EQ(discover.type, dhcp::kDiscover);
    EXPECT_EQ(discover.xid, 0xFFFFFFFEU);
    EXPECT_EQ(discover.mac, ExchangeBook::GuestMac(9, 0));
    EXPECT_FALSE(book.CanStart()) << "only one exchange was asked for";

    ClientMessage request;
    ASSERT_TRUE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005), 130, request));
    EXPECT_EQ(request.type, dhcp::kRequest);
    EXPECT_EQ(request.xid, discover.xid);
    EXPECT_EQ(request.mac, discover.mac);
    EXPECT_EQ(request.requestedAddress, 0x0A010005U);
    EXPECT_EQ(request.serverId, kServer);

    ClientMessage none;
    EXPECT_FALSE(book.OnReply(reply(dhcp::kAck, request, 0x0A010005), 180, none));
    EXPECT_TRUE(book.Finished());
    const BookCounters &c = book.Counters();
    EXPECT_EQ(c.completed, 1U);
    EXPECT_EQ(c.discoversSent, 1U);
    EXPECT_EQ(c.requestsSent, 1U);
    EXPECT_EQ(book.OfferLatency().Summarize().maxNs, 30U);
    EXPECT_EQ(book.AckLatency().Summarize().maxNs, 50U);
}

TEST(ExchangeBook, OfferWithoutServerIdentifierIsAnsweredToItsSource) {
    ExchangeBook book(config(1, 1, 1));
    const ClientMessage discover = book.Start(0);
    ClientMessage request;
    ASSERT_TRUE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005, 0), 1, request));
    EXPECT_EQ(request.serverId, 0x0A0100FEU);
}

TEST(ExchangeBook, RepliesForNobodyAreCountedAndChangeNothing) {
    ExchangeBook book(config(2, 1, 1));
    const ClientMessage discover = book.Start(0);
    struct Case {
        const char *name;
        DhcpView view;
        std::uint64_t BookCounters::*counter;
    };
    DhcpView otherXid = reply(dhcp::kOffer, discover, 0x0A010005);
    otherXid.xid += 1;
    DhcpView otherGuest = reply(dhcp::kOffer, discover, 0x0A010005);
    otherGuest.chaddr = ExchangeBook::GuestMac(9, 1);
    DhcpView request = reply(dhcp::kOffer, discover, 0x0A010005);
    request.op = dhcp::kBootRequest;
    const Case cases[] = {
        {"unknown xid", otherXid, &BookCounters::unmatched},
        {"another guest's hardware address", otherGuest, &BookCounters::unmatched},
        {"ACK before any offer", reply(dhcp::kAck, discover, 0x0A010005), &BookCounters::late},
        {"offer without an address", reply(dhcp::kOffer, discover, 0), &BookCounters::badReplies},
        {"a request, not a reply", request, &BookCounters::badReplies},
        {"DHCPINFORM type", reply(dhcp::kInform, discover, 0x0A010005), &BookCounters::badReplies},
    };
    for (const Case &c : cases) {
        const std::uint64_t before = book.Counters().*c.counter;
        ClientMessage next;
        EXPECT_FALSE(book.OnReply(c.view, 5, next)) << c.name;
        EXPECT_EQ(book.Counters().*c.counter, before + 1) << c.name;
    }
    EXPECT_EQ(book.InFlight(), 1U);
    EXPECT_EQ(book.Counters().offers, 0U);
    // The real offer still moves the exchange on.
    ClientMessage next;
    EXPECT_TRUE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005), 6, next));
    // A second copy of it (an answer to a retransmission) is late.
    EXPECT_FALSE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005), 7, next));
    EXPECT_EQ(book.Counters().late, 2U);
}

TEST(ExchangeBook, NakEndsTheExchange) {
    ExchangeBook book(config(1, 1, 1));
    const ClientMessage discover = book.Start(0);
    ClientMessage request;
    ASSERT_TRUE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005), 1, request));
    EXPECT_FALSE(book.OnReply(reply(dhcp::kNak, request, 0), 2, request));
    EXPECT_TRUE(book.Finished());
    EXPECT_EQ(book.Counters().failedNak, 1U);
    EXPECT_EQ(book.Counters().completed, 0U);
}

TEST(ExchangeBook, RetransmitsUntilRetriesRunOutThenFails) {
    ExchangeBook book(config(1, 1, 1, /*retries=*/2));
    const ClientMessage discover = book.Start(0);
    std::vector<ClientMessage> resend;
    book.Expire(kTimeout - 1, resend);
    EXPECT_TRUE(resend.empty()) << "not yet due";
    EXPECT_EQ(book.NextDeadline(), kTimeout);

    book.Expire(kTimeout, resend);
    ASSERT_EQ(resend.size(), 1U);
    EXPECT_EQ(resend[0].xid, discover.xid);
    EXPECT_EQ(resend[0].type, dhcp::kDiscover);
    book.Expire(2 * kTimeout, resend);
    EXPECT_EQ(resend.size(), 2U);
    book.Expire(3 * kTimeout, resend);
    EXPECT_EQ(resend.size(), 2U) << "the third timeout gives up";
    EXPECT_TRUE(book.Finished());
    const BookCounters &c = book.Counters();
    EXPECT_EQ(c.timeouts, 3U);
    EXPECT_EQ(c.retransmits, 2U);
    EXPECT_EQ(c.discoversSent, 3U);
    EXPECT_EQ(c.failedTimeout, 1U);
    EXPECT_EQ(book.NextDeadline(), UINT64_MAX);
}

TEST(ExchangeBook, AnswersToRetransmittedMessagesAreNotTimed) {
    ExchangeBook book(config(1, 1, 1));
    const ClientMessage discover = book.Start(0);
    std::vector<ClientMessage> resend;
    book.Expire(kTimeout, resend);
    ClientMessage request;
    ASSERT_TRUE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005), kTimeout + 3, request));
    EXPECT_EQ(book.OfferLatency().Count(), 0U);
    // The REQUEST went out once: its answer is timed, and its deadline is
    // counted from when it was sent, not from the DISCOVER.
    EXPECT_EQ(book.NextDeadline(), 2 * kTimeout + 3);
    ClientMessage none;
    book.OnReply(reply(dhcp::kAck, request, 0x0A010005), kTimeout + 10, none);
    EXPECT_EQ(book.AckLatency().Count(), 1U);
    EXPECT_EQ(book.Counters().completed, 1U);
    EXPECT_EQ(book.NextDeadline(), UINT64_MAX) << "an answered message leaves no deadline";
}

TEST(ExchangeBook, WindowLimitsExchangesInFlight) {
    struct Case {
        std::uint32_t guests, window, expected;
    };
    for (const Case c : {Case{10, 3, 3}, Case{2, 8, 2}, Case{5, 0, 1}}) {
        ExchangeBook book(config(c.guests, 100, c.window));
        std::set<MacAddr> guests;
        std::uint32_t started = 0;
        while (book.CanStart()) {
            guests.insert(book.Start(0).mac);
            ++started;
        }
        EXPECT_EQ(started, c.expected) << c.guests << " guests, window " << c.window;
        EXPECT_EQ(guests.size(), started) << "no guest plays two exchanges at once";
    }
}

TEST(ExchangeBook, GuestsTakeTurnsAndStopStartingHolds) {
    ExchangeBook book(config(2, 5, 1));
    std::vector<MacAddr> order;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(book.CanStart());
        const ClientMessage discover = book.Start(0);
        order.push_back(discover.mac);
        ClientMessage request;
        ASSERT_TRUE(book.OnReply(reply(dhcp::kOffer, discover, 0x0A010005 + (i % 2)), 1, request));
        book.OnReply(reply(dhcp::kAck, request, 0x0A010005 + (i % 2)), 2, request);
    }
    EXPECT_EQ(order[0], ExchangeBook::GuestMac(9, 0));
    EXPECT_EQ(order[1], ExchangeBook::GuestMac(9, 1));
    EXPECT_EQ(order[2], ExchangeBook::GuestMac(9, 0));
    EXPECT_EQ(book.Counters().duplicateOffers, 0U) << "a guest may get its own address again";
    book.StopStarting();
    EXPECT_FALSE(book.CanStart());
    EXPECT_TRUE(book.Finished());
    EXPECT_EQ(book.Counters().completed, 3U);
}

// Plays one exchange for the next guest and returns its DISCOVER.
ClientMessage offerTo(ExchangeBook &book, std::uint32_t address, ClientMessage &request) {
    const ClientMessage discover = book.Start(0);
    book.OnReply(reply(dhcp::kOffer, discover, address), 1, request);
    return discover;
}

TEST(ExchangeBook, AnAddressOfferedToTwoGuestsIsADuplicate) {
    ExchangeBook book(config(3, 3, 3));
    ClientMessage request0, request1, request2;
    offerTo(book, 0x0A010005, request0);
    offerTo(book, 0x0A010005, request1);
    EXPECT_EQ(book.Counters().duplicateOffers, 1U);
    EXPECT_EQ(book.DuplicateExamples(), std::vector<std::uint32_t>{0x0A010005});

    // The first holder is refused: a server may then give the address to
    // someone else, which is no duplicate.
    ClientMessage none;
    book.OnReply(reply(dhcp::kNak, request0, 0), 2, none);
    book.OnReply(reply(dhcp::kNak, request1, 0), 2, none);
    offerTo(book, 0x0A010005, request2);
    EXPECT_EQ(book.Counters().duplicateOffers, 1U);
}

TEST(ExchangeBook, AnAddressAcknowledgedToTwoGuestsIsADuplicate) {
    ExchangeBook book(config(2, 2, 2));
    ClientMessage request0, request1, none;
    offerTo(book, 0x0A010005, request0);
    offerTo(book, 0x0A010006, request1);
    book.OnReply(reply(dhcp::kAck, request0, 0x0A010005), 2, none);
    book.OnReply(reply(dhcp::kAck, request1, 0x0A010005), 2, none);
    EXPECT_EQ(book.Counters().duplicateAcks, 1U);
    EXPECT_EQ(book.Counters().ackMismatches, 1U) << "guest 1 asked for .6 and got .5";
}

TEST(ExchangeBook, GuestAddressesAreDistinctAndMapToDistinctResponderAddresses) {
    std::set<MacAddr> macs;
    std::set<std::uint32_t> addresses;
    constexpr std::uint32_t kGuests = 1U << 17;
    for (std::uint32_t i = 0; i < kGuests; ++i) {
        const MacAddr mac = ExchangeBook::GuestMac(3, i);
        EXPECT_EQ(mac[0], 0x02) << "locally administered unicast";
        EXPECT_EQ(mac[1], 3);
        macs.insert(mac);
        addresses.insert(CannedReply::AddressFor(0x0A020000, mac));
    }
    EXPECT_EQ(macs.size(), kGuests);
    EXPECT_EQ(addresses.size(), kGuests);
    EXPECT_NE(ExchangeBook::GuestMac(3, 1)[5], ExchangeBook::GuestMac(3, 0)[5] + 1)
        << "consecutive guests should not have consecutive addresses";
}

} // namespace
