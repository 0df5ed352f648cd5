#include "LoadRunner.h"

#include "Clock.h"
#include "DhcpFrame.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <poll.h>
#include <unistd.h>

using namespace dhcpload::wire;

namespace {

constexpr std::uint64_t kNsPerSecond = 1000000000U;
constexpr std::uint64_t kProgressEveryNs = kNsPerSecond;
// Upper bound of one wait, so that the stop flag and the progress line are
// looked at even when nothing happens.
constexpr std::uint64_t kMaxWaitNs = 100000000U;

class Runner {
public:
    Runner(Link &link, const RunConfig &config)
        : link_(link), config_(config), book_(config.book) {}

    RunResult Run(const volatile std::sig_atomic_t &stop);

private:
    void Send(const ClientMessage &message);
    void Drain();
    void Progress(std::uint64_t now, bool last);

    Link &link_;
    RunConfig config_;
    ExchangeBook book_;
    LinkCounters counters_;
    bool linkFailed_ = false;
    std::uint64_t startNs_ = 0;
    std::uint64_t lastEndNs_ = 0;
    std::uint8_t frame_[kMaxFrameSize]{};
    std::uint8_t receive_[kMaxFrameSize]{};
    std::vector<ClientMessage> resend_;
};

void Runner::Send(const ClientMessage &message) {
    const std::size_t length = buildClientFrame(message, frame_, sizeof frame_);
    if (!link_.Write(frame_, length)) {
        ++counters_.sendErrors; // the timeout will send it again
    }
}

void Runner::Drain() {
    for (;;) {
        const long count = link_.Read(receive_, sizeof receive_);
        if (count == 0) {
            return;
        }
        if (count < 0) {
            linkFailed_ = true;
            return;
        }
        const std::uint64_t now = monotonicNs();
        ++counters_.framesRead;
        DhcpView view;
        switch (parseDhcpFrame(receive_, static_cast<std::size_t>(count), dhcp::kClientPort, view,
                               !link_.ChecksumPending())) {
        case ParseStatus::kOk: {
            ClientMessage next;
            const std::uint64_t completedBefore = book_.Counters().completed;
            if (book_.OnReply(view, now, next)) {
                Send(next);
            }
            if (book_.Counters().completed != completedBefore) {
                lastEndNs_ = now;
            }
            break;
        }
        case ParseStatus::kNotDhcp:
            ++counters_.framesIgnored;
            break;
        case ParseStatus::kTruncated:
            ++counters_.truncated;
            break;
        case ParseStatus::kBadChecksum:
            ++counters_.badChecksum;
            break;
        case ParseStatus::kMalformed:
            ++counters_.malformed;
            break;
        }
    }
}

void Runner::Progress(std::uint64_t now, bool last) {
    const BookCounters &c = book_.Counters();
    const double elapsed = static_cast<double>(now - startNs_) / kNsPerSecond;
    std::fprintf(stderr,
                 "dhcpload: %6.1f s  started %" PRIu64 "  completed %" PRIu64 "  in flight %zu  "
                 "%.0f/s  timeouts %" PRIu64 "  failed %" PRIu64 "%s",
                 elapsed, c.started, c.completed, book_.InFlight(),
                 elapsed > 0 ? static_cast<double>(c.completed) / elapsed : 0.0, c.timeouts,
                 c.failedTimeout + c.failedNak, last ? " (end)\n" : "\n");
}

RunResult Runner::Run(const volatile std::sig_atomic_t &stop) {
    const std::uint64_t interval =
        config_.rate > 0 ? static_cast<std::uint64_t>(kNsPerSecond / config_.rate) : 0;
    const std::uint64_t stopStartingAt =
        config_.durationS > 0 ? static_cast<std::uint64_t>(config_.durationS * kNsPerSecond)
                              : std::numeric_limits<std::uint64_t>::max();
    startNs_ = monotonicNs();
    lastEndNs_ = startNs_;
    std::uint64_t nextStart = startNs_;
    std::uint64_t nextProgress = startNs_ + kProgressEveryNs;
    bool interrupted = false;
    pollfd waitFor{link_.Fd(), POLLIN, 0};

    while (!book_.Finished() && !linkFailed_) {
        std::uint64_t now = monotonicNs();
        if (stop != 0 && !interrupted) {
            interrupted = true;
            book_.StopStarting();
        }
        if (now - startNs_ >= stopStartingAt) {
            book_.StopStarting();
        }
        while (book_.CanStart() && nextStart <= now) {
            Send(book_.Start(now));
            nextStart += interval;
        }
        // A server slower than the rate must not earn a burst later on.
        if (interval != 0 && !book_.CanStart() && nextStart < now) {
            nextStart = now;
        }
        if (interval == 0) {
            nextStart = now;
        }
        resend_.clear();
        book_.Expire(now, resend_);
        for (const ClientMessage &message : resend_) {
            Send(message);
        }
        if (config_.progress && now >= nextProgress) {
            Progress(now, false);
            nextProgress += kProgressEveryNs;
        }

        std::uint64_t wake = std::min(book_.NextDeadline(), now + kMaxWaitNs);
        if (book_.CanStart()) {
            wake = std::min(wake, nextStart);
        }
        const std::uint64_t waitNs = wake > now ? wake - now : 0;
        const timespec timeout{static_cast<time_t>(waitNs / kNsPerSecond),
                               static_cast<long>(waitNs % kNsPerSecond)};
        const int ready = ppoll(&waitFor, 1, &timeout, nullptr);
        if (ready > 0 && (waitFor.revents & (POLLERR | POLLNVAL)) != 0) {
            linkFailed_ = true;
        }
        if (ready > 0) {
            Drain();
        }
    }
    const std::uint64_t end = monotonicNs();
    if (config_.progress) {
        Progress(end, true);
    }

    RunResult result;
    result.link = link_.Describe();
    result.config = config_;
    result.elapsedS =
        static_cast<double>(std::max(lastEndNs_, startNs_ + 1) - startNs_) / kNsPerSecond;
    result.counters = book_.Counters();
    result.linkCounters = counters_;
    result.offerLatency = book_.OfferLatency().Summarize();
    result.ackLatency = book_.AckLatency().Summarize();
    result.duplicateExamples = book_.DuplicateExamples();
    result.linkFailed = linkFailed_;
    result.interrupted = interrupted;
    return result;
}

} // namespace

RunResult runLoad(Link &link, const RunConfig &config, const volatile std::sig_atomic_t &stop) {
    Runner runner(link, config);
    return runner.Run(stop);
}
