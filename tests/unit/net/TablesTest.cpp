#include "CARPProtocol.h"
#include "LayerStack.h"
#include "RecordingUpper.h"

#include <gtest/gtest.h>

#include <functional>

using namespace nettest;

namespace {

struct TableOps {
    const char *layer;
    std::function<std::int32_t(CProtocol *, std::uint32_t)> attach;
    std::function<std::int32_t(std::uint32_t)> detach;
    std::uint32_t firstBeyond;
    std::int32_t attachBeyond;
    std::int32_t attachNull;
    std::int32_t detachBeyond;
};

TEST(UpperTables, AttachAndDetachResultsPerLayer) {
    auto *eth = new CEthProtocol(nullptr);
    CIPProtocol ip(nullptr, 0);
    CUDPProtocol udp(nullptr, 0);
    const TableOps tables[] = {
        {"Ethernet", [&](CProtocol *u, std::uint32_t i) { return eth->Attach(u, i); },
         [&](std::uint32_t i) { return eth->Detach(i); }, 65536, PROTO_E_NOENT, PROTO_OK,
         PROTO_E_NOENT},
        {"IPv4", [&](CProtocol *u, std::uint32_t i) { return ip.Attach(u, i); },
         [&](std::uint32_t i) { return ip.Detach(i); }, 256, PROTO_E_INVAL, PROTO_E_INVAL,
         PROTO_E_INVAL},
        {"UDP", [&](CProtocol *u, std::uint32_t i) { return udp.Attach(u, i); },
         [&](std::uint32_t i) { return udp.Detach(i); }, 65536, PROTO_E_INVAL, PROTO_E_INVAL,
         PROTO_E_INVAL},
    };
    for (const TableOps &t : tables) {
        RecordingUpper first, second;
        const std::uint32_t last = t.firstBeyond - 1;
        EXPECT_EQ(t.attach(&first, t.firstBeyond), t.attachBeyond) << t.layer;
        EXPECT_EQ(t.attach(&first, 0xffffffffu), t.attachBeyond) << t.layer;
        EXPECT_EQ(t.attach(nullptr, 5), t.attachNull) << t.layer;
        EXPECT_EQ(t.detach(5), PROTO_E_NOENT) << t.layer << ": a null entry left the slot empty";
        EXPECT_EQ(t.attach(&first, last), PROTO_OK) << t.layer;
        EXPECT_EQ(t.attach(&second, last), PROTO_E_BUSY) << t.layer;
        EXPECT_EQ(t.detach(t.firstBeyond), t.detachBeyond) << t.layer;
        EXPECT_EQ(t.detach(last - 1), PROTO_E_NOENT) << t.layer;
        EXPECT_EQ(first.releases + second.releases, 0) << t.layer;
        // The first registration stayed: detaching releases it, not the second.
        EXPECT_EQ(t.detach(last), PROTO_OK) << t.layer;
        EXPECT_EQ(first.releases, 1) << t.layer;
        EXPECT_EQ(second.releases, 0) << t.layer;
        EXPECT_EQ(t.detach(last), PROTO_E_NOENT) << t.layer;
    }
    eth->Release();
}

TEST(UpperTables, DestructorReleasesInAscendingIndexOrder) {
    std::vector<std::string> order;
    auto *eth = new CEthProtocol(nullptr);
    eth->Attach(new RecordingUpper(&order, "0x0806", true), 0x0806);
    eth->Attach(new RecordingUpper(&order, "0xffff", true), 0xffff);
    eth->Attach(new RecordingUpper(&order, "0x0000", true), 0x0000);
    eth->Attach(new RecordingUpper(&order, "0x0800", true), 0x0800);
    eth->Release();
    EXPECT_EQ(order, (std::vector<std::string>{"0x0000", "0x0800", "0x0806", "0xffff"}));
}

TEST(UpperTables, DestroyingEthernetTearsDownTheWholeStackIpFirst) {
    // Recorders around the real layers show where their cascades run: IPv4's
    // table (UDP, then port 67 in UDP's) empties before Ethernet reaches the
    // index after 0x0800, and the ARP responder's slot comes after that.
    std::vector<std::string> order;
    auto *eth = new CEthProtocol(nullptr);
    auto *ip = new CIPProtocol(eth, 1);
    auto *udp = new CUDPProtocol(ip, 1);
    udp->Attach(new RecordingUpper(&order, "udp 67", true), 67);
    ip->Attach(new RecordingUpper(&order, "ip 18", true), 18);
    eth->Attach(new RecordingUpper(&order, "eth 0x0801", true), 0x0801);
    eth->Attach(new RecordingUpper(&order, "eth 0x0807", true), 0x0807);
    EXPECT_EQ(eth->Attach(ip, 0x0800), PROTO_E_BUSY);  // IPv4 registered itself
    EXPECT_EQ(eth->Attach(udp, 0x0806), PROTO_E_BUSY); // and so did its responder
    EXPECT_EQ(ip->Attach(udp, 17), PROTO_E_BUSY);      // UDP under 17
    eth->Release();
    EXPECT_EQ(order, (std::vector<std::string>{"udp 67", "ip 18", "eth 0x0801", "eth 0x0807"}));
}

TEST(UpperTables, IpForgetsItsResponderWithoutReleasingIt) {
    CapturingLower bridge;
    auto *eth = new CEthProtocol(&bridge);
    eth->SetMac(fb::kServerMac.data());
    auto *ip = new CIPProtocol(eth, 1);
    ip->SetAddress(kOwnIp, kMask);
    ASSERT_EQ(eth->Detach(0x0800), PROTO_OK); // IPv4 gone, responder stays registered
    const fb::Bytes request = fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp);
    EXPECT_EQ(eth->ReceiveFrame(request.data(), static_cast<std::uint32_t>(request.size())),
              PROTO_NOT_HANDLED);
    EXPECT_EQ(bridge.frames.size(), 1u); // the responder still answers
    eth->Release();                      // and is released here, once
}

TEST(Release, AttachFlagDecides) {
    // Flag 0: Release leaves the object alive and its creator deletes it. A
    // wrong delete shows as use-after-free under the sanitizer build.
    auto *ip = new CIPProtocol(nullptr, 0);
    auto *udp = new CUDPProtocol(ip, 0);
    auto *arp = new CARPProtocol(nullptr, 0);
    ip->Release();
    udp->Release();
    arp->Release();
    EXPECT_EQ(ip->SetAddress(kOwnIp, kMask), PROTO_OK);
    EXPECT_EQ(ip->GetAddress(), kOwnIp);
    EXPECT_EQ(udp->GetLower(), ip);
    EXPECT_EQ(arp->Send(nullptr), PROTO_NOT_HANDLED);
    EXPECT_EQ(ip->Attach(udp, 17), PROTO_OK) << "flag 0 registered nowhere";
    ip->Detach(17); // releases udp: still alive
    delete udp;
    delete arp;
    delete ip;

    // Flag 1 with nothing to register in: Release deletes (a leak otherwise,
    // which LeakSanitizer reports).
    (new CIPProtocol(nullptr, 1))->Release();
    (new CUDPProtocol(nullptr, 1))->Release();
    (new CARPProtocol(nullptr, 1))->Release();
}

} // namespace
