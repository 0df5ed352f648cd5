// Replays the fuzzer's seed frames, which scapy wrote in the option sets of
// common clients, through the stack: the conversations they encode are
// answered as a guest expects. This keeps the corpus honest (seeds that the
// server ignores would teach the fuzzer nothing) and checks the stack against
// a second encoder.

#include "../../fuzz/FrameInput.h"
#include "HardeningStack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using hardening::Stack;

// From the build (not from __FILE__, which a compiler cache may make relative
// to a folder the test does not run in).
const std::filesystem::path kCorpus = VLM_FRAME_CORPUS;

std::vector<std::uint8_t> readSeed(const std::string &name) {
    std::ifstream in(kCorpus / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What each frame of a seed is answered with: 0 nothing, 'A' an ARP reply,
// else the DHCP message type, with the address it carries.
struct Answer {
    int kind;
    std::uint32_t yiaddr;
};

std::vector<Answer> replay(const std::vector<std::uint8_t> &seed) {
    std::vector<Answer> answers;
    const std::uint32_t poolEnd = frameinput::poolEnd(seed.at(0), checks::kPoolStart);
    Stack s(poolEnd);
    for (const auto &record : frameinput::split(seed.data(), seed.size())) {
        s.bridge.frames.clear();
        s.eth->ReceiveFrame(record.bytes, static_cast<std::uint32_t>(record.size));
        if (s.bridge.frames.empty()) {
            answers.push_back({0, 0});
            continue;
        }
        EXPECT_EQ(s.bridge.frames.size(), 1u);
        const auto &f = s.bridge.frames[0];
        EXPECT_EQ(checks::frameFault(f, checks::kPoolStart, poolEnd), "");
        if (fb::get16(f, 12) == fb::kTypeARP) {
            answers.push_back({'A', 0});
        } else {
            answers.push_back({f.at(42 + 242), checks::get32(f, 42 + 16)});
        }
    }
    return answers;
}

constexpr std::uint32_t k3 = fb::ip(10, 0, 0, 3);
constexpr std::uint32_t k4 = fb::ip(10, 0, 0, 4);

TEST(CorpusReplay, ClientConversationsAreAnswered) {
    struct Case {
        std::string seed;
        std::vector<Answer> expected;
    };
    std::vector<Case> cases;
    for (const std::string client : {"udhcpc", "dhcpcd", "dhclient", "windows"}) {
        cases.push_back({client + "-discover", {{2, k3}}});
        cases.push_back({client + "-exchange", {{2, k3}, {5, k3}}});
        // Reboot and renewal name no server: refused, so the guest starts over.
        cases.push_back(
            {client + "-reboot-renew-release", {{2, k3}, {5, k3}, {6, 0}, {6, 0}, {0, 0}}});
    }
    // Two addresses for four guests; then the first asks for its offer.
    cases.push_back({"pool-exhausted", {{2, k3}, {2, k4}, {0, 0}, {0, 0}, {5, k3}}});
    cases.push_back({"other-server", {{0, 0}}});
    cases.push_back({"decline-inform", {{0, 0}, {0, 0}}});
    cases.push_back({"bootreply", {{0, 0}}});
    cases.push_back({"arp", {{'A', 0}, {'A', 0}, {0, 0}}});
    // A 13-byte runt; a DISCOVER cut inside its options (no End) is still answered.
    cases.push_back({"mixed", {{'A', 0}, {2, k3}, {0, 0}, {2, k4}, {5, k3}}});
    // Stations heard holding .3 and .9; one claims .4, just offered: the next
    // guest gets .5.
    cases.push_back({"arp-holders", {{0, 0}, {0, 0}, {2, k4}, {0, 0}, {2, fb::ip(10, 0, 0, 5)}}});
    // A declined address is asked for, and the guest is offered the next.
    cases.push_back({"decline-after-ack", {{2, k3}, {5, k3}, {'A', 0}, {2, k4}, {0, 0}}});

    for (const Case &c : cases) {
        SCOPED_TRACE(c.seed);
        const std::vector<std::uint8_t> seed = readSeed(c.seed);
        ASSERT_FALSE(seed.empty()) << "missing seed " << (kCorpus / c.seed);
        const std::vector<Answer> got = replay(seed);
        ASSERT_EQ(got.size(), c.expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].kind, c.expected[i].kind) << "frame " << i;
            EXPECT_EQ(got[i].yiaddr, c.expected[i].yiaddr) << "frame " << i;
        }
    }
}

} // namespace
