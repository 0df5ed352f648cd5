#include "Switch.h"

#include "PcapWriter.h"

#include <iterator>

namespace vmbridge {

std::uint64_t Switch::LoadAddress(const std::uint8_t *p) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < ether::kAddressSize; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

void Switch::AddPort(SwitchPort &port) {
    port.id = nextId_++;
    ports_[port.id] = &port;
}

void Switch::RemovePort(SwitchPort &port) {
    ports_.erase(port.id);
    std::erase_if(addressTable_, [&](const auto &entry) { return entry.second == port.id; });
}

void Switch::Learn(const SwitchPort &port, std::span<const std::uint8_t, 6> address) {
    addressTable_[LoadAddress(address.data())] = port.id;
}

void Switch::Forward(SwitchPort &from, std::span<const std::uint8_t> frame) {
    if (frame.size() < ether::kHeaderSize) {
        ++framesRunt_;
        return;
    }
    ++from.framesIn;
    ++framesSwitched_;
    if (pcap_ != nullptr) {
        pcap_->Write(frame);
    }

    const std::uint8_t *source = frame.data() + ether::kSource;
    const std::uint8_t *destination = frame.data() + ether::kDestination;
    // A group address (low bit of the first byte) is never a station's own,
    // so it is not learnt; it would otherwise capture all broadcast traffic.
    if ((source[0] & 1U) == 0) {
        addressTable_[LoadAddress(source)] = from.id;
    }

    if ((destination[0] & 1U) == 0) {
        auto known = addressTable_.find(LoadAddress(destination));
        if (known != addressTable_.end()) {
            if (known->second != from.id) {
                SwitchPort *to = ports_.at(known->second);
                ++to->framesOut;
                to->Deliver(frame);
            }
            return;
        }
    }

    ++framesFlooded_;
    for (auto &[id, port] : ports_) {
        if (id != from.id) {
            ++port->framesOut;
            port->Deliver(frame);
        }
    }
}

} // namespace vmbridge
