#pragma once

// The stack as the service builds it (Ethernet, IPv4 with its ARP responder,
// UDP, the DHCP server) over a capturing bridge, for the whole-stack tests, and
// an allocator hook that fails one chosen allocation and counts them all.

#include "StackChecks.h"

#include "CDHCPProtocol.h"
#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "CapturingLower.h"
#include "FailingAlloc.h"
#include "FrameBuilder.h"
#include "Memory.h"
#include "ServerStack.h"

#include <cstdint>
#include <cstdlib>

namespace hardening {

// The service's stack with the hardening tests' scope.
struct Stack : ServerStack {
    explicit Stack(std::uint32_t poolEnd = fb::ip(10, 0, 0, 254),
                   std::uint32_t mask = checks::kMask)
        : ServerStack(checks::kServerIp, poolEnd, mask) {}
};

using AllocFault = FailingAlloc;

} // namespace hardening
