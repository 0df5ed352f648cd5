#include "ServiceLayers.h"

#include "AddressPlan.h"
#include "CDHCPProtocol.h"
#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"

ServiceLayers buildServiceLayers(CProtocol *port, std::uint32_t scopeStart, std::uint32_t scopeEnd,
                                 std::uint32_t scopeMask) {
    ServiceLayers layers{};
    layers.eth = new CEthProtocol(port);
    layers.eth->SetMac(kServiceMac);
    layers.ip = new CIPProtocol(layers.eth, kAttach);
    layers.udp = new CUDPProtocol(layers.ip, kAttach);
    layers.dhcp = new CDHCPProtocol(layers.udp, kAttach);
    applyScope(layers, scopeStart, scopeEnd, scopeMask);
    return layers;
}

std::int32_t applyScope(const ServiceLayers &layers, std::uint32_t scopeStart,
                        std::uint32_t scopeEnd, std::uint32_t scopeMask) {
    const std::int32_t status =
        layers.dhcp->InitScope(poolStartAddress(scopeStart), scopeEnd, scopeMask);
    layers.ip->SetAddress(scopeStart, scopeMask);
    return status;
}
