#pragma once

#include "CProtocol.h"

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>

class CEthProtocol;

// The attach request handed to the bridge driver.
namespace bridge {
inline constexpr char kDevicePath[] = "/dev/vm-bridge";
inline constexpr std::size_t kPortNameSize = 16;
inline constexpr std::size_t kPortName = 0;
inline constexpr std::size_t kHwAddr = 16;
inline constexpr std::size_t kRequestSize = 22;
inline constexpr std::size_t kReceiveBufferSize = 2048;
} // namespace bridge

// 22 bytes: port name (at most 15 characters, NUL-padded, byte 15 always 0),
// then the port's hardware address in wire order.
struct BridgePortRequest {
    char name[bridge::kPortNameSize];
    std::uint8_t hwAddr[6];
};
static_assert(sizeof(BridgePortRequest) == bridge::kRequestSize);

// The record for a port name (at most its first 15 characters are kept; a
// null name counts as empty) and a 6-byte hardware address (null: zeros).
BridgePortRequest makeBridgePortRequest(const char *portName, const std::uint8_t *hwAddr);

// _IOW('n', 0x10, BridgePortRequest)
inline constexpr unsigned long BRIDGE_IOC_ATTACH_PORT = 0x40166E10UL;
static_assert(BRIDGE_IOC_ATTACH_PORT == _IOW('n', 0x10, BridgePortRequest));

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

private:
    std::uint8_t *buffer_ = nullptr;
    int fd_ = -1;
};
