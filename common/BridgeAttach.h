#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>

// The bridge device and its attach request, as the driver defines them: one
// place for the daemon's port, the stand-in bridge that serves the device and
// the load tool that attaches to it.
namespace bridge {
inline constexpr char kDevicePath[] = "/dev/vm-bridge";
// The attach record: the port name (a C string, NUL-padded, byte 15 always
// 0), then the port's hardware address in wire order.
inline constexpr std::size_t kPortName = 0;
inline constexpr std::size_t kPortNameSize = 16;
inline constexpr std::size_t kHwAddr = 16;
inline constexpr std::size_t kHwAddrSize = 6;
inline constexpr std::size_t kRequestSize = 22;
// Large enough for any frame one read of the device yields.
inline constexpr std::size_t kReceiveBufferSize = 2048;
} // namespace bridge

struct BridgePortRequest {
    char name[bridge::kPortNameSize];
    std::uint8_t hwAddr[bridge::kHwAddrSize];
};
static_assert(sizeof(BridgePortRequest) == bridge::kRequestSize);
static_assert(offsetof(BridgePortRequest, hwAddr) == bridge::kHwAddr);

// The record for a port name (at most its first 15 characters are kept; a
// null name counts as empty) and a 6-byte hardware address (null: zeros).
BridgePortRequest makeBridgePortRequest(const char *portName, const std::uint8_t *hwAddr);

// _IOW('n', 0x10, BridgePortRequest)
inline constexpr unsigned long BRIDGE_IOC_ATTACH_PORT = 0x40166E10UL;
static_assert(BRIDGE_IOC_ATTACH_PORT == _IOW('n', 0x10, BridgePortRequest));
