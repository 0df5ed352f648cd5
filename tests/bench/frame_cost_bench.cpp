// What one frame costs the in-process stack, from the bytes the bridge
// delivers to the bytes written back: an ARP request answered and a
// DHCPDISCOVER answered, against the bare limit of copying a frame in and
// writing a reply out with no protocol work at all.

#include "CEthProtocol.h"
#include "FrameBuilder.h"
#include "ServiceLayers.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kServer = fb::ip(10, 0, 0, 1);
constexpr std::uint32_t kMask = fb::ip(255, 255, 0, 0);
constexpr std::size_t kBridgeBuffer = 2048;

// Stands where the bridge port is: copies each frame out as a write to the
// device would, and keeps nothing else.
class WriteBackLower : public CProtocol {
public:
    void Release() override {}
    std::int32_t Send(Packet *packet) override {
        std::memcpy(out, packet->data, packet->length);
        lastLength = packet->length;
        ++frames;
        return PROTO_OK;
    }
    std::int32_t Receive(Packet *) override { return PROTO_OK; }
    virtual ~WriteBackLower() = default;

    std::uint8_t out[kBridgeBuffer];
    std::uint32_t lastLength = 0;
    std::uint64_t frames = 0;
};

struct Stack {
    Stack() : layers(buildServiceLayers(&bridge, kServer, fb::ip(10, 0, 255, 254), kMask)) {}
    ~Stack() { layers.eth->Release(); }
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;

    WriteBackLower bridge; // declared first: outlives the layers over it
    ServiceLayers layers;
};

constexpr fb::Mac kGuest{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

fb::Bytes discoverFrame() {
    return fb::dhcpClientFrame(kGuest, fb::discover(0x1111, kGuest, {1, 3, 6, 15, 51, 54}));
}

// Feeds the same frame again and again; each must produce exactly one reply.
void answerEach(benchmark::State &state, const fb::Bytes &frame) {
    Stack s;
    const auto size = static_cast<std::uint32_t>(frame.size());
    for (auto _ : state) {
        s.layers.eth->ReceiveFrame(frame.data(), size);
    }
    if (s.bridge.frames != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("not every frame was answered");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["reply_bytes"] = s.bridge.lastLength;
}

void BM_ArpRequestAnswered(benchmark::State &state) {
    answerEach(state, fb::arpRequestFrame(kGuest, fb::ip(10, 0, 0, 7), kServer));
}

// The guest is known after the first frame: every later DISCOVER is the
// re-offer of the same address, so the lease table stays as it is.
void BM_DiscoverAnswered(benchmark::State &state) {
    answerEach(state, discoverFrame());
}

// The limit of the in-process path: the frame is copied into a fresh heap
// buffer as the Ethernet layer does, its addresses swapped, and the reply
// copied out; no parsing, no checksum.
void copyAndWriteBack(benchmark::State &state, const fb::Bytes &frame) {
    WriteBackLower bridge;
    for (auto _ : state) {
        auto *copy = static_cast<std::uint8_t *>(std::malloc(frame.size()));
        std::memcpy(copy, frame.data(), frame.size());
        std::uint8_t mac[6];
        std::memcpy(mac, copy, 6);
        std::memcpy(copy, copy + 6, 6);
        std::memcpy(copy + 6, mac, 6);
        Packet packet{copy,
                      static_cast<std::uint32_t>(frame.size()),
                      static_cast<std::uint32_t>(frame.size()),
                      1,
                      copy,
                      copy};
        bridge.Send(&packet);
        benchmark::DoNotOptimize(bridge.out);
        std::free(copy);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CopyAndWriteBackArpSize(benchmark::State &state) {
    copyAndWriteBack(state, fb::arpRequestFrame(kGuest, fb::ip(10, 0, 0, 7), kServer));
}

void BM_CopyAndWriteBackDiscoverSize(benchmark::State &state) {
    copyAndWriteBack(state, discoverFrame());
}

} // namespace

BENCHMARK(BM_ArpRequestAnswered);
BENCHMARK(BM_DiscoverAnswered);
BENCHMARK(BM_CopyAndWriteBackArpSize);
BENCHMARK(BM_CopyAndWriteBackDiscoverSize);

BENCHMARK_MAIN();
