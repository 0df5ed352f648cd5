#include "DevicePort.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace vmbridge {

DevicePort::~DevicePort() {
    FailParked(EBADF);
}

void DevicePort::Attach(const std::string &name, const std::array<std::uint8_t, 6> &address) {
    attached_ = true;
    name_ = name;
    address_ = address;
}

std::string DevicePort::Describe() const {
    char text[64];
    std::snprintf(text, sizeof text, "port %s %02x:%02x:%02x:%02x:%02x:%02x", name_.c_str(),
                  address_[0], address_[1], address_[2], address_[3], address_[4], address_[5]);
    return text;
}

void DevicePort::Read(fuse_req_t req, std::size_t size, bool nonBlocking) {
    if (!queue_.empty()) {
        // A frame longer than the reader's buffer is cut; the rest is lost,
        // as with a datagram socket.
        const std::vector<std::uint8_t> &frame = queue_.front();
        fuse_reply_buf(req, reinterpret_cast<const char *>(frame.data()),
                       std::min(size, frame.size()));
        queue_.pop_front();
        return;
    }
    if (nonBlocking) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    // Registering a callback on a request that is already interrupted makes
    // the library call it while holding the request's lock, and replying
    // there frees the request under that lock: look first.
    if (fuse_req_interrupted(req) != 0) {
        ++interrupts;
        fuse_reply_err(req, EINTR);
        return;
    }
    parked_.push_back({req, size});
    fuse_req_interrupt_func(req, &DevicePort::OnInterrupt, this);
}

void DevicePort::OnInterrupt(fuse_req_t req, void *data) {
    auto *port = static_cast<DevicePort *>(data);
    auto parked = std::find_if(port->parked_.begin(), port->parked_.end(),
                               [req](const ParkedRead &p) { return p.req == req; });
    if (parked == port->parked_.end()) {
        return;
    }
    port->parked_.erase(parked);
    ++port->interrupts;
    fuse_reply_err(req, EINTR);
}

void DevicePort::FailParked(int error) {
    while (!parked_.empty()) {
        fuse_req_t req = parked_.front().req;
        parked_.pop_front();
        fuse_reply_err(req, error);
    }
}

void DevicePort::Deliver(std::span<const std::uint8_t> frame) {
    if (!parked_.empty()) {
        const ParkedRead reader = parked_.front();
        parked_.pop_front();
        fuse_reply_buf(reader.req, reinterpret_cast<const char *>(frame.data()),
                       std::min(reader.size, frame.size()));
        return;
    }
    if (queue_.size() >= queueLimit_) {
        ++drops; // tail drop: the frames already waiting keep their order
        return;
    }
    queue_.emplace_back(frame.begin(), frame.end());
}

} // namespace vmbridge
