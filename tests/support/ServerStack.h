#pragma once

// The stack exactly as the service assembles it: the frame layers of
// LayerStack with the DHCP server over UDP, the pool from scope start + 2,
// and the stations the ARP responder hears taught to the lease table, as the
// service's census does.

#include "ArpListener.h"
#include "CARPProtocol.h"
#include "CDHCPProtocol.h"
#include "LayerStack.h"

#include <cstdint>

struct ServerStack : LayerStack {
    ServerStack(std::uint32_t scopeStart, std::uint32_t scopeEnd, std::uint32_t mask)
        : LayerStack(scopeStart, mask) {
        dhcp = new CDHCPProtocol(udp, 1);
        dhcp->InitScope(scopeStart + 2, scopeEnd, mask);
        learner.dhcp = dhcp;
        ip->Arp()->SetListener(&learner);
    }

    struct Learner : ArpListener {
        void Heard(std::uint32_t address, const std::uint8_t *hwAddr) override {
            dhcp->LearnHolder(hwAddr, address);
        }
        virtual ~Learner() = default;
        CDHCPProtocol *dhcp = nullptr;
    };

    CDHCPProtocol *dhcp;
    Learner learner;
};
