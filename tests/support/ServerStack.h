#pragma once

// The stack as the service builds it (buildServiceLayers) over the capturing
// stand-in for the bridge port of LayerStack, with the stations the ARP
// responder hears taught to the lease table, as the service's census does.

#include "ArpListener.h"
#include "CARPProtocol.h"
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

    ServiceLayers layers{};
    CDHCPProtocol *dhcp;
    Learner learner;
};
