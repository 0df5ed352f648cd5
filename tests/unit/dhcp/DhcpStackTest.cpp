// The DHCP server inside the whole stack: requests go in as Ethernet frames
// built by the independent frame builder, replies are read off the capturing
// bridge stand-in and compared with frames written out here by hand.

#include "CDHCPProtocol.h"

#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "CapturingLower.h"
#include "FailingAlloc.h"
#include "FrameBuilder.h"
#include "HeldDiscovers.h"
#include "LeaseChainCheck.h"
#include "Memory.h"
#include "ServerStack.h"
#include "StackChecks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using fb::Bytes;

constexpr std::uint32_t kServer = fb::ip(192, 168, 50, 1); // scope start
constexpr std::uint32_t kScopeEnd = fb::ip(192, 168, 50, 254);
constexpr std::uint32_t kMask = fb::ip(255, 255, 255, 0);
constexpr std::uint32_t kFirst = fb::ip(192, 168, 50, 3); // pool start
const fb::Mac kGuest{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const fb::Mac kOtherGuest{0x52, 0x54, 0x00, 0xaa, 0xbb, 0xcc};

// The stack the service builds, over a capturing bridge.
struct Stack : ServerStack {
    Stack() : ServerStack(kServer, kScopeEnd, kMask) {}
    using ServerStack::feed;
    std::int32_t feed(const fb::DhcpMessage &message, const fb::Mac &from = kGuest) {
        return feed(fb::dhcpClientFrame(from, message));
    }
};

void appendZeros(Bytes &out, std::size_t n) {
    out.insert(out.end(), n, 0);
}

// The frame every reply shares up to the DHCP options, written field by field.
// Checksums come from the caller (see the goldens below).
Bytes replyFrameHead(std::uint16_t ipTotalLength, std::uint16_t ipId, std::uint16_t ipChecksum,
                     std::uint16_t udpLength, std::uint16_t udpChecksum, std::uint32_t xid,
                     std::uint32_t yiaddr) {
    // clang-format off
    Bytes f = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, // Ethernet destination: broadcast
        0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0, // Ethernet source: the service address
        0x08, 0x00,                         // EtherType IPv4
        0x45,                               // IPv4, header of 5 words
        0x00,                               // type of service
        static_cast<std::uint8_t>(ipTotalLength >> 8), static_cast<std::uint8_t>(ipTotalLength),
        static_cast<std::uint8_t>(ipId >> 8), static_cast<std::uint8_t>(ipId), // identification
        0x00, 0x00,                         // no fragmenting
        0x40,                               // TTL 64
        0x11,                               // protocol UDP
        static_cast<std::uint8_t>(ipChecksum >> 8), static_cast<std::uint8_t>(ipChecksum),
        192, 168, 50, 1,                    // source: the server
        255, 255, 255, 255,                 // destination: limited broadcast
        0x00, 0x43, 0x00, 0x44,             // UDP 67 -> 68
        static_cast<std::uint8_t>(udpLength >> 8), static_cast<std::uint8_t>(udpLength),
        static_cast<std::uint8_t>(udpChecksum >> 8), static_cast<std::uint8_t>(udpChecksum),
        0x02,                               // op: BOOTREPLY
        0x01,                               // htype: Ethernet
        0x06,                               // hlen
        0x00,                               // hops
        static_cast<std::uint8_t>(xid >> 24), static_cast<std::uint8_t>(xid >> 16),
        static_cast<std::uint8_t>(xid >> 8), static_cast<std::uint8_t>(xid), // xid echoed
        0x00, 0x00,                         // secs
        0x00, 0x00,                         // flags
        0, 0, 0, 0,                         // ciaddr
        static_cast<std::uint8_t>(yiaddr >> 24), static_cast<std::uint8_t>(yiaddr >> 16),
        static_cast<std::uint8_t>(yiaddr >> 8), static_cast<std::uint8_t>(yiaddr), // yiaddr
        192, 168, 50, 1,                    // siaddr
        0, 0, 0, 0,                         // giaddr
        0x52, 0x54, 0x00, 0x12, 0x34, 0x56, // chaddr: the guest's address ...
    };
    // clang-format on
    appendZeros(f, 10);                   // ... padded to 16 bytes
    appendZeros(f, 64 + 128);             // sname, file
    f.insert(f.end(), {99, 130, 83, 99}); // magic cookie
    return f;
}

// Checksums below were computed once with scapy 2.5 from the same fields:
// Ether()/IP(src="192.168.50.1", dst="255.255.255.255", id=N, ttl=64)
// /UDP(sport=67, dport=68)/Raw(<the DHCP bytes>), reading bytes 24-25 and 40-41.
Bytes goldenOffer() {
    Bytes f = replyFrameHead(302, 1, 0x8715, 282, 0xfc45, 0x3903F326, kFirst);
    // clang-format off
    f.insert(f.end(), {
        53,  1, 2,                  // DHCPOFFER
        1,   4, 255, 255, 255, 0,   // subnet mask
        58,  4, 0,   6,   151, 128, // T1 432000 s
        59,  4, 0,   11,  137, 32,  // T2 756000 s
        51,  4, 0,   13,  47,  0,   // lease 864000 s
        54,  4, 192, 168, 50,  1,   // server identifier
        255,                        // end
    });
    // clang-format on
    return f;
}

Bytes goldenAck() {
    // Second datagram of the stack: identification 2.
    Bytes f = replyFrameHead(302, 2, 0x8714, 282, 0xf944, 0x3903F327, kFirst);
    // clang-format off
    f.insert(f.end(), {
        53,  1, 5,                  // DHCPACK
        58,  4, 0,   6,   151, 128, // T1
        59,  4, 0,   11,  137, 32,  // T2
        51,  4, 0,   13,  47,  0,   // lease time
        54,  4, 192, 168, 50,  1,   // server identifier
        1,   4, 255, 255, 255, 0,   // subnet mask, last in an ACK
        255,
    });
    // clang-format on
    return f;
}

Bytes goldenNak() {
    Bytes f = replyFrameHead(284, 1, 0x8727, 264, 0xb70b, 0x3903F328, 0);
    // clang-format off
    f.insert(f.end(), {
        53, 1, 6,                 // DHCPNAK
        54, 4, 192, 168, 50, 1,   // server identifier
        1, 4, 255, 255, 255, 0,   // subnet mask
        255,                      // end
    });
    // clang-format on
    return f;
}

std::string hex(const Bytes &b) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%02x", b[i]);
        s += buf;
        s += (i % 16 == 15) ? '\n' : ' ';
    }
    return s;
}

constexpr std::size_t kDhcpInFrame = 14 + 20 + 8;

// What kind of DHCP reply a captured frame holds (the type is the first
// option the server writes).
int replyType(const Bytes &frame) {
    const std::size_t at = kDhcpInFrame + 240;
    if (frame.size() < at + 3 || frame[at] != 53) {
        return -1;
    }
    return frame[at + 2];
}

std::uint32_t yiaddrOf(const Bytes &frame) {
    const std::size_t at = kDhcpInFrame + 16;
    return (std::uint32_t{frame[at]} << 24) | (std::uint32_t{frame[at + 1]} << 16) |
           (std::uint32_t{frame[at + 2]} << 8) | frame[at + 3];
}

std::vector<std::uint8_t> leaseBytes(const CDHCPProtocol &d) {
    std::vector<std::uint8_t> v(sizeof(d.Leases()));
    std::memcpy(v.data(), d.Leases(), v.size());
    return v;
}

TEST(DhcpGolden, OfferFrame) {
    Stack s;
    // chaddr bytes past the hardware address carry something: the reply still
    // holds the hardware address and zeros.
    fb::DhcpMessage m = fb::discover(0x3903F326, kGuest);
    for (std::size_t i = 6; i < 16; ++i) {
        m.byteAt(fb::DhcpMessage::kChaddr + i, static_cast<std::uint8_t>(0xA0 + i));
    }
    EXPECT_EQ(s.feed(m), PROTO_OK);
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    const Bytes expected = goldenOffer();
    ASSERT_EQ(expected.size(), 316u);
    EXPECT_EQ(s.bridge.last(), expected) << "got\n"
                                         << hex(s.bridge.last()) << "\nwant\n"
                                         << hex(expected);
}

TEST(DhcpGolden, AckFrame) {
    Stack s;
    ASSERT_EQ(s.feed(fb::discover(0x3903F326, kGuest)), PROTO_OK);
    EXPECT_EQ(s.feed(fb::request(0x3903F327, kGuest, kFirst, kServer)), PROTO_OK);
    ASSERT_EQ(s.bridge.frames.size(), 2u);
    const Bytes expected = goldenAck();
    EXPECT_EQ(s.bridge.last(), expected) << "got\n"
                                         << hex(s.bridge.last()) << "\nwant\n"
                                         << hex(expected);
    const LeaseEntry *e = s.dhcp->FindByAddress(kFirst);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->state, LEASE_BOUND);
}

TEST(DhcpGolden, NakFrame) {
    Stack s;
    // No server identifier: a reboot with only the requested address.
    EXPECT_EQ(s.feed(fb::request(0x3903F328, kGuest, kFirst, std::nullopt)), PROTO_OK);
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    const Bytes expected = goldenNak();
    ASSERT_EQ(expected.size(), 298u);
    EXPECT_EQ(s.bridge.last(), expected) << "got\n"
                                         << hex(s.bridge.last()) << "\nwant\n"
                                         << hex(expected);
}

TEST(DhcpExchange, RepeatedDiscoverKeepsTheAddressAndTheSlot) {
    Stack s;
    ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
    ASSERT_EQ(s.feed(fb::discover(2, kGuest)), PROTO_OK);
    ASSERT_EQ(s.feed(fb::discover(3, kOtherGuest), kOtherGuest), PROTO_OK);
    ASSERT_EQ(s.bridge.frames.size(), 3u);
    EXPECT_EQ(yiaddrOf(s.bridge.frames[0]), kFirst);
    EXPECT_EQ(yiaddrOf(s.bridge.frames[1]), kFirst);
    EXPECT_EQ(yiaddrOf(s.bridge.frames[2]), kFirst + 1);
    EXPECT_EQ(s.dhcp->Leases()[2].state, LEASE_FREE);
}

// Every outcome of a DHCPREQUEST. Before each case guest A has been offered
// kFirst and guest B kFirst + 1.
TEST(DhcpExchange, RequestOutcomes) {
    struct Case {
        const char *what;
        fb::DhcpMessage message;
        std::int32_t status;
        int reply; // -1 none, else the DHCP message type
        std::uint32_t yiaddr;
        bool tableUnchanged;
    };
    auto raw = [](std::initializer_list<std::uint8_t> options) {
        fb::DhcpMessage m(1, 77, kGuest);
        m.raw(options);
        return m;
    };
    const Case cases[] = {
        {"matched", fb::request(77, kGuest, kFirst, kServer), PROTO_OK, 5, kFirst, false},
        {"no server identifier", fb::request(77, kGuest, kFirst, std::nullopt), PROTO_OK, 6, 0,
         true},
        {"renewal with ciaddr, broadcast bit clear",
         fb::request(77, kGuest, std::nullopt, std::nullopt).ciaddr(kFirst).flags(0), PROTO_OK, 6,
         0, true},
        {"server identifier of 3 bytes counts as absent",
         raw({53, 1, 3, 50, 4, 192, 168, 50, 3, 54, 3, 192, 168, 50, 255}), PROTO_OK, 6, 0, true},
        {"another server", fb::request(77, kGuest, kFirst, kServer + 9), PROTO_E_NOTFORUS, -1, 0,
         true},
        {"address offered to another guest", fb::request(77, kGuest, kFirst + 1, kServer),
         PROTO_E_MALFORMED, 6, 0, true},
        {"address not in the table", fb::request(77, kGuest, kFirst + 7, kServer),
         PROTO_E_MALFORMED, 6, 0, true},
        {"no requested address", fb::request(77, kGuest, std::nullopt, kServer), PROTO_E_MALFORMED,
         6, 0, true},
        {"requested address of 3 bytes",
         raw({53, 1, 3, 54, 4, 192, 168, 50, 1, 50, 3, 192, 168, 50, 255}), PROTO_E_MALFORMED, 6, 0,
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Stack s;
        ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
        ASSERT_EQ(s.feed(fb::discover(2, kOtherGuest), kOtherGuest), PROTO_OK);
        const auto before = leaseBytes(*s.dhcp);
        const std::size_t sent = s.bridge.frames.size();

        EXPECT_EQ(s.feed(c.message), c.status);
        if (c.reply < 0) {
            EXPECT_EQ(s.bridge.frames.size(), sent);
        } else {
            ASSERT_EQ(s.bridge.frames.size(), sent + 1);
            const Bytes &f = s.bridge.last();
            EXPECT_EQ(replyType(f), c.reply);
            EXPECT_EQ(yiaddrOf(f), c.yiaddr);
            EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), Bytes(6, 0xff)) << "always broadcast";
            EXPECT_EQ(f.size(), c.reply == 6 ? kDhcpInFrame + 256 : kDhcpInFrame + 274);
        }
        EXPECT_EQ(leaseBytes(*s.dhcp) == before, c.tableUnchanged);
    }
}

TEST(DhcpExchange, ABoundAddressIsNotAcknowledgedTwice) {
    Stack s;
    ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
    ASSERT_EQ(s.feed(fb::request(2, kGuest, kFirst, kServer)), PROTO_OK);
    EXPECT_EQ(s.feed(fb::request(3, kGuest, kFirst, kServer)), PROTO_E_MALFORMED);
    EXPECT_EQ(replyType(s.bridge.last()), 6);
    // Starting over, the guest is offered its address again and can confirm it.
    ASSERT_EQ(s.feed(fb::discover(4, kGuest)), PROTO_OK);
    EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst);
    EXPECT_EQ(s.feed(fb::request(5, kGuest, kFirst, kServer)), PROTO_OK);
    EXPECT_EQ(replyType(s.bridge.last()), 5);
}

// The fixed-part and dispatch checks, in the order Receive makes them.
TEST(DhcpReceive, ChecksAndMessageTypes) {
    struct Case {
        std::string what;
        Bytes message;
        std::int32_t status;
        bool offer;
    };
    auto withOptions = [](std::initializer_list<std::uint8_t> options) {
        fb::DhcpMessage m(1, 9, kGuest);
        m.raw(options);
        return m.bytes();
    };
    const Bytes fixed = fb::DhcpMessage(1, 9, kGuest).bytes(); // 240 bytes, no options
    std::vector<Case> cases = {
        {"239 bytes", Bytes(fixed.begin(), fixed.end() - 1), PROTO_E_INVAL, false},
        {"240 bytes", fixed, PROTO_E_INVAL, false},
        {"241 bytes", withOptions({53}), PROTO_E_INVAL, false},
        {"243 bytes", withOptions({53, 1, 1}), PROTO_E_INVAL, false},
        {"244 bytes", withOptions({53, 1, 1, 255}), PROTO_OK, true},
        {"op 2", fb::DhcpMessage(2, 9, kGuest).messageType(1).end().bytes(), PROTO_E_NOTFORUS,
         false},
        {"bad cookie",
         fb::DhcpMessage(1, 9, kGuest).cookie(0x63825362).messageType(1).end().bytes(),
         PROTO_E_MALFORMED, false},
        {"no option 53", withOptions({50, 4, 192, 168, 50, 3, 255}), PROTO_E_MALFORMED, false},
        {"option 53 of length 0", withOptions({53, 0, 255, 1}), PROTO_E_MALFORMED, false},
        {"option 53 overrunning the end", withOptions({0, 0, 53, 2, 1}), PROTO_E_MALFORMED, false},
    };
    const std::int32_t byType[10] = {PROTO_E_MALFORMED, PROTO_OK,          PROTO_E_MALFORMED,
                                     PROTO_OK,          PROTO_NOT_HANDLED, PROTO_E_MALFORMED,
                                     PROTO_E_MALFORMED, PROTO_NOT_HANDLED, PROTO_NOT_HANDLED,
                                     PROTO_E_MALFORMED};
    for (int type = 0; type <= 9; ++type) {
        if (type == 3) {
            continue; // the request path has its own table
        }
        cases.push_back({"type " + std::to_string(type),
                         fb::DhcpMessage(1, 9, kGuest).messageType(type).end().bytes(),
                         byType[type], type == 1});
    }
    cases.push_back({"type 255", fb::DhcpMessage(1, 9, kGuest).messageType(255).end().bytes(),
                     PROTO_E_MALFORMED, false});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Stack s;
        ASSERT_EQ(s.feed(fb::discover(1, kOtherGuest), kOtherGuest), PROTO_OK);
        const auto before = leaseBytes(*s.dhcp);
        EXPECT_EQ(
            s.feed(fb::udpFrame(fb::kBroadcastMac, kGuest, 0, fb::kBroadcastIp, 68, 67, c.message)),
            c.status);
        if (c.offer) {
            ASSERT_EQ(s.bridge.frames.size(), 2u);
            EXPECT_EQ(replyType(s.bridge.last()), 2);
            EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst + 1);
        } else {
            EXPECT_EQ(s.bridge.frames.size(), 1u);
            EXPECT_EQ(leaseBytes(*s.dhcp), before) << "DECLINE and RELEASE leave the table alone";
        }
    }
}

// A DISCOVER cut short anywhere: the type option sits behind two others, so
// cuts before it lose the type and cuts before 244 bytes leave no options.
TEST(DhcpReceive, TruncatedDiscoverAtEveryLength) {
    fb::DhcpMessage m(1, 0x1234, kGuest);
    m.option(55, {1, 3, 6})
        .option(61, {1, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56})
        .messageType(1)
        .requestedAddress(kFirst)
        .end();
    const Bytes frame = fb::dhcpClientFrame(kGuest, m);
    const std::size_t typeComplete = kDhcpInFrame + 240 + 5 + 9 + 3;

    Stack s;
    for (std::size_t cut = 0; cut <= frame.size(); ++cut) {
        SCOPED_TRACE(cut);
        const std::size_t sent = s.bridge.frames.size();
        const std::int32_t status = s.feed(Bytes(frame.begin(), frame.begin() + cut));
        if (cut < kDhcpInFrame + 244) {
            EXPECT_EQ(status, PROTO_E_INVAL); // too short for some layer
        } else if (cut < typeComplete) {
            EXPECT_EQ(status, PROTO_E_MALFORMED);
        } else {
            EXPECT_EQ(status, PROTO_OK);
            ASSERT_EQ(s.bridge.frames.size(), sent + 1);
            EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst);
            continue;
        }
        EXPECT_EQ(s.bridge.frames.size(), sent);
    }
}

TEST(DhcpServer, SecondServerOnTheSamePortStaysUnregistered) {
    Stack s;
    auto *second = new CDHCPProtocol(s.udp, 1);
    second->InitScope(fb::ip(10, 0, 0, 3), fb::ip(10, 0, 0, 9), kMask);
    EXPECT_EQ(s.udp->Attach(s.dhcp, 67), PROTO_E_BUSY) << "the first server keeps the port";
    ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
    EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst);
    EXPECT_EQ(second->Leases()[0].state, LEASE_FREE);
    second->Release(); // attach flag 1: it ends itself
}

TEST(DhcpServer, SendIsNotHandledAndReleaseHonoursTheAttachFlag) {
    auto *kept = new CDHCPProtocol(nullptr, 0);
    EXPECT_EQ(kept->Send(nullptr), PROTO_NOT_HANDLED);
    kept->Release(); // flag 0: still alive (a use after free would show under ASan)
    EXPECT_EQ(kept->InitScope(1, 2, 3), 0);
    delete kept;
    EXPECT_EQ(CDHCPProtocol(nullptr, 0).Receive(nullptr), PROTO_E_INVAL);
}

// Allocation failures, injected at every allocation a DISCOVER makes from the
// bridge to the bridge.
TEST(DhcpMemory, ReplyGrowsByCopyOnePieceAtATime) {
    Stack s;
    std::vector<std::size_t> sizes;
    {
        const FailingAlloc recording(-1);
        ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
        sizes = FailingAlloc::sizes();
    }
    // Received frame: record and copy. Then the server's record and its
    // 240-byte buffer, two growths per option and one for End.
    ASSERT_GE(sizes.size(), 17u);
    const std::vector<std::size_t> server(sizes.begin() + 2, sizes.begin() + 17);
    EXPECT_EQ(server, (std::vector<std::size_t>{sizeof(Packet), 240, 242, 243, 245, 249, 251, 255,
                                                257, 261, 263, 267, 269, 273, 274}));
}

TEST(DhcpMemory, EveryFailedAllocationLeavesNoReply) {
    for (const bool request_ : {false, true}) {
        // Count the allocations of a successful run first.
        long total = 0;
        {
            Stack s;
            if (request_) {
                ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
            }
            const FailingAlloc counting(-1);
            s.feed(request_ ? fb::dhcpClientFrame(kGuest, fb::request(2, kGuest, kFirst, kServer))
                            : fb::dhcpClientFrame(kGuest, fb::discover(1, kGuest)));
            total = FailingAlloc::calls();
        }
        ASSERT_GT(total, 17);
        for (long k = 0; k < total; ++k) {
            SCOPED_TRACE((request_ ? "request, allocation " : "discover, allocation ") +
                         std::to_string(k));
            Stack s;
            if (request_) {
                ASSERT_EQ(s.feed(fb::discover(1, kGuest)), PROTO_OK);
            }
            const std::size_t sent = s.bridge.frames.size();
            std::int32_t status;
            {
                const FailingAlloc failing(k);
                status = s.feed(
                    request_ ? fb::dhcpClientFrame(kGuest, fb::request(2, kGuest, kFirst, kServer))
                             : fb::dhcpClientFrame(kGuest, fb::discover(1, kGuest)));
            }
            EXPECT_EQ(s.bridge.frames.size(), sent) << "nothing half-built reaches the bridge";
            if (k < 17) {
                // The received copy, then the server's own reply.
                EXPECT_EQ(status, PROTO_E_NOMEM);
            } else {
                // Below the server: its status does not look at the send.
                EXPECT_EQ(status, PROTO_OK);
            }
        }
    }
}

} // namespace

namespace {

// What the server counts for an operator, checked against what the bridge
// stand-in actually carried.
TEST(DhcpCounters, CountWhatWasSeenAndAnswered) {
    Stack s;
    const Bytes fixed = fb::DhcpMessage(1, 9, kGuest).bytes();
    const struct {
        const char *what;
        Bytes frame;
        DhcpCounters after;
    } steps[] = {
        {"discover", fb::dhcpClientFrame(kGuest, fb::discover(1, kGuest)), {1, 0, 1, 0, 0, 0, 0}},
        {"request for the offer",
         fb::dhcpClientFrame(kGuest, fb::request(1, kGuest, kFirst, kServer)),
         {1, 1, 1, 1, 0, 0, 0}},
        {"request without server",
         fb::dhcpClientFrame(kGuest, fb::request(2, kGuest, kFirst, std::nullopt)),
         {1, 2, 1, 1, 1, 0, 0}},
        {"request for another server",
         fb::dhcpClientFrame(kGuest, fb::request(3, kGuest, kFirst, kServer + 9)),
         {1, 3, 1, 1, 1, 0, 1}},
        {"boot reply",
         fb::dhcpClientFrame(kGuest, fb::DhcpMessage(2, 4, kGuest).messageType(1).end()),
         {1, 3, 1, 1, 1, 0, 2}},
        {"bad cookie",
         fb::dhcpClientFrame(kGuest, fb::DhcpMessage(1, 5, kGuest).cookie(1).messageType(1).end()),
         {1, 3, 1, 1, 1, 1, 2}},
        {"unknown type",
         fb::dhcpClientFrame(kGuest, fb::DhcpMessage(1, 6, kGuest).messageType(255).end()),
         {1, 3, 1, 1, 1, 2, 2}},
        {"too short",
         fb::udpFrame(fb::kBroadcastMac, kGuest, 0, fb::kBroadcastIp, 68, 67,
                      Bytes(fixed.begin(), fixed.end() - 1)),
         {1, 3, 1, 1, 1, 3, 2}},
        {"release",
         fb::dhcpClientFrame(kGuest, fb::DhcpMessage(1, 7, kGuest).messageType(7).end()),
         {1, 3, 1, 1, 1, 3, 2}},
        {"arp", fb::arpRequestFrame(kGuest, kFirst, kServer), {1, 3, 1, 1, 1, 3, 2}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        s.feed(step.frame);
        const DhcpCounters &c = s.dhcp->Counters();
        EXPECT_EQ(c.discoversSeen, step.after.discoversSeen);
        EXPECT_EQ(c.requestsSeen, step.after.requestsSeen);
        EXPECT_EQ(c.offersSent, step.after.offersSent);
        EXPECT_EQ(c.acksSent, step.after.acksSent);
        EXPECT_EQ(c.naksSent, step.after.naksSent);
        EXPECT_EQ(c.droppedMalformed, step.after.droppedMalformed);
        EXPECT_EQ(c.droppedNotForUs, step.after.droppedNotForUs);
    }
    int sent[7] = {};
    for (const Bytes &frame : s.bridge.frames) {
        if (fb::get16(frame, 12) == fb::kTypeIPv4) {
            ++sent[replyType(frame)];
        }
    }
    EXPECT_EQ(sent[2], 1); // OFFER
    EXPECT_EQ(sent[5], 1); // ACK
    EXPECT_EQ(sent[6], 1); // NAK
}

} // namespace

namespace {

fb::DhcpMessage decline(std::uint32_t xid, std::optional<std::uint32_t> server,
                        std::uint32_t address, const fb::Mac &mac = kGuest) {
    fb::DhcpMessage m(1, xid, mac);
    m.messageType(4).requestedAddress(address);
    if (server) {
        m.serverId(*server);
    }
    m.end();
    return m;
}

// What a new guest is offered next, from a fresh hardware address each time.
std::uint32_t offerToNewGuest(Stack &s) {
    static std::uint8_t n = 0;
    const fb::Mac stranger{0x52, 0x54, 0x00, 0x77, 0x00, ++n};
    const std::size_t before = s.bridge.frames.size();
    s.feed(fb::discover(0x900 + n, stranger), stranger);
    return s.bridge.frames.size() == before ? 0 : yiaddrOf(s.bridge.last());
}

TEST(DhcpDecline, TheAddressGoesToItsUnknownHolderAndIsAskedFor) {
    Stack s;
    s.feed(fb::discover(1, kGuest));
    s.feed(fb::request(2, kGuest, kFirst, kServer));
    ASSERT_EQ(replyType(s.bridge.last()), 5);
    const std::size_t sent = s.bridge.frames.size();

    EXPECT_EQ(s.feed(decline(3, kServer, kFirst)), PROTO_NOT_HANDLED);
    // No DHCP reply, one ARP request for the declined address.
    ASSERT_EQ(s.bridge.frames.size(), sent + 1);
    const Bytes &asked = s.bridge.last();
    EXPECT_EQ(fb::get16(asked, 12), fb::kTypeARP);
    EXPECT_EQ(checks::get32(asked, 14 + 24), kFirst);
    EXPECT_EQ(chaincheck::leaseTableFault(*s.dhcp), "");

    // Neither the guest nor anybody else is offered it again.
    s.feed(fb::discover(4, kGuest));
    EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst + 1);
    EXPECT_EQ(offerToNewGuest(s), kFirst + 2);
    const LeaseEntry *held = s.dhcp->FindByAddress(kFirst);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->state, LEASE_BOUND);
    EXPECT_EQ(Bytes(held->hwAddr, held->hwAddr + 6), Bytes(6, 0xff));

    // The holder, once heard, is the address's holder by name.
    const fb::Mac holder{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
    EXPECT_TRUE(s.dhcp->LearnHolder(holder.data(), kFirst));
    s.feed(fb::discover(5, holder), holder);
    EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst);
    EXPECT_EQ(chaincheck::leaseTableFault(*s.dhcp), "");
}

// A station heard on a second address keeps its one entry, and nobody else
// is offered the address it was heard on: an offer of its own moves there, a
// confirmed lease stays and the second address goes to an unknown holder.
TEST(DhcpLearn, AStationHeardOnASecondAddressKeepsOneEntry) {
    const struct {
        const char *what;
        bool confirmed;
        std::uint32_t guestAfter; // what the station is offered at its next DISCOVER
    } cases[] = {
        {"its offer", false, kFirst + 5},
        {"its confirmed lease", true, kFirst},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Stack s;
        s.feed(fb::discover(1, kGuest));
        if (c.confirmed) {
            s.feed(fb::request(2, kGuest, kFirst, kServer));
        }
        s.feed(fb::arpRequestFrame(kGuest, kFirst + 5, kServer));
        EXPECT_EQ(chaincheck::leaseTableFault(*s.dhcp), "");
        const LeaseEntry *heard = s.dhcp->FindByAddress(kFirst + 5);
        ASSERT_NE(heard, nullptr);
        EXPECT_EQ(heard->state, LEASE_BOUND);
        for (std::uint32_t n = 0; n < 8; ++n) {
            EXPECT_NE(offerToNewGuest(s), kFirst + 5);
        }
        s.feed(fb::discover(3, kGuest));
        EXPECT_EQ(yiaddrOf(s.bridge.last()), c.guestAfter);
    }
}

// ff:ff:ff:ff:ff:ff stands for a declined address's unknown holder; a guest
// that sends it as its own hardware address is not that holder.
TEST(DhcpDecline, NoGuestPassesForTheUnknownHolder) {
    Stack s;
    s.feed(fb::discover(1, kGuest));
    s.feed(fb::request(2, kGuest, kFirst, kServer));
    s.feed(decline(3, kServer, kFirst));
    const std::size_t sent = s.bridge.frames.size();
    EXPECT_EQ(s.feed(fb::discover(4, fb::kBroadcastMac), kOtherGuest), PROTO_NOT_HANDLED);
    EXPECT_EQ(s.bridge.frames.size(), sent);
}

TEST(DhcpDecline, OnlyTheGuestsOwnAddressFromThisServer) {
    const struct {
        const char *what;
        fb::DhcpMessage message;
        fb::Mac from;
    } cases[] = {
        {"another server", decline(3, kServer + 1, kFirst), kGuest},
        {"another guest's address", decline(3, kServer, kFirst, kOtherGuest), kOtherGuest},
        {"an address nobody holds", decline(3, kServer, kFirst + 9), kGuest},
        {"no address", fb::DhcpMessage(1, 3, kGuest).messageType(4).serverId(kServer).end(),
         kGuest},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Stack s;
        s.feed(fb::discover(1, kGuest));
        s.feed(fb::request(2, kGuest, kFirst, kServer));
        const std::vector<std::uint8_t> before = leaseBytes(*s.dhcp);
        const std::size_t sent = s.bridge.frames.size();
        EXPECT_EQ(s.feed(c.message, c.from), PROTO_NOT_HANDLED);
        EXPECT_EQ(s.bridge.frames.size(), sent);
        EXPECT_EQ(leaseBytes(*s.dhcp), before);
    }
}

// A renewal applies any scope: whatever it says, a guest is offered only host
// addresses of the server's subnet.
TEST(DhcpPool, OnlyHostAddressesOfTheServersSubnetAreOffered) {
    const struct {
        const char *what;
        std::uint32_t start, end, mask;
        std::vector<std::uint32_t> offers; // to new guests in turn, then nothing
    } cases[] = {
        {"across the subnet",
         fb::ip(192, 168, 50, 250),
         fb::ip(192, 168, 51, 20),
         kMask,
         {fb::ip(192, 168, 50, 252), fb::ip(192, 168, 50, 253), fb::ip(192, 168, 50, 254)}},
        {"ending on the broadcast address",
         fb::ip(10, 1, 1, 249),
         fb::ip(10, 1, 1, 255),
         kMask,
         {fb::ip(10, 1, 1, 251), fb::ip(10, 1, 1, 252), fb::ip(10, 1, 1, 253),
          fb::ip(10, 1, 1, 254)}},
        {"pool starting on the broadcast address",
         fb::ip(10, 1, 1, 253),
         fb::ip(10, 1, 2, 40),
         kMask,
         {}},
        {"pool starting past the subnet", fb::ip(10, 1, 1, 254), fb::ip(10, 1, 2, 40), kMask, {}},
        {"a /16 holds x.y.z.255 and x.y.z.0",
         fb::ip(10, 2, 0, 252),
         fb::ip(10, 2, 1, 2),
         fb::ip(255, 255, 0, 0),
         {fb::ip(10, 2, 0, 254), fb::ip(10, 2, 0, 255), fb::ip(10, 2, 1, 0), fb::ip(10, 2, 1, 1),
          fb::ip(10, 2, 1, 2)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Stack s;
        s.dhcp->InitScope(c.start + 2, c.end, c.mask);
        s.ip->SetAddress(c.start, c.mask);
        for (const std::uint32_t expected : c.offers) {
            EXPECT_EQ(offerToNewGuest(s), expected);
        }
        EXPECT_EQ(offerToNewGuest(s), 0u);
    }
}

TEST(DhcpHold, NewGuestsWaitKnownOnesDoNotAndAllAreAnsweredAsEver) {
    Stack direct;
    direct.feed(fb::discover(0x42, kGuest));
    const Bytes expected = direct.bridge.last();

    Stack s;
    const fb::Mac known{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    ASSERT_TRUE(s.dhcp->LearnHolder(known.data(), kFirst + 7));
    s.dhcp->HoldNewGuests(true);
    EXPECT_EQ(s.feed(fb::discover(0x42, kGuest)), PROTO_NOT_HANDLED);
    EXPECT_EQ(s.feed(fb::discover(0x43, kGuest)), PROTO_NOT_HANDLED); // a retry replaces it
    EXPECT_TRUE(s.bridge.frames.empty());
    s.feed(fb::discover(0x44, known), known);
    ASSERT_EQ(s.bridge.frames.size(), 1u);
    EXPECT_EQ(yiaddrOf(s.bridge.last()), kFirst + 7);
    // More new guests than the store keeps: the rest are left to their retry.
    for (std::uint8_t n = 0; n < HeldDiscovers::kCapacity + 3; ++n) {
        const fb::Mac guest{0x52, 0x54, 0x01, 0x00, 0x00, n};
        s.feed(fb::discover(0x100 + n, guest), guest);
    }
    EXPECT_EQ(s.bridge.frames.size(), 1u);

    s.dhcp->HoldNewGuests(false);
    ASSERT_EQ(s.bridge.frames.size(), 1u + HeldDiscovers::kCapacity);
    // The message an answer at once would have carried, but for the retry's
    // xid (the IP identification and checksums differ as datagrams do).
    Bytes first(s.bridge.frames[1].begin() + kDhcpInFrame, s.bridge.frames[1].end());
    Bytes wanted(expected.begin() + kDhcpInFrame, expected.end());
    ASSERT_GT(wanted.size(), 8u);
    wanted[7] = 0x43;
    EXPECT_EQ(first, wanted);
    EXPECT_EQ(s.dhcp->Counters().discoversSeen, 1u + HeldDiscovers::kCapacity);
    EXPECT_EQ(chaincheck::leaseTableFault(*s.dhcp), "");
}

} // namespace
