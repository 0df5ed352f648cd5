#pragma once

// The stack exactly as the service assembles it (Ethernet with the service
// address, IPv4 with its ARP responder, UDP, the DHCP server, the pool from
// scope start + 2), over a capturing stand-in for the bridge port.

#include "CDHCPProtocol.h"
#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "CapturingLower.h"
#include "FrameBuilder.h"

#include <cstdint>

struct ServerStack {
    ServerStack(std::uint32_t scopeStart, std::uint32_t scopeEnd, std::uint32_t mask) {
        eth = new CEthProtocol(&bridge);
        eth->SetMac(fb::kServerMac.data());
        ip = new CIPProtocol(eth, 1);
        ip->SetAddress(scopeStart, mask);
        udp = new CUDPProtocol(ip, 1);
        dhcp = new CDHCPProtocol(udp, 1);
        dhcp->InitScope(scopeStart + 2, scopeEnd, mask);
    }
    // The Ethernet layer's release takes IPv4, ARP, UDP and the server down.
    ~ServerStack() { eth->Release(); }
    ServerStack(const ServerStack &) = delete;
    ServerStack &operator=(const ServerStack &) = delete;

    std::int32_t feed(const fb::Bytes &frame) {
        return eth->ReceiveFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }

    CapturingLower bridge; // outlives the layers over it
    CEthProtocol *eth;
    CIPProtocol *ip;
    CUDPProtocol *udp;
    CDHCPProtocol *dhcp;
};
