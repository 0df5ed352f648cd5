#include "AddressCensus.h"

#include "CARPProtocol.h"
#include "CDHCPProtocol.h"

namespace {
constexpr std::int64_t kNsPerSecond = 1000LL * 1000 * 1000;
} // namespace

AddressCensus::AddressCensus(CARPProtocol &arp, CDHCPProtocol &dhcp) : arp_(arp), dhcp_(dhcp) {}

void AddressCensus::Start(std::int64_t nowNs) {
    const ipv4::HostRange usable = dhcp_.UsablePool();
    running_ = true;
    startNs_ = nowNs;
    lastSentNs_ = nowNs;
    next_ = usable.first;
    last_ = usable.last;
    swept_ = usable.last < usable.first;
    asked_ = 0;
    learned_ = 0;
    dhcp_.HoldNewGuests(true);
}

bool AddressCensus::Pump(std::int64_t nowNs) {
    if (!running_) {
        return false;
    }
    if (!swept_) {
        // The pace counts from the start, so a pass that came late catches
        // up, but never by more than one burst at a time.
        const std::int64_t elapsed = nowNs > startNs_ ? nowNs - startNs_ : 0;
        const std::int64_t due = elapsed * kRequestsPerSecond / kNsPerSecond + kBurst;
        std::int64_t allowed = due - static_cast<std::int64_t>(asked_);
        if (allowed > kBurst) {
            allowed = kBurst;
        }
        for (; allowed > 0 && !swept_; --allowed) {
            arp_.SendRequest(next_);
            ++asked_;
            lastSentNs_ = nowNs;
            swept_ = next_ == last_;
            ++next_;
        }
        return true;
    }
    if (nowNs - lastSentNs_ < kReplyWaitNs) {
        return true;
    }
    running_ = false;
    dhcp_.HoldNewGuests(false);
    return false;
}

void AddressCensus::Heard(std::uint32_t address, const std::uint8_t *hwAddr) {
    if (dhcp_.LearnHolder(hwAddr, address) && running_) {
        ++learned_;
    }
}
