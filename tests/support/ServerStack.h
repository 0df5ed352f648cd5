#pragma once

// The stack as the service builds it (buildServiceLayers) over the capturing
// stand-in for the bridge port of LayerStack.

#include "CDHCPProtocol.h"
#include "LayerStack.h"
#include "ServiceLayers.h"

#include <cstdint>

struct ServerStack : LayerStack {
    ServerStack(std::uint32_t scopeStart, std::uint32_t scopeEnd, std::uint32_t mask)
        : LayerStack(Unbuilt{}) {
        layers = buildServiceLayers(&bridge, scopeStart, scopeEnd, mask);
        eth = layers.eth;
        ip = layers.ip;
        udp = layers.udp;
        dhcp = layers.dhcp;
    }

    ServiceLayers layers{};
    CDHCPProtocol *dhcp;
};
