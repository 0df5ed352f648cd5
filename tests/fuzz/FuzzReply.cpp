// Frames from any server as dhcpload receives them: its reply parser, then
// the bookkeeping of a small load run that the parsed replies drive.
//
// Input layout (FrameInput.h): a settings byte, then length-prefixed frames.
// Bit 0 of the settings byte turns the UDP checksum check off (as for
// offloaded checksums); each frame also moves the clock on by its settings
// bits 1-3 in tenths of the timeout, so that retransmissions and give-ups
// happen between replies.
//
// Checked besides the sanitizers: a frame parsed as a reply holds the fields
// the parser reports (read again here: Ethernet, IPv4 with its header length,
// UDP, the DHCP fixed part) and is long enough for them; and the book's
// counters stay consistent (exchanges end at most once, never more in flight
// than the window, offers and acknowledgements only for messages sent).

#include "DhcpFrame.h"
#include "ExchangeBook.h"
#include "FrameInput.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace dhcp = dhcpload::wire::dhcp;

constexpr std::uint64_t kTimeoutNs = 1000000000;

BookConfig bookConfig() {
    BookConfig c;
    c.guests = 4;
    c.exchanges = 16;
    c.window = 4;
    c.timeoutNs = kTimeoutNs;
    c.retries = 1;
    c.macSeed = 0x5a;
    c.xidBase = 0x1000;
    return c;
}

[[noreturn]] void fail(const std::string &what, std::size_t frame) {
    std::fprintf(stderr, "frame %zu: %s\n", frame, what.c_str());
    std::abort();
}

std::uint32_t be32(const std::uint8_t *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// The fields of a frame the parser accepted, read again from its bytes.
std::string viewFault(const std::uint8_t *f, std::size_t size, const DhcpView &v) {
    if (size < 14 + 20 + 8 + 240) {
        return "accepted a frame of " + std::to_string(size) + " bytes";
    }
    const std::size_t ihl = std::size_t{f[14] & 0x0fu} * 4;
    const std::size_t udpAt = 14 + ihl;
    const std::size_t dhcpAt = udpAt + 8;
    const std::size_t udpLength = (std::size_t{f[udpAt + 4]} << 8) | f[udpAt + 5];
    if (f[12] != 0x08 || f[13] != 0x00 || (f[14] >> 4) != 4 || ihl < 20 || f[23] != 17 ||
        dhcpAt + 240 > size || udpLength < 8 + 240 || udpAt + udpLength > size) {
        return "accepted a frame whose headers do not hold a DHCP message";
    }
    if (f[udpAt + 2] != 0 || f[udpAt + 3] != 68) {
        return "accepted a frame for another port";
    }
    if (be32(f + dhcpAt + 236) != 0x63825363u) {
        return "accepted a message without the magic cookie";
    }
    if (v.op != f[dhcpAt] || v.xid != be32(f + dhcpAt + 4) || v.yiaddr != be32(f + dhcpAt + 16) ||
        v.siaddr != be32(f + dhcpAt + 20) || v.ipSource != be32(f + 26)) {
        return "reported fields differ from the frame";
    }
    for (std::size_t i = 0; i < 6; ++i) {
        if (v.chaddr[i] != f[dhcpAt + 28 + i] || v.ethSource[i] != f[6 + i]) {
            return "reported hardware addresses differ from the frame";
        }
    }
    return {};
}

std::string bookFault(const ExchangeBook &book, const BookConfig &config) {
    const BookCounters &c = book.Counters();
    if (c.completed + c.failedTimeout + c.failedNak + book.InFlight() != c.started) {
        return "exchanges started do not add up to those ended and in flight";
    }
    if (book.InFlight() > config.window || c.started > config.exchanges) {
        return "more exchanges than allowed";
    }
    if (c.offers > c.discoversSent || c.acks > c.requestsSent || c.completed > c.acks) {
        return "answers counted for messages never sent";
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const BookConfig config = bookConfig();
    ExchangeBook book(config);
    const bool checkUdp = (data[0] & 1) == 0;
    const std::uint64_t step = ((data[0] >> 1) & 7u) * (kTimeoutNs / 10);
    std::uint64_t now = 1;
    std::vector<ClientMessage> resend;
    ClientMessage next;

    std::size_t n = 0;
    for (const frameinput::Record &record : frameinput::split(data, size)) {
        while (book.CanStart()) {
            book.Start(now);
        }
        // A copy of exactly the frame's size, so that ASan sees any read past it.
        const std::vector<std::uint8_t> frame(record.bytes, record.bytes + record.size);
        DhcpView view;
        const ParseStatus status =
            parseDhcpFrame(frame.data(), frame.size(), dhcp::kClientPort, view, checkUdp);
        if (status == ParseStatus::kOk) {
            if (std::string fault = viewFault(frame.data(), frame.size(), view); !fault.empty()) {
                fail(fault, n);
            }
            if (book.OnReply(view, now, next) &&
                (next.type != dhcp::kRequest || next.requestedAddress != view.yiaddr)) {
                fail("an offer was not followed by a request for its address", n);
            }
        }
        now += step;
        resend.clear();
        book.Expire(now, resend);
        if (std::string fault = bookFault(book, config); !fault.empty()) {
            fail(fault, n);
        }
        ++n;
    }
    return 0;
}
