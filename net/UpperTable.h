#pragma once

#include "CProtocol.h"

#include <array>
#include <cstddef>
#include <cstdint>

// The upper-layer table of a demultiplexing layer: one slot per index
// (EtherType, protocol number, port), looked up directly. The layers differ
// only in what they answer for an index beyond the table and for a null
// layer, so those answers are parameters.
template <std::size_t Slots> class UpperTable {
public:
    struct Codes {
        std::int32_t attachOutOfRange;
        std::int32_t attachNull; // PROTO_OK: accepted, the slot stays empty
        std::int32_t detachOutOfRange;
    };

    explicit constexpr UpperTable(Codes codes) : codes_(codes) {}

    std::int32_t Attach(CProtocol *upper, std::uint32_t index) {
        if (index >= Slots) {
            return codes_.attachOutOfRange;
        }
        if (upper == nullptr) {
            return codes_.attachNull;
        }
        if (slots_[index] != nullptr) {
            return PROTO_E_BUSY;
        }
        slots_[index] = upper;
        return PROTO_OK;
    }

    std::int32_t Detach(std::uint32_t index) {
        if (index >= Slots) {
            return codes_.detachOutOfRange;
        }
        CProtocol *upper = slots_[index];
        if (upper == nullptr) {
            return PROTO_E_NOENT;
        }
        slots_[index] = nullptr;
        upper->Release();
        return PROTO_OK;
    }

    // Releases every registered layer in ascending index order.
    void DetachAll() {
        for (std::size_t i = 0; i < Slots; ++i) {
            if (slots_[i] != nullptr) {
                Detach(static_cast<std::uint32_t>(i));
            }
        }
    }

    CProtocol *At(std::uint32_t index) const { return index < Slots ? slots_[index] : nullptr; }

private:
    Codes codes_;
    std::array<CProtocol *, Slots> slots_{};
};
