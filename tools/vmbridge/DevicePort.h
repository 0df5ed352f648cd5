#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include "SwitchPort.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vmbridge {

// One open descriptor of the bridge device. It becomes a switch port when
// the attach request names it; from then on frames for it wait in a bounded
// queue until a read takes them, and a read that finds the queue empty is
// parked until a frame arrives or a signal interrupts the reader.
class DevicePort : public SwitchPort {
public:
    explicit DevicePort(std::size_t queueLimit) : queueLimit_(queueLimit) {}
    DevicePort(const DevicePort &) = delete;
    DevicePort &operator=(const DevicePort &) = delete;
    ~DevicePort() override;

    bool attached() const { return attached_; }
    void Attach(const std::string &name, const std::array<std::uint8_t, 6> &address);
    const std::array<std::uint8_t, 6> &address() const { return address_; }

    // Answers the read at once from the queue, or parks it.
    void Read(fuse_req_t req, std::size_t size, bool nonBlocking);
    // Answers every parked read with the error; used when the port or the
    // whole bridge goes away.
    void FailParked(int error);

    void Deliver(std::span<const std::uint8_t> frame) override;
    std::string Describe() const override;

    std::size_t queued() const { return queue_.size(); }
    std::uint64_t interrupts = 0;

private:
    struct ParkedRead {
        fuse_req_t req;
        std::size_t size;
    };
    static void OnInterrupt(fuse_req_t req, void *data);

    std::size_t queueLimit_;
    bool attached_ = false;
    std::string name_;
    std::array<std::uint8_t, 6> address_{};
    std::deque<std::vector<std::uint8_t>> queue_;
    std::deque<ParkedRead> parked_;
};

} // namespace vmbridge
