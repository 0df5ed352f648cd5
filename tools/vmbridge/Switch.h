#pragma once

#include "SwitchPort.h"

#include <cstdint>
#include <map>
#include <span>

namespace vmbridge {

class PcapWriter;

namespace ether {
inline constexpr std::size_t kDestination = 0, kSource = 6, kAddressSize = 6, kHeaderSize = 14;
}

// A learning bridge: learns each source address on the port it arrived on,
// forwards known unicast to that port alone, and floods broadcast, multicast
// and unknown unicast to every other port. It never sends a frame back to
// the port it came from.
class Switch {
public:
    explicit Switch(PcapWriter *pcap) : pcap_(pcap) {}

    // Gives the port its id; the switch does not own it.
    void AddPort(SwitchPort &port);
    // Forgets the port and every address learnt on it.
    void RemovePort(SwitchPort &port);
    // Binds a station address to a port before it has sent anything, as a
    // port's own address is known from the moment it attaches.
    void Learn(const SwitchPort &port, std::span<const std::uint8_t, 6> address);
    void Forward(SwitchPort &from, std::span<const std::uint8_t> frame);

    std::uint64_t framesSwitched() const { return framesSwitched_; }
    std::uint64_t framesFlooded() const { return framesFlooded_; }
    std::uint64_t framesRuntDropped() const { return framesRunt_; }
    const std::map<int, SwitchPort *> &ports() const { return ports_; }

private:
    static std::uint64_t LoadAddress(const std::uint8_t *p);

    PcapWriter *pcap_;
    int nextId_ = 1;
    std::map<int, SwitchPort *> ports_;
    std::map<std::uint64_t, int> addressTable_;
    std::uint64_t framesSwitched_ = 0;
    std::uint64_t framesFlooded_ = 0;
    std::uint64_t framesRunt_ = 0;
};

} // namespace vmbridge
