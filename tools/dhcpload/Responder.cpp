#include "Responder.h"

#include "Clock.h"

#include <cstring>
#include <poll.h>

using namespace dhcpload::wire;

namespace {

constexpr std::size_t kDhcpStart = eth::kHeaderSize + ipv4::kHeaderSize + udp::kHeaderSize;
// The canned frame's option 53 is the first option: code, length, value.
constexpr std::size_t kTypeValue = kDhcpStart + dhcp::kOptions + 2;

} // namespace

CannedReply::CannedReply(const ResponderConfig &config) : config_(config) {
    ServerMessage message;
    message.serverMac = config.serverMac;
    message.serverId = config.serverAddress;
    message.subnetMask = config.subnetMask;
    message.leaseTime = config.leaseTime;
    length_ = buildServerFrame(message, frame_, sizeof frame_);
}

std::uint32_t CannedReply::AddressFor(std::uint32_t poolBase, const MacAddr &mac) {
    return poolBase + ((std::uint32_t{mac[3]} << 16) | (std::uint32_t{mac[4]} << 8) | mac[5]);
}

std::size_t CannedReply::Answer(const DhcpView &request, const std::uint8_t *&frame) {
    if (request.op != dhcp::kBootRequest) {
        return 0;
    }
    if (request.type == dhcp::kDiscover) {
        frame_[kTypeValue] = dhcp::kOffer;
    } else if (request.type == dhcp::kRequest) {
        frame_[kTypeValue] = dhcp::kAck;
    } else {
        return 0;
    }
    std::uint8_t *m = frame_ + kDhcpStart;
    store32(m, dhcp::kXid, request.xid);
    std::memcpy(m + dhcp::kChaddr, request.chaddr.data(), eth::kAddrSize);
    store32(m, dhcp::kYiaddr, AddressFor(config_.poolBase, request.chaddr));
    finishChecksums(frame_, length_);
    frame = frame_;
    return length_;
}

namespace {

// Answers every frame it can read; false when the link failed.
bool answerWaiting(Link &link, CannedReply &canned, ResponderCounters &counters,
                   std::uint8_t *receive, bool once) {
    for (;;) {
        const long count = link.Read(receive, kMaxFrameSize);
        if (count <= 0) {
            return count == 0;
        }
        ++counters.framesRead;
        DhcpView request;
        const std::uint8_t *reply = nullptr;
        std::size_t length = 0;
        if (parseDhcpFrame(receive, static_cast<std::size_t>(count), dhcp::kServerPort, request,
                           !link.ChecksumPending()) == ParseStatus::kOk) {
            length = canned.Answer(request, reply);
        }
        if (length == 0) {
            ++counters.ignored;
        } else {
            ++(request.type == dhcp::kDiscover ? counters.offers : counters.acks);
            if (!link.Write(reply, length)) {
                ++counters.sendErrors;
            }
        }
        if (once) {
            return true;
        }
    }
}

} // namespace

ResponderCounters runResponder(Link &link, const ResponderConfig &config,
                               const volatile std::sig_atomic_t &stop) {
    CannedReply canned(config);
    ResponderCounters counters;
    std::uint8_t receive[kMaxFrameSize];
    const std::uint64_t start = monotonicNs();
    const auto limitNs = static_cast<std::uint64_t>(config.durationS * 1e9);
    const auto running = [&] {
        return stop == 0 && (limitNs == 0 || monotonicNs() - start < limitNs);
    };
    if (link.Fd() < 0) {
        // A blocking link: one read, one answer, as a server on it would;
        // a signal ends the read so that the stop flag is seen.
        while (running() && answerWaiting(link, canned, counters, receive, true)) {
        }
        return counters;
    }
    pollfd waitFor{link.Fd(), POLLIN, 0};
    while (running()) {
        const timespec timeout{0, 100000000}; // look at the stop flag now and then
        const int ready = ppoll(&waitFor, 1, &timeout, nullptr);
        if (ready <= 0) {
            continue;
        }
        if ((waitFor.revents & (POLLERR | POLLNVAL)) != 0 ||
            !answerWaiting(link, canned, counters, receive, false)) {
            break;
        }
    }
    return counters;
}
