// Attach records as any process that opens the bridge device may send them,
// through the check both bridges share (the stand-in over FUSE and the
// kernel-path one), and the ports they make into the stand-in's learning
// switch.
//
// Input: records of a 1-byte length and that many bytes (cut short at the end
// of the input), at most kMaxRecords. Each record goes to a fresh descriptor;
// the bridge holds kPortLimit ports, and a record whose first name byte is
// odd arrives on a descriptor that is attached already.
//
// Checked besides the sanitizers: the verdict is what a reading of the rule
// written out here gives (EINVAL unless 22 bytes with a name that is not
// empty and ends inside its 16-byte field and a station address that is not
// zero; then EISCONN for an attached descriptor, ENOSPC for a full bridge);
// and once a port is attached, a frame sent to its address reaches that port
// alone.

#include "AttachCheck.h"
#include "Switch.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxRecords = 8;
constexpr std::size_t kPortLimit = 4;

struct Port : vmbridge::SwitchPort {
    void Deliver(std::span<const std::uint8_t>) override { ++delivered; }
    std::string Describe() const override { return "fuzz port"; }
    int delivered = 0;
};

[[noreturn]] void fail(const char *what, std::size_t record) {
    std::fprintf(stderr, "record %zu: %s\n", record, what);
    std::abort();
}

// The rule, read independently of the bridges' code.
int expectedVerdict(const std::uint8_t *r, std::size_t size, bool attached, std::size_t ports) {
    if (size != 22) {
        return EINVAL;
    }
    bool terminated = false;
    for (std::size_t i = 0; i < 16; ++i) {
        terminated = terminated || r[i] == 0;
    }
    bool zeroAddress = true;
    for (std::size_t i = 16; i < 22; ++i) {
        zeroAddress = zeroAddress && r[i] == 0;
    }
    if (r[0] == 0 || r[15] != 0 || !terminated || zeroAddress || (r[16] & 1) != 0) {
        return EINVAL;
    }
    if (attached) {
        return EISCONN;
    }
    return ports >= kPortLimit ? ENOSPC : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vmbridge::Switch bridge(nullptr);
    // The port that sends the test frames, attached as the service would be.
    Port sender;
    const std::array<std::uint8_t, 6> senderAddress{0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0};
    bridge.AddPort(sender);
    bridge.Learn(sender, senderAddress);

    std::vector<std::unique_ptr<Port>> ports;
    std::size_t at = 0;
    for (std::size_t n = 0; n < kMaxRecords && at < size; ++n) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        // A copy of exactly the record's size, so that ASan sees any read past it.
        const std::vector<std::uint8_t> record(data + at + 1, data + at + 1 + length);
        at += 1 + length;

        const bool attached = !record.empty() && (record[0] & 1) != 0;
        const vmbridge::AttachState state{attached, ports.size(), kPortLimit};
        const int verdict = vmbridge::checkAttachRecord(record.data(), record.size(), state);
        if (verdict != expectedVerdict(record.data(), record.size(), attached, ports.size())) {
            fail("the verdict differs from the rule", n);
        }
        if (verdict != 0) {
            continue;
        }
        // Attached as the stand-in bridge attaches a port.
        std::array<std::uint8_t, 6> address{};
        std::copy(record.begin() + 16, record.end(), address.begin());

        auto port = std::make_unique<Port>();
        bridge.AddPort(*port);
        bridge.Learn(*port, address);
        std::vector<std::uint8_t> frame(60, 0);
        std::copy(address.begin(), address.end(), frame.begin());
        std::copy(senderAddress.begin(), senderAddress.end(), frame.begin() + 6);
        bridge.Forward(sender, frame);
        const bool own = address == senderAddress;
        if (port->delivered != (own ? 0 : 1)) {
            fail("a frame to the attached address did not reach its port once", n);
        }
        for (const auto &other : ports) {
            if (other->delivered != 0) {
                fail("a frame to the attached address reached another port", n);
            }
        }
        port->delivered = 0;
        ports.push_back(std::move(port));
    }
    return 0;
}
