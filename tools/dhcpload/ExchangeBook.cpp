#include "ExchangeBook.h"

#include <algorithm>
#include <limits>

using namespace dhcpload::wire;

namespace {
constexpr std::size_t kMaxDuplicateExamples = 8;
} // namespace

ExchangeBook::ExchangeBook(const BookConfig &config) : config_(config) {
    if (config_.guests == 0) {
        config_.guests = 1;
    }
    // A guest plays one exchange at a time; exchanges start in order, so a
    // window no wider than the guest count keeps them apart.
    config_.window = std::clamp<std::uint32_t>(config_.window, 1, config_.guests);
    offerHeld_.assign(config_.guests, 0);
    ackHeld_.assign(config_.guests, 0);
    const auto expected =
        static_cast<std::size_t>(std::min<std::uint64_t>(config_.exchanges, 1U << 22));
    offerLatency_.Reserve(expected);
    ackLatency_.Reserve(expected);
    inFlight_.reserve(std::size_t{config_.window} * 2U);
}

MacAddr ExchangeBook::GuestMac(std::uint8_t seed, std::uint32_t index) {
    // Real guests' addresses are not consecutive, and servers that start
    // their address search at a hash of the hardware address behave very
    // differently on consecutive ones. Multiplying by an odd number modulo
    // 2^24 scatters the low 24 bits and still gives every index its own
    // address.
    constexpr std::uint32_t kLow24 = 0xFFFFFFU;
    const std::uint32_t scattered = (index & ~kLow24) | ((index * 0x9E3779U) & kLow24);
    MacAddr mac{0x02, seed, 0, 0, 0, 0}; // locally administered, unicast
    store32(mac.data(), 2, scattered);
    return mac;
}

bool ExchangeBook::CanStart() const {
    return started_ < config_.exchanges && inFlight_.size() < config_.window;
}

ClientMessage ExchangeBook::Start(std::uint64_t nowNs) {
    const auto xid = static_cast<std::uint32_t>(config_.xidBase + started_);
    Exchange exchange;
    exchange.guest = static_cast<std::uint32_t>(started_ % config_.guests);
    ++started_;
    ++counters_.started;
    auto [it, inserted] = inFlight_.emplace(xid, exchange);
    (void)inserted; // xids repeat only after 2^32 exchanges
    return Transmit(xid, it->second, nowNs);
}

ClientMessage ExchangeBook::Transmit(std::uint32_t xid, Exchange &exchange, std::uint64_t nowNs) {
    ++exchange.attempt;
    exchange.sendSeq = ++nextSendSeq_;
    exchange.sentNs = nowNs;
    deadlines_.push_back({nowNs + config_.timeoutNs, xid, exchange.sendSeq});

    ClientMessage message;
    message.xid = xid;
    message.mac = GuestMac(config_.macSeed, exchange.guest);
    message.broadcastFlag = config_.broadcastFlag;
    if (exchange.phase == Phase::kDiscovering) {
        message.type = dhcp::kDiscover;
        ++counters_.discoversSent;
    } else {
        message.type = dhcp::kRequest;
        message.requestedAddress = exchange.offered;
        message.serverId = exchange.serverId;
        ++counters_.requestsSent;
    }
    if (exchange.attempt > 1) {
        ++counters_.retransmits;
    }
    return message;
}

bool ExchangeBook::OnReply(const DhcpView &reply, std::uint64_t nowNs, ClientMessage &next) {
    if (reply.op != dhcp::kBootReply) {
        ++counters_.badReplies;
        return false;
    }
    const auto it = inFlight_.find(reply.xid);
    if (it == inFlight_.end() || reply.chaddr != GuestMac(config_.macSeed, it->second.guest)) {
        ++counters_.unmatched;
        return false;
    }
    const std::uint32_t xid = it->first;
    Exchange &exchange = it->second;
    // Karn's rule: once a message was sent twice nobody knows which copy an
    // answer belongs to, so only answers to a single transmission are timed.
    const bool timed = exchange.attempt == 1;

    switch (reply.type) {
    case dhcp::kOffer:
        if (exchange.phase != Phase::kDiscovering) {
            ++counters_.late;
            return false;
        }
        if (reply.yiaddr == 0) {
            ++counters_.badReplies;
            return false;
        }
        ++counters_.offers;
        if (timed) {
            offerLatency_.Add(nowNs - exchange.sentNs);
        }
        Claim(offerOwner_, offerHeld_, exchange.guest, reply.yiaddr, counters_.duplicateOffers);
        exchange.phase = Phase::kRequesting;
        exchange.attempt = 0;
        exchange.offered = reply.yiaddr;
        // Option 54 names the server; an offer without it is answered to the
        // address it came from.
        exchange.serverId = reply.serverId != 0 ? reply.serverId : reply.ipSource;
        next = Transmit(xid, exchange, nowNs);
        return true;
    case dhcp::kAck:
        if (exchange.phase != Phase::kRequesting) {
            ++counters_.late;
            return false;
        }
        if (reply.yiaddr == 0) {
            ++counters_.badReplies;
            return false;
        }
        ++counters_.acks;
        if (timed) {
            ackLatency_.Add(nowNs - exchange.sentNs);
        }
        if (reply.yiaddr != exchange.offered) {
            ++counters_.ackMismatches;
        }
        Claim(ackOwner_, ackHeld_, exchange.guest, reply.yiaddr, counters_.duplicateAcks);
        ++counters_.completed;
        inFlight_.erase(it);
        return false;
    case dhcp::kNak:
        ++counters_.naks;
        ++counters_.failedNak;
        Fail(xid, exchange);
        return false;
    default:
        ++counters_.badReplies;
        return false;
    }
}

void ExchangeBook::Expire(std::uint64_t nowNs, std::vector<ClientMessage> &resend) {
    while (!deadlines_.empty() && deadlines_.front().atNs <= nowNs) {
        const Deadline deadline = deadlines_.front();
        deadlines_.pop_front();
        const auto it = inFlight_.find(deadline.xid);
        if (it == inFlight_.end() || it->second.sendSeq != deadline.sendSeq) {
            continue; // answered, or sent again since
        }
        ++counters_.timeouts;
        if (it->second.attempt <= config_.retries) {
            resend.push_back(Transmit(deadline.xid, it->second, nowNs));
        } else {
            ++counters_.failedTimeout;
            Fail(deadline.xid, it->second);
        }
    }
}

std::uint64_t ExchangeBook::NextDeadline() {
    // Entries of answered messages stay queued until they come up; drop
    // them here so that the caller does not wake up for nothing.
    while (!deadlines_.empty()) {
        const Deadline &front = deadlines_.front();
        const auto it = inFlight_.find(front.xid);
        if (it != inFlight_.end() && it->second.sendSeq == front.sendSeq) {
            return front.atNs;
        }
        deadlines_.pop_front();
    }
    return std::numeric_limits<std::uint64_t>::max();
}

void ExchangeBook::Fail(std::uint32_t xid, const Exchange &exchange) {
    // A server may hand an address whose exchange failed to someone else.
    Unclaim(offerOwner_, offerHeld_, exchange.guest);
    inFlight_.erase(xid);
}

void ExchangeBook::Claim(std::unordered_map<std::uint32_t, std::uint32_t> &owners,
                         std::vector<std::uint32_t> &held, std::uint32_t guest,
                         std::uint32_t address, std::uint64_t &duplicates) {
    if (held[guest] != address) {
        Unclaim(owners, held, guest);
    }
    const auto [it, inserted] = owners.emplace(address, guest);
    if (!inserted && it->second != guest) {
        ++duplicates;
        NoteDuplicate(address);
        return; // the first holder keeps it
    }
    held[guest] = address;
}

void ExchangeBook::Unclaim(std::unordered_map<std::uint32_t, std::uint32_t> &owners,
                           std::vector<std::uint32_t> &held, std::uint32_t guest) {
    const std::uint32_t address = held[guest];
    if (address == 0) {
        return;
    }
    const auto it = owners.find(address);
    if (it != owners.end() && it->second == guest) {
        owners.erase(it);
    }
    held[guest] = 0;
}

void ExchangeBook::NoteDuplicate(std::uint32_t address) {
    if (duplicateExamples_.size() < kMaxDuplicateExamples &&
        std::find(duplicateExamples_.begin(), duplicateExamples_.end(), address) ==
            duplicateExamples_.end()) {
        duplicateExamples_.push_back(address);
    }
}
