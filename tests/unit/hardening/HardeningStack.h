#pragma once

// The stack as the service builds it (Ethernet, IPv4 with its ARP responder,
// UDP, the DHCP server) over a capturing bridge, for the hardening tests, and
// an allocator hook that fails one chosen allocation and counts them all.

#include "../../fuzz/StackChecks.h"

#include "CDHCPProtocol.h"
#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "CapturingLower.h"
#include "FrameBuilder.h"
#include "Memory.h"

#include <cstdint>
#include <cstdlib>

namespace hardening {

struct Stack {
    explicit Stack(std::uint32_t poolEnd = fb::ip(10, 0, 0, 254),
                   std::uint32_t mask = checks::kMask) {
        eth = new CEthProtocol(&bridge);
        eth->SetMac(fb::kServerMac.data());
        ip = new CIPProtocol(eth, 1);
        ip->SetAddress(checks::kServerIp, mask);
        udp = new CUDPProtocol(ip, 1);
        dhcp = new CDHCPProtocol(udp, 1);
        dhcp->InitScope(checks::kPoolStart, poolEnd, mask);
    }
    ~Stack() { eth->Release(); }
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;

    std::int32_t feed(const fb::Bytes &frame) {
        return eth->ReceiveFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }

    CapturingLower bridge; // outlives the layers over it
    CEthProtocol *eth;
    CIPProtocol *ip;
    CUDPProtocol *udp;
    CDHCPProtocol *dhcp;
};

// Counts allocations through the stack's allocator and fails the one whose
// index equals failAt (-1: none). Restores plain malloc when it ends.
class AllocFault {
public:
    explicit AllocFault(long failAt) {
        count() = 0;
        target() = failAt;
        previous_ = setAllocHook(&AllocFault::hook);
    }
    ~AllocFault() { setAllocHook(previous_); }
    AllocFault(const AllocFault &) = delete;
    AllocFault &operator=(const AllocFault &) = delete;

    static long &count() {
        static long n = 0;
        return n;
    }

private:
    static long &target() {
        static long n = -1;
        return n;
    }
    static void *hook(std::size_t size) {
        return count()++ == target() ? nullptr : std::malloc(size);
    }
    AllocHook previous_;
};

inline fb::Bytes discover(const fb::Mac &guest, std::uint32_t xid) {
    return fb::dhcpClientFrame(guest, fb::DhcpMessage(1, xid, guest).messageType(1).end());
}

inline fb::Bytes request(const fb::Mac &guest, std::uint32_t xid, std::uint32_t address,
                         bool namesServer = true) {
    fb::DhcpMessage m(1, xid, guest);
    m.messageType(3).requestedAddress(address);
    if (namesServer) {
        m.serverId(checks::kServerIp);
    }
    return fb::dhcpClientFrame(guest, m.end());
}

} // namespace hardening
