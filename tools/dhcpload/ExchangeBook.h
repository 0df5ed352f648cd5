#pragma once

#include "DhcpFrame.h"
#include "LatencyStats.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

struct BookConfig {
    std::uint32_t guests = 1000;
    std::uint64_t exchanges = 1000; // exchange k is played by guest k mod guests
    std::uint32_t window = 64;      // exchanges in flight at most; clamped to guests
    std::uint64_t timeoutNs = 1000000000;
    std::uint32_t retries = 3; // retransmissions of one message before the exchange fails
    std::uint8_t macSeed = 0;  // second byte of every guest's hardware address
    std::uint32_t xidBase = 0;
    bool broadcastFlag = false;
};

struct BookCounters {
    std::uint64_t started = 0;
    std::uint64_t completed = 0;
    std::uint64_t failedTimeout = 0;
    std::uint64_t failedNak = 0;
    std::uint64_t discoversSent = 0; // retransmissions included
    std::uint64_t requestsSent = 0;  // retransmissions included
    std::uint64_t retransmits = 0;
    std::uint64_t timeouts = 0; // messages left unanswered within the timeout
    std::uint64_t offers = 0;
    std::uint64_t acks = 0;
    std::uint64_t naks = 0;
    std::uint64_t unmatched = 0;       // xid in flight nowhere, or another guest's hardware address
    std::uint64_t late = 0;            // a second answer to a message already answered
    std::uint64_t badReplies = 0;      // an OFFER or ACK without an address, or an unknown type
    std::uint64_t ackMismatches = 0;   // an ACK for another address than the one requested
    std::uint64_t duplicateOffers = 0; // an address offered while another guest holds it
    std::uint64_t duplicateAcks = 0;   // an address acknowledged while another guest holds it
};

// The bookkeeping of a load run, free of any I/O: which exchanges are in
// flight, in which phase, since when, and what the server answered.
// Replies are matched by xid and the guest's hardware address.
class ExchangeBook {
public:
    explicit ExchangeBook(const BookConfig &config);

    // The hardware address of guest index: 02:seed and four bytes that are
    // distinct for every index; the low 24 bits of the index decide the low
    // three bytes alone.
    static MacAddr GuestMac(std::uint8_t seed, std::uint32_t index);

    bool CanStart() const;
    bool Finished() const { return started_ >= config_.exchanges && inFlight_.empty(); }
    std::size_t InFlight() const { return inFlight_.size(); }

    // Starts the next exchange; returns its DHCPDISCOVER. Call only when CanStart().
    ClientMessage Start(std::uint64_t nowNs);

    // Takes a reply; returns true with the DHCPREQUEST to send in next when an
    // offer moved its exchange on.
    bool OnReply(const DhcpView &reply, std::uint64_t nowNs, ClientMessage &next);

    // Retransmits, or gives up on, every message whose deadline is at or
    // before now; the messages to send again are appended to resend.
    void Expire(std::uint64_t nowNs, std::vector<ClientMessage> &resend);

    // Earliest pending deadline, or UINT64_MAX when nothing is in flight.
    std::uint64_t NextDeadline();

    // Starts no further exchanges; those in flight run to their end.
    void StopStarting() { config_.exchanges = started_; }

    const BookCounters &Counters() const { return counters_; }
    const LatencyStats &OfferLatency() const { return offerLatency_; }
    const LatencyStats &AckLatency() const { return ackLatency_; }
    // A few of the addresses found duplicated, for the report.
    const std::vector<std::uint32_t> &DuplicateExamples() const { return duplicateExamples_; }

private:
    enum class Phase { kDiscovering, kRequesting };

    struct Exchange {
        std::uint32_t guest = 0;
        Phase phase = Phase::kDiscovering;
        std::uint32_t attempt = 0; // transmissions of the current message
        std::uint32_t sendSeq = 0; // tells stale deadline entries apart
        std::uint64_t sentNs = 0;
        std::uint32_t offered = 0;
        std::uint32_t serverId = 0;
    };

    struct Deadline {
        std::uint64_t atNs;
        std::uint32_t xid;
        std::uint32_t sendSeq;
    };

    ClientMessage Transmit(std::uint32_t xid, Exchange &exchange, std::uint64_t nowNs);
    void Fail(std::uint32_t xid, const Exchange &exchange);
    void Claim(std::unordered_map<std::uint32_t, std::uint32_t> &owners,
               std::vector<std::uint32_t> &held, std::uint32_t guest, std::uint32_t address,
               std::uint64_t &duplicates);
    static void Unclaim(std::unordered_map<std::uint32_t, std::uint32_t> &owners,
                        std::vector<std::uint32_t> &held, std::uint32_t guest);
    void NoteDuplicate(std::uint32_t address);

    BookConfig config_;
    std::uint64_t started_ = 0;
    std::uint32_t nextSendSeq_ = 0;
    std::unordered_map<std::uint32_t, Exchange> inFlight_; // by xid
    // Every message gets the same timeout, so deadlines arrive in send order.
    std::deque<Deadline> deadlines_;
    std::unordered_map<std::uint32_t, std::uint32_t> offerOwner_; // address -> guest
    std::unordered_map<std::uint32_t, std::uint32_t> ackOwner_;   // address -> guest
    std::vector<std::uint32_t> offerHeld_;                        // per guest, 0 when none
    std::vector<std::uint32_t> ackHeld_;
    BookCounters counters_;
    LatencyStats offerLatency_;
    LatencyStats ackLatency_;
    std::vector<std::uint32_t> duplicateExamples_;
};
