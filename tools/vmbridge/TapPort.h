#pragma once

#include "SwitchPort.h"

#include <string>

namespace vmbridge {

class Switch;

// A Linux TAP interface joined to the switch: frames the kernel sends out of
// the interface enter the switch, frames the switch delivers are written to
// it and appear as received on the interface. The interface is not
// persistent, so it vanishes when the bridge closes it or dies.
class TapPort : public SwitchPort {
public:
    explicit TapPort(std::string name) : name_(std::move(name)) {}
    TapPort(const TapPort &) = delete;
    TapPort &operator=(const TapPort &) = delete;
    ~TapPort() override;

    // Creates the interface (left down, without address). Returns false with
    // errno set on failure.
    bool Open();
    int fd() const { return fd_; }
    // Reads every frame waiting on the interface into the switch.
    void Drain(Switch &bridge);

    void Deliver(std::span<const std::uint8_t> frame) override;
    std::string Describe() const override { return "tap " + name_; }

private:
    std::string name_;
    int fd_ = -1;
};

} // namespace vmbridge
