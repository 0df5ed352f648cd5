#pragma once

// Helpers shared by the frame stack tests: recording upper layers, a failing
// allocator, a log collector and a fully built stack over a capturing bridge.

#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CUDPProtocol.h"
#include "CapturingLower.h"
#include "FailingAlloc.h"
#include "FrameBuilder.h"
#include "Log.h"
#include "Memory.h"
#include "Packet.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace nettest {

// An upper layer that records what reaches it and, when asked, logs its
// Release into a shared list (to see destruction order) and deletes itself.
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

class LogLines {
public:
    LogLines() {
        lines().clear();
        previous_ = setLogSink(&LogLines::sink);
    }
    ~LogLines() { setLogSink(previous_); }
    LogLines(const LogLines &) = delete;
    LogLines &operator=(const LogLines &) = delete;

    static std::vector<std::pair<int, std::string>> &lines() {
        static std::vector<std::pair<int, std::string>> all;
        return all;
    }

private:
    static void sink(int priority, const char *message) { lines().emplace_back(priority, message); }
    LogSink previous_;
};

inline constexpr std::uint32_t kOwnIp = fb::ip(10, 0, 0, 1);
inline constexpr std::uint32_t kMask = fb::ip(255, 255, 255, 0);
inline constexpr fb::Mac kGuestMac{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
inline constexpr std::uint32_t kGuestIp = fb::ip(10, 0, 0, 77);

// The stack as the service builds it, over a capturing bridge.
struct Stack {
    explicit Stack(std::uint32_t own = kOwnIp, std::uint32_t mask = kMask) {
        eth = new CEthProtocol(&bridge);
        eth->SetMac(fb::kServerMac.data());
        ip = new CIPProtocol(eth, 1);
        ip->SetAddress(own, mask);
        udp = new CUDPProtocol(ip, 1);
    }
    ~Stack() { eth->Release(); }
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;

    std::int32_t feed(const fb::Bytes &frame) {
        return eth->ReceiveFrame(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }

    CapturingLower bridge; // declared first: outlives the layers over it
    CEthProtocol *eth;
    CIPProtocol *ip;
    CUDPProtocol *udp;
};

inline Packet *makePacket(const fb::Bytes &bytes) {
    return PacketCreate(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

} // namespace nettest
