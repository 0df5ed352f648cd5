#pragma once

// The frame layers as the service assembles them (Ethernet with the service
// address, IPv4 with its ARP responder, UDP), over a capturing stand-in for
// the bridge port. ServerStack puts the DHCP server on top.

#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "CapturingLower.h"
#include "FrameBuilder.h"

#include <cstdint>

// The addresses the layer tests use: the service's own and one guest's.
namespace nettest {
inline constexpr std::uint32_t kOwnIp = fb::ip(10, 0, 0, 1);
inline constexpr std::uint32_t kMask = fb::ip(255, 255, 255, 0);
inline constexpr fb::Mac kGuestMac{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
inline constexpr std::uint32_t kGuestIp = fb::ip(10, 0, 0, 77);
} // namespace nettest

struct LayerStack {
    explicit LayerStack(std::uint32_t own = nettest::kOwnIp, std::uint32_t mask = nettest::kMask) {
        eth = new CEthProtocol(&bridge);
        eth->SetMac(fb::kServerMac.data());
        ip = new CIPProtocol(eth, kAttach);
        ip->SetAddress(own, mask);
        udp = new CUDPProtocol(ip, kAttach);
    }
    // The Ethernet layer's release takes every layer above it down.
    ~LayerStack() {
        if (eth != nullptr) {
            eth->Release();
        }
    }
    LayerStack(const LayerStack &) = delete;
    LayerStack &operator=(const LayerStack &) = delete;

    std::int32_t feed(const fb::Bytes &frame) {
        return eth->ReceiveFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }

    CapturingLower bridge; // declared first: outlives the layers over it
    CEthProtocol *eth = nullptr;
    CIPProtocol *ip = nullptr;
    CUDPProtocol *udp = nullptr;

protected:
    // For a stack that builds its layers over the bridge itself.
    struct Unbuilt {};
    explicit LayerStack(Unbuilt /*unused*/) {}
};
