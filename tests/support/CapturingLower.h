#pragma once

// Stands in for the bridge port under the Ethernet layer: records a copy of
// every frame handed to Send (the bytes from data to data + length) and
// answers with a status the test chooses.

#include "CProtocol.h"

#include <cstdint>
#include <functional>
#include <vector>

class CapturingLower : public CProtocol {
public:
    using Frame = std::vector<std::uint8_t>;

    void Release() override { ++releases; }

    std::int32_t Send(Packet *packet) override {
        ++sendCalls;
        if (packet != nullptr && packet->data != nullptr) {
            frames.emplace_back(packet->data, packet->data + packet->length);
        } else {
            frames.emplace_back();
        }
        if (onSend) {
            onSend(packet);
        }
        return status;
    }

    std::int32_t Receive(Packet *) override { return PROTO_OK; }

    virtual ~CapturingLower() = default;

    const Frame &last() const { return frames.back(); }

    std::vector<Frame> frames;
    std::int32_t status = PROTO_OK; // what Send answers
    int sendCalls = 0;
    int releases = 0;
    std::function<void(Packet *)> onSend; // optional, runs after the copy
};
