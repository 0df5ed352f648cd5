// A whole DISCOVER -> OFFER -> REQUEST -> ACK exchange through the in-process
// stack, from the frame the bridge delivers to the frame written back, with a
// given number of guests already holding leases.

#include "CollidingMacs.h"
#include "FrameBuilder.h"
#include "ServerStack.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kServer = fb::ip(10, 0, 0, 1);
constexpr std::uint32_t kMask = fb::ip(255, 0, 0, 0);
constexpr std::uint32_t kPoolStart = kServer + 2;

struct Stack : ServerStack {
    explicit Stack(std::int64_t guests) : ServerStack(kServer, fb::ip(10, 255, 255, 254), kMask) {
        // Bound guests on one unbroken run from the pool start, bound from the
        // top down so that filling stays quick.
        const std::uint8_t xid[4] = {0, 0, 0, 1};
        for (std::int64_t n = guests - 1; n >= 0; --n) {
            const fb::Mac mac = guestMac(static_cast<std::uint32_t>(n));
            dhcp->BindAddress(mac.data(), xid, kPoolStart + static_cast<std::uint32_t>(n));
        }
    }

    static fb::Mac guestMac(std::uint32_t n) {
        return {0x02,
                0x00,
                0x00,
                static_cast<std::uint8_t>(n >> 16),
                static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n)};
    }
};

fb::Bytes discoverFrame(const fb::Mac &mac) {
    fb::DhcpMessage m(1, 0x1111, mac);
    m.messageType(1).option(55, {1, 3, 6, 15, 51, 54}).end();
    return fb::dhcpClientFrame(mac, m);
}

fb::Bytes requestFrame(const fb::Mac &mac, std::uint32_t address) {
    fb::DhcpMessage m(1, 0x2222, mac);
    m.messageType(3).requestedAddress(address).serverId(kServer).end();
    return fb::dhcpClientFrame(mac, m);
}

void exchange(benchmark::State &state, Stack &s, const fb::Bytes &discover,
              const fb::Bytes &request) {
    if (s.feed(discover) != PROTO_OK || s.feed(request) != PROTO_OK ||
        s.bridge.frames.size() != 2) {
        state.SkipWithError("exchange failed");
    }
    benchmark::DoNotOptimize(s.bridge.frames.back().data());
    s.bridge.frames.clear();
}

// A guest the table has never seen: its offer walks the whole run. It is
// forgotten again between iterations, outside the timing.
void BM_NewGuestExchange(benchmark::State &state) {
    Stack s(state.range(0));
    const fb::Mac mac = Stack::guestMac(0xFFFFFF);
    const std::uint32_t address = kPoolStart + static_cast<std::uint32_t>(state.range(0));
    const fb::Bytes discover = discoverFrame(mac);
    const fb::Bytes request = requestFrame(mac, address);
    for (auto _ : state) {
        exchange(state, s, discover, request);
        state.PauseTiming();
        s.dhcp->RemoveByHwAddress(mac.data());
        state.ResumeTiming();
    }
}

// A guest that holds the last lease asks again: found by hardware address,
// re-offered and confirmed.
void BM_ReturningGuestExchange(benchmark::State &state) {
    Stack s(state.range(0));
    const auto last = static_cast<std::uint32_t>(state.range(0) - 1);
    const fb::Mac mac = Stack::guestMac(last);
    const fb::Bytes discover = discoverFrame(mac);
    const fb::Bytes request = requestFrame(mac, kPoolStart + last);
    for (auto _ : state) {
        exchange(state, s, discover, request);
    }
}

// A stream of guests the table has never seen, each completing its exchange
// and keeping its lease, so the table grows by one per iteration from the
// given size. The frames are built beforehand.
constexpr std::int64_t kStreamGuests = 2000;

void BM_NewGuestStream(benchmark::State &state) {
    Stack s(state.range(0));
    std::vector<std::pair<fb::Bytes, fb::Bytes>> frames;
    for (std::int64_t n = 0; n < kStreamGuests; ++n) {
        const fb::Mac mac = Stack::guestMac(static_cast<std::uint32_t>(0x800000 + n));
        const auto address = kPoolStart + static_cast<std::uint32_t>(state.range(0) + n);
        frames.emplace_back(discoverFrame(mac), requestFrame(mac, address));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        exchange(state, s, frames[next].first, frames[next].second);
        ++next;
    }
}

// 20,000 DISCOVERs from hardware addresses the table has never seen, into a
// fresh table: random ones (argument 0), or ones chosen to share a bucket of
// an unkeyed index (argument 1). A keyed index costs the same for both.
constexpr std::uint32_t kFloodGuests = 20000;

void BM_DiscoverFlood(benchmark::State &state) {
    std::vector<fb::Mac> macs;
    if (state.range(0) == 1) {
        for (const auto &mac : collidingMacs(kFloodGuests)) {
            macs.push_back(mac);
        }
    } else {
        std::mt19937 random(7);
        for (std::uint32_t n = 0; n < kFloodGuests; ++n) {
            const std::uint32_t high = random(), low = random();
            macs.push_back({static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
                            static_cast<std::uint8_t>(low >> 24),
                            static_cast<std::uint8_t>(low >> 16),
                            static_cast<std::uint8_t>(low >> 8), static_cast<std::uint8_t>(low)});
        }
    }
    std::vector<fb::Bytes> frames;
    for (const auto &mac : macs) {
        frames.push_back(discoverFrame(mac));
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto s = std::make_unique<Stack>(0);
        state.ResumeTiming();
        for (const auto &frame : frames) {
            if (s->feed(frame) != PROTO_OK) {
                state.SkipWithError("DISCOVER not answered");
            }
            s->bridge.frames.clear();
        }
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_DiscoverFlood)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_NewGuestExchange)->Arg(10)->Arg(1000)->Arg(60000);
BENCHMARK(BM_ReturningGuestExchange)->Arg(10)->Arg(1000)->Arg(60000);
BENCHMARK(BM_NewGuestStream)->Arg(10)->Arg(1000)->Arg(60000)->Iterations(kStreamGuests);

BENCHMARK_MAIN();
