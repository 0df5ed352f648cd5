#include "FailingAlloc.h"
#include "LayerStack.h"
#include "RecordingUpper.h"

#include <gtest/gtest.h>

using namespace nettest;

namespace {

// Fails each allocation of a send in turn: the result is PROTO_E_NOMEM,
// nothing reaches the bridge, and the owner's PacketFree leaves no leak
// (LeakSanitizer in the sanitizer build). The count of allocations is taken
// from a run without failures, so a new allocation cannot slip by untested.
struct SendPath {
    const char *what;
    std::size_t payload;
    std::uint32_t destination;
};

TEST(NoMemory, EverySendAllocationFailsCleanly) {
    const SendPath paths[] = {
        {"300-byte datagram: UDP, IPv4, Ethernet prepends", 300, 0xffffffffu},
        {"short datagram: the padding as well", 4, 0xffffffffu},
        {"to the own address: handed back up", 4, kOwnIp},
    };
    for (const SendPath &path : paths) {
        int allocations = 0;
        {
            LayerStack s;
            Packet *p = PacketCreate(nullptr, static_cast<std::uint32_t>(path.payload));
            FailingAlloc count(-1);
            ASSERT_EQ(s.udp->SendDatagram(p, path.destination, 68, 67), PROTO_OK);
            allocations = FailingAlloc::calls();
            PacketFree(p);
        }
        EXPECT_GE(allocations, 3) << path.what;
        for (int failAt = 0; failAt < allocations; ++failAt) {
            LayerStack s;
            RecordingUpper loopback;
            s.udp->Attach(&loopback, 68);
            Packet *p = PacketCreate(nullptr, static_cast<std::uint32_t>(path.payload));
            {
                FailingAlloc alloc(failAt);
                EXPECT_EQ(s.udp->SendDatagram(p, path.destination, 68, 67), PROTO_E_NOMEM)
                    << path.what << ", allocation " << failAt;
            }
            EXPECT_TRUE(s.bridge.frames.empty()) << path.what << ", allocation " << failAt;
            EXPECT_EQ(loopback.receives, 0) << path.what << ", allocation " << failAt;
            // The packet is still whole for its owner.
            EXPECT_EQ(p->data, p->buffer);
            EXPECT_EQ(p->length, p->bufferSize);
            PacketFree(p);
            s.udp->Detach(68);
        }
    }
}

TEST(NoMemory, ReceivedFrameCopyAndArpReply) {
    // Allocations of one ARP exchange: 0 record and 1 copy of the received
    // frame, 2 reply record, 3 reply buffer, 4 Ethernet header, 5 padding.
    const fb::Bytes request = fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp);
    const std::int32_t expected[] = {PROTO_E_NOMEM,    PROTO_E_NOMEM,     PROTO_E_NOMEM,
                                     PROTO_E_NOMEM,    PROTO_NOT_HANDLED, PROTO_NOT_HANDLED,
                                     PROTO_NOT_HANDLED};
    for (int failAt = 0; failAt < 7; ++failAt) {
        LayerStack s;
        FailingAlloc alloc(failAt);
        EXPECT_EQ(s.feed(request), expected[failAt]) << failAt;
        EXPECT_EQ(FailingAlloc::calls(), std::min(failAt + 1, 6)) << failAt; // stops at the failure
        EXPECT_EQ(s.bridge.frames.size(), failAt < 6 ? 0u : 1u) << failAt;
    }
}

} // namespace
