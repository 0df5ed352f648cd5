#pragma once

// The service's stack with what a test of its ARP probing reads off the
// bridge: the addresses the service asked for, the offers it sent, and
// guests' DISCOVERs and REQUESTs fed in.

#include "FrameBuilder.h"
#include "ServerStack.h"
#include "StackChecks.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct ProbeStack : ServerStack {
    using ServerStack::ServerStack;

    // The targets of the ARP requests on the bridge since the last call.
    std::vector<std::uint32_t> asked() {
        std::vector<std::uint32_t> targets;
        for (; seen < bridge.frames.size(); ++seen) {
            const fb::Bytes &f = bridge.frames[seen];
            if (fb::get16(f, 12) == fb::kTypeARP && fb::get16(f, 14 + 6) == 1) {
                targets.push_back(checks::get32(f, 14 + 24));
            }
        }
        return targets;
    }
    std::size_t offers() const {
        std::size_t n = 0;
        for (const fb::Bytes &f : bridge.frames) {
            n += fb::get16(f, 12) == fb::kTypeIPv4 ? 1 : 0;
        }
        return n;
    }
    // The yiaddr of the last reply on the bridge.
    std::uint32_t lastYiaddr() const { return checks::get32(bridge.last(), 14 + 20 + 8 + 16); }
    void discover(const fb::Mac &mac) {
        feed(fb::dhcpClientFrame(mac, fb::DhcpMessage(1, 7, mac).messageType(1).end()));
    }
    void request(const fb::Mac &mac, std::uint32_t address, std::uint32_t server) {
        feed(fb::dhcpClientFrame(mac, fb::DhcpMessage(1, 7, mac)
                                          .messageType(3)
                                          .requestedAddress(address)
                                          .serverId(server)
                                          .end()));
    }
    // A station answers the service's request for `address`.
    void answer(const fb::Mac &mac, std::uint32_t address, std::uint32_t server) {
        feed(fb::ethernet(fb::kServerMac, mac, fb::kTypeARP,
                          fb::arp(2, mac, address, fb::kServerMac, server)));
    }

    std::size_t seen = 0;
};
