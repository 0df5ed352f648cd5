// Frames from a guest, as the bridge would deliver them, through the whole
// stack (Ethernet, IPv4 with its ARP responder, UDP, the DHCP server) over a
// capturing bridge. One input carries several frames so that sequences reach
// the lease table: DISCOVER, then REQUEST for the offered address, ARP, junk.
//
// Input layout (FrameInput.h): a pool-shape byte, then length-prefixed frames.
//
// After every frame: the lease chain keeps its invariants, at most one frame
// went to the bridge, and every frame written is well formed. Each frame
// then lets kFrameNs pass for the reclaimer, which the ARP responder tells
// what it hears, as in the service; its request, if any, must be well formed
// too, and the chain sound after its reclaims. After the whole input, every
// slot off the chain is zero. Any violation aborts.
//
// The zero scan covers the slots this input can have reached: slots are taken
// lowest free first, at most one per frame, so every slot ever used lies below
// the longest chain seen after a frame; the scan goes kScanMargin slots past
// that. The first input of a process, which is how a finding is replayed, and
// every kFullScanEvery-th input after it scan all 65536 slots.

#include "AddressReclaimer.h"
#include "FrameInput.h"
#include "LeaseChainCheck.h"
#include "Log.h"
#include "ServerStack.h"
#include "StackChecks.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr std::int32_t kScanMargin = 64;
constexpr std::uint64_t kFullScanEvery = 256;
// A few frames outlast a probe's wait.
constexpr std::int64_t kFrameNs = 100LL * 1000 * 1000;

// Each input sets the pool again with InitScope.
struct Stack : ServerStack {
    Stack() : ServerStack(checks::kServerIp, checks::kPoolStart, checks::kMask) {}
};

Stack &stack() {
    static Stack instance;
    return instance;
}

// The messages are formatted as the daemon formats them, but not sent to
// syslog: with no log daemon to take them, every message reopened the socket.
void discardLog(int, const char *) {}

[[noreturn]] void fail(const std::string &what, std::size_t frame) {
    std::fprintf(stderr, "frame %zu: %s\n", frame, what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    static const LogSink quiet = setLogSink(discardLog);
    (void)quiet;
    Stack &s = stack();
    const std::uint32_t poolEnd = frameinput::poolEnd(data[0], checks::kPoolStart);
    s.dhcp->InitScope(checks::kPoolStart, poolEnd, checks::kMask);
    // A reclaimer of its own for each input, so that a finding replays alone.
    AddressReclaimer reclaimer(*s.ip->Arp(), *s.dhcp, &s.learner);
    s.ip->Arp()->SetListener(&reclaimer);

    static std::uint64_t inputs = 0;
    const bool fullScan = inputs++ % kFullScanEvery == 0;
    std::int32_t longest = 0;
    std::size_t frame = 0;
    for (const frameinput::Record &record : frameinput::split(data, size)) {
        s.bridge.frames.clear();
        s.eth->ReceiveFrame(record.bytes, static_cast<std::uint32_t>(record.size));

        if (s.bridge.frames.size() > 1) {
            fail(std::to_string(s.bridge.frames.size()) + " frames written for one", frame);
        }
        for (const auto &written : s.bridge.frames) {
            if (std::string fault = checks::frameFault(written, checks::kPoolStart, poolEnd);
                !fault.empty()) {
                fail(fault, frame);
            }
        }
        if (std::string fault = chaincheck::chainFault(*s.dhcp); !fault.empty()) {
            fail(fault, frame);
        }
        longest = std::max(longest, chaincheck::lastWalk().length);

        s.bridge.frames.clear();
        reclaimer.Pump(static_cast<std::int64_t>(frame) * kFrameNs);
        for (const auto &written : s.bridge.frames) {
            if (std::string fault = checks::frameFault(written, checks::kPoolStart, poolEnd);
                !fault.empty()) {
                fail("reclaimer: " + fault, frame);
            }
        }
        if (std::string fault = chaincheck::chainFault(*s.dhcp); !fault.empty()) {
            fail("reclaimer: " + fault, frame);
        }
        longest = std::max(longest, chaincheck::lastWalk().length);
        ++frame;
    }
    s.ip->Arp()->SetListener(&s.learner);
    // Frees the last frame written inside the input that wrote it: a block
    // that outlives its input makes libFuzzer run every input twice to look
    // for a leak.
    s.bridge.frames.clear();
    if (std::string fault = chaincheck::chainFault(*s.dhcp); !fault.empty()) {
        fail(fault, frame);
    }
    const std::int32_t bound = fullScan ? kLeaseSlots : longest + kScanMargin;
    if (std::string fault = chaincheck::staleSlotFault(*s.dhcp, bound); !fault.empty()) {
        fail(fault, frame);
    }
    return 0;
}
