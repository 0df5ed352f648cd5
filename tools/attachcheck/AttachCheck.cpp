#include "AttachCheck.h"

#include <algorithm>
#include <cerrno>

namespace vmbridge {

int checkAttachRecord(const std::uint8_t *record, std::size_t size, const AttachState &state) {
    if (record == nullptr || size != ::bridge::kRequestSize) {
        return EINVAL;
    }
    const std::uint8_t *name = record + ::bridge::kPortName;
    const std::uint8_t *address = record + ::bridge::kHwAddr;
    // The name is a C string inside its field: not empty and terminated.
    if (name[0] == 0 || name[::bridge::kPortNameSize - 1] != 0) {
        return EINVAL;
    }
    // A port's own address must be a station address.
    const bool zero = std::all_of(address, address + ::bridge::kHwAddrSize,
                                  [](std::uint8_t b) { return b == 0; });
    if (zero || (address[0] & 1U) != 0) {
        return EINVAL;
    }
    if (state.alreadyAttached) {
        return EISCONN;
    }
    if (state.attachedPorts >= state.portLimit) {
        return ENOSPC;
    }
    return 0;
}

} // namespace vmbridge
