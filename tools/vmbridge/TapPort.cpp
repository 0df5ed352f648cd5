#include "TapPort.h"

#include "Switch.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vmbridge {

namespace {
constexpr std::size_t kMaxFrame = 65535;
}

TapPort::~TapPort() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool TapPort::Open() {
    if (name_.empty() || name_.size() >= IFNAMSIZ) {
        errno = EINVAL;
        return false;
    }
    fd_ = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name_.data(), name_.size());
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (ioctl(fd_, TUNSETIFF, &request) < 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        errno = error;
        return false;
    }
    return true;
}

void TapPort::Drain(Switch &bridge) {
    static std::array<std::uint8_t, kMaxFrame> buffer;
    for (;;) {
        const ssize_t count = read(fd_, buffer.data(), buffer.size());
        if (count < 0) {
            return; // EAGAIN: drained; other errors: the interface is going away
        }
        bridge.Forward(*this, std::span(buffer.data(), static_cast<std::size_t>(count)));
    }
}

void TapPort::Deliver(std::span<const std::uint8_t> frame) {
    // The kernel refuses frames while the interface is down (EIO) and drops
    // them when its queue is full; either way the frame is lost, as on a wire.
    if (write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        ++drops;
    }
}

} // namespace vmbridge
