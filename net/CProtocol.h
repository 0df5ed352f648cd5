#pragma once

#include "Packet.h"
#include "Status.h"

#include <cstdint>

// A layer of the frame stack. Frames go up through Receive (data at this
// layer's header) and down through each layer's own send operation.
//
// A layer known only as a CProtocol is ended by Release(), never deleted
// through this pointer: the destructor is protected and not virtual, and each
// concrete layer declares its own virtual destructor after these operations.
// See Packet.h for who owns and frees a packet.
// The attach flag of the layers' constructors: a layer built with kAttach
// registers itself in the table of the layer below, which releases it in
// turn; a layer built with any other value stands alone and is driven by hand.
inline constexpr int kAttach = 1;

class CProtocol {
public:
    virtual void Release() = 0;
    virtual std::int32_t Send(Packet *packet) = 0;
    virtual std::int32_t Receive(Packet *packet) = 0;

protected:
    CProtocol() = default;
    CProtocol(const CProtocol &) = default;
    CProtocol &operator=(const CProtocol &) = default;
    ~CProtocol() = default;
};
