#pragma once

// The stack exactly as the service assembles it: the frame layers of
// LayerStack with the DHCP server over UDP, the pool from scope start + 2.

#include "CDHCPProtocol.h"
#include "LayerStack.h"

#include <cstdint>

struct ServerStack : LayerStack {
    ServerStack(std::uint32_t scopeStart, std::uint32_t scopeEnd, std::uint32_t mask)
        : LayerStack(scopeStart, mask) {
        dhcp = new CDHCPProtocol(udp, 1);
        dhcp->InitScope(scopeStart + 2, scopeEnd, mask);
    }

    CDHCPProtocol *dhcp;
};
