#pragma once

#include "CProtocol.h"

#include "BridgeAttach.h"

#include <cstdint>

class CEthProtocol;

// The daemon's port on the virtual-machine bridge: every read yields one
// whole frame, every write puts one whole frame on the bridge. Construction
// failures are logged and surface at the first ReceiveOne.
class CPhysProto : public CProtocol {
public:
    CPhysProto(const char *portName, const std::uint8_t *hwAddr,
               const char *devicePath = bridge::kDevicePath);

    // Test seam: adopts a descriptor that is already open and attached, for
    // example one end of a socketpair(AF_UNIX, SOCK_SEQPACKET), which keeps
    // frame boundaries as the bridge does. Allocates the receive buffer as
    // usual; the destructor closes the descriptor.
    struct AdoptDescriptor {
        int fd;
    };
    explicit CPhysProto(AdoptDescriptor adopt);

    void Release() override;
    std::int32_t Send(Packet *packet) override;
    std::int32_t Receive(Packet *packet) override;

    virtual ~CPhysProto();

    CPhysProto(const CPhysProto &) = delete;
    CPhysProto &operator=(const CPhysProto &) = delete;

    // One blocking read, handed to the Ethernet layer. PROTO_OK also when the
    // read was interrupted (EINTR) or had nothing (EAGAIN).
    std::int32_t ReceiveOne(CEthProtocol *eth);

    // Frames read from the bridge since the port was built.
    std::uint64_t FramesRead() const { return framesRead_; }

private:
    std::uint8_t *buffer_ = nullptr;
    int fd_ = -1;
    std::uint64_t framesRead_ = 0;
};
