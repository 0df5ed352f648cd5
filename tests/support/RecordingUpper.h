#pragma once

// An upper layer that records what reaches it and, when asked, logs its
// Release into a shared list (to see destruction order) and deletes itself;
// and a packet made from test bytes, for tests that drive one layer by hand.

#include "CProtocol.h"
#include "FrameBuilder.h"
#include "Packet.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class RecordingUpper : public CProtocol {
public:
    explicit RecordingUpper(std::vector<std::string> *order = nullptr, std::string name = {},
                            bool deleteOnRelease = false)
        : order_(order), name_(std::move(name)), deleteOnRelease_(deleteOnRelease) {}

    void Release() override {
        ++releases;
        if (order_ != nullptr) {
            order_->push_back(name_);
        }
        if (deleteOnRelease_) {
            delete this;
        }
    }
    std::int32_t Send(Packet *) override { return PROTO_NOT_HANDLED; }
    std::int32_t Receive(Packet *packet) override {
        ++receives;
        length = packet->length;
        payload.assign(packet->data, packet->data + packet->length);
        before.assign(packet->data - context, packet->data);
        return status;
    }
    virtual ~RecordingUpper() = default;

    std::int32_t status = PROTO_OK; // what Receive answers
    std::size_t context = 0;        // bytes before data to keep (the headers below)
    int receives = 0;
    int releases = 0;
    std::uint32_t length = 0;
    fb::Bytes payload;
    fb::Bytes before;

private:
    std::vector<std::string> *order_;
    std::string name_;
    bool deleteOnRelease_;
};

inline Packet *makePacket(const fb::Bytes &bytes) {
    return PacketCreate(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}
