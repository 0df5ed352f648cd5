#pragma once

#include "DhcpFrame.h"
#include "Link.h"

#include <csignal>
#include <cstdint>

// The link's own limit: answers every DHCPDISCOVER with a DHCPOFFER and
// every DHCPREQUEST with a DHCPACK from one canned frame, patching in only
// what ties the answer to its request. It keeps no state, so what it costs
// per frame is the cost of the path itself.
struct ResponderConfig {
    MacAddr serverMac{};
    std::uint32_t serverAddress = 0;
    std::uint32_t subnetMask = 0;
    // Guest with hardware address ..:a:b:c gets poolBase + a.b.c: distinct
    // guests of one run get distinct addresses.
    std::uint32_t poolBase = 0;
    std::uint32_t leaseTime = 3600;
    double durationS = 0; // 0: until stopped
};

struct ResponderCounters {
    std::uint64_t framesRead = 0;
    std::uint64_t offers = 0;
    std::uint64_t acks = 0;
    std::uint64_t ignored = 0;
    std::uint64_t sendErrors = 0;
};

class CannedReply {
public:
    explicit CannedReply(const ResponderConfig &config);
    // The reply to a request, or 0 when the request gets none; the frame
    // stays valid until the next call.
    std::size_t Answer(const DhcpView &request, const std::uint8_t *&frame);
    static std::uint32_t AddressFor(std::uint32_t poolBase, const MacAddr &mac);

private:
    ResponderConfig config_;
    std::uint8_t frame_[kMaxFrameSize]{};
    std::size_t length_ = 0;
};

ResponderCounters runResponder(Link &link, const ResponderConfig &config,
                               const volatile std::sig_atomic_t &stop);
