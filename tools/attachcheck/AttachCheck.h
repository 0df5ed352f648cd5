#pragma once

#include "BridgeAttach.h"

#include <cstddef>
#include <cstdint>

namespace vmbridge {

// What a bridge knows about the descriptor and itself when an attach arrives.
struct AttachState {
    bool alreadyAttached = false;
    std::size_t attachedPorts = 0;
    std::size_t portLimit = 0;
};

// The driver's verdict on an attach request, in the driver's order: a record
// of the wrong size, an empty or unterminated name (byte 15 not 0), or a
// group or all-zero hardware address is EINVAL; a descriptor attached already
// is EISCONN; a full bridge is ENOSPC; 0 accepts. A pure function of its
// arguments, shared by every stand-in bridge (and a fuzz target).
int checkAttachRecord(const std::uint8_t *record, std::size_t size, const AttachState &state);

} // namespace vmbridge
