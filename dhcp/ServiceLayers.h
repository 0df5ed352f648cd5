#pragma once

#include <cstdint>

class CProtocol;
class CEthProtocol;
class CIPProtocol;
class CUDPProtocol;
class CDHCPProtocol;

// The service hardware address: the bridge port's and the Ethernet layer's.
inline constexpr std::uint8_t kServiceMac[6] = {0x00, 0x01, 0x23, 0x45, 0xBE, 0xF0};

// The layers the service serves with, over its bridge port: Ethernet with
// the service hardware address, IPv4 with its ARP responder, UDP and the
// DHCP server. Each is built attached, so the Ethernet layer's release takes
// all of them down.
struct ServiceLayers {
    CEthProtocol *eth;
    CIPProtocol *ip;
    CUDPProtocol *udp;
    CDHCPProtocol *dhcp;
};

// Builds the layers over port (which stays the caller's) and applies the
// scope to them.
ServiceLayers buildServiceLayers(CProtocol *port, std::uint32_t scopeStart, std::uint32_t scopeEnd,
                                 std::uint32_t scopeMask);

// The scope at start and on every renewal: IPv4 answers at its start, the
// DHCP server's pool starts over (every lease is dropped) with the scope's
// guest addresses. Returns InitScope's status.
std::int32_t applyScope(const ServiceLayers &layers, std::uint32_t scopeStart,
                        std::uint32_t scopeEnd, std::uint32_t scopeMask);
