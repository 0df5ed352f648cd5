#pragma once

#include <cstdint>
#include <linux/filter.h>
#include <vector>

namespace kbridge {

// The seccomp filter a bridge port's process runs under. Only ioctl is
// looked at, and of its request only the low 32 bits (the kernel passes the
// request as an unsigned int to drivers, whatever the upper half holds):
//   - the attach request goes to the supervisor (user notification);
//   - tun's own requests (type 'T', numbers 200 and up) fail with ENOTTY, so
//     that the port cannot configure its tun file itself;
//   - everything else, and every other system call, is allowed.
// Native ioctl and, where the kernel has one, the compatibility ABI's are
// both covered; a system call of an architecture the filter does not know is
// allowed.
std::vector<sock_filter> buildNotifyFilter();

// Offsets into struct seccomp_data, the input the filter sees.
namespace seccomp_input {
inline constexpr std::uint32_t kNr = 0, kArch = 4, kArgs = 16, kArgSize = 8;
// The low 32-bit half of argument N.
constexpr std::uint32_t argLow(std::uint32_t n) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return kArgs + n * kArgSize + 4;
#else
    return kArgs + n * kArgSize;
#endif
}
} // namespace seccomp_input

// tun's requests: type 'T', numbers from 200 (TUNSETNOCSUM) on.
inline constexpr std::uint32_t kTunRequestFirst = ('T' << 8) | 200;
inline constexpr std::uint32_t kTunRequestLast = ('T' << 8) | 0xFF;

// One (architecture, ioctl number) pair the filter traps.
struct IoctlAbi {
    std::uint32_t arch;
    std::uint32_t nr;
};
std::vector<IoctlAbi> trappedAbis();

} // namespace kbridge
