#include "HeldDiscovers.h"

#include "DhcpMessage.h"

#include <cstring>

bool HeldDiscovers::Keep(const std::uint8_t *message, std::uint32_t length) {
    if (length < dhcp::kFixedSize || length > kMaxMessage) {
        return false;
    }
    std::size_t n = 0;
    while (n < count_ && std::memcmp(slots_[n].bytes + dhcp::kChaddr, message + dhcp::kChaddr,
                                     dhcp::kHwAddrSize) != 0) {
        ++n;
    }
    if (n == count_) {
        if (count_ == kCapacity) {
            return false;
        }
        ++count_;
    }
    slots_[n].length = length;
    std::memcpy(slots_[n].bytes, message, length);
    return true;
}
