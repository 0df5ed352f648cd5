#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vmbridge {

// One port of the learning switch: a descriptor of the bridge device or a
// TAP interface. The switch hands every frame it forwards to Deliver; a port
// that cannot take it (full queue, interface down) drops it and counts the drop.
class SwitchPort {
public:
    virtual ~SwitchPort() = default;

    virtual void Deliver(std::span<const std::uint8_t> frame) = 0;
    virtual std::string Describe() const = 0;

    int id = -1;
    std::uint64_t framesIn = 0;
    std::uint64_t framesOut = 0;
    std::uint64_t drops = 0;
};

} // namespace vmbridge
