#include "CPhysProto.h"
#include "FailingAlloc.h"
#include "LayerStack.h"
#include "LogCapture.h"
#include "RecordingUpper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

using namespace nettest;

namespace {

const std::string kDeleted =
    "VLM-DHCP: Successfully deleted all bridge connections and freed allocated memory.";

TEST(BridgePortRequest, NameIsCutTo15CharactersAndZeroPadded) {
    const std::uint8_t mac[6] = {0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0};
    struct Case {
        const char *name;
        std::string expectName; // 16 bytes
    };
    const Case cases[] = {
        {"vnic0", std::string("vnic0") + std::string(11, '\0')},
        {"", std::string(16, '\0')},
        {nullptr, std::string(16, '\0')},
        {"abcdefghijklmno", std::string("abcdefghijklmno") + '\0'},
        {"abcdefghijklmnop", std::string("abcdefghijklmno") + '\0'},
        {"abcdefghijklmnopqrstuvwxyz", std::string("abcdefghijklmno") + '\0'},
    };
    for (const Case &c : cases) {
        const BridgePortRequest request = makeBridgePortRequest(c.name, mac);
        std::uint8_t bytes[22];
        std::memcpy(bytes, &request, sizeof bytes);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes), 16), c.expectName)
            << (c.name ? c.name : "(null)");
        EXPECT_EQ(fb::Bytes(bytes + 16, bytes + 22), fb::Bytes(mac, mac + 6));
    }
    EXPECT_EQ(BRIDGE_IOC_ATTACH_PORT, 0x40166E10UL);
}

TEST(BridgePort, ConstructionFailuresAreLoggedAndSurfaceAtTheFirstRead) {
    const std::uint8_t mac[6] = {0x00, 0x01, 0x23, 0x45, 0xbe, 0xf0};
    struct Case {
        const char *what;
        const char *path;
        int failAlloc;
        std::string message;
        std::int32_t firstRead;
    };
    const Case cases[] = {
        {"missing device", "/nonexistent/vm-bridge", -1, "VLM-DHCP: Couldn't open virtual bridge.",
         PROTO_E_IO},
        {"not a bridge: the attach request fails", "/dev/null", -1,
         "VLM-DHCP: Couldn't find free port at virtual bridge.", PROTO_E_IO},
        {"no receive buffer", "/dev/null", 0, "VLM-DHCP: Packet memory allocation failed.",
         PROTO_E_NOMEM},
    };
    for (const Case &c : cases) {
        LogCapture log;
        CPhysProto *port;
        {
            FailingAlloc alloc(c.failAlloc);
            port = new CPhysProto("vnic0", mac, c.path);
        }
        ASSERT_EQ(log.lines().size(), 1u) << c.what;
        EXPECT_EQ(log.lines()[0], std::make_pair(LOG_ERR, c.message)) << c.what;
        auto *eth = new CEthProtocol(port);
        EXPECT_EQ(port->ReceiveOne(eth), c.firstRead) << c.what;
        eth->Release();
        port->Release();
        ASSERT_EQ(log.lines().size(), 2u) << c.what;
        EXPECT_EQ(log.lines()[1], std::make_pair(LOG_INFO, kDeleted)) << c.what;
    }
}

// A port over one end of a SOCK_SEQPACKET pair; the test plays the bridge on
// the other end. The stack over it is the real one.
struct SocketBridge : ::testing::Test {
    SocketBridge() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair: " << std::strerror(errno);
            return;
        }
        peer = fds[1];
        port = new CPhysProto(CPhysProto::AdoptDescriptor{fds[0]});
        eth = new CEthProtocol(port);
        eth->SetMac(fb::kServerMac.data());
        ip = new CIPProtocol(eth, 1);
        ip->SetAddress(kOwnIp, kMask);
        udp = new CUDPProtocol(ip, 1);
        udp->Attach(&dhcp, 67);
    }
    ~SocketBridge() override {
        udp->Detach(67);
        eth->Release();
        port->Release();
        close(peer);
    }
    void bridgeWrites(const fb::Bytes &frame) {
        ASSERT_EQ(write(peer, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }
    fb::Bytes bridgeReads() {
        fb::Bytes frame(4096);
        const ssize_t n = recv(peer, frame.data(), frame.size(), MSG_DONTWAIT);
        frame.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return frame;
    }

    LogCapture log;
    int peer = -1;
    CPhysProto *port = nullptr;
    CEthProtocol *eth = nullptr;
    CIPProtocol *ip = nullptr;
    CUDPProtocol *udp = nullptr;
    RecordingUpper dhcp;
};

TEST_F(SocketBridge, AnArpRequestIsReadAnsweredAndWritten) {
    bridgeWrites(fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp));
    EXPECT_EQ(port->ReceiveOne(eth), PROTO_OK);
    const fb::Bytes reply = bridgeReads();
    ASSERT_EQ(reply.size(), 61u);
    EXPECT_EQ(fb::Bytes(reply.begin(), reply.begin() + 6),
              fb::Bytes(kGuestMac.begin(), kGuestMac.end()));
    EXPECT_EQ(fb::get16(reply, 14 + 6), 2u);
}

TEST_F(SocketBridge, FramesUpTo2048BytesAreTakenLongerOnesCut) {
    for (std::size_t size : {2048u, 2100u}) {
        bridgeWrites(fb::udpFrame(fb::kBroadcastMac, kGuestMac, 0, 0xffffffffu, 68, 67,
                                  fb::Bytes(size - 42, 0x3c)));
        dhcp.receives = 0;
        EXPECT_EQ(port->ReceiveOne(eth), PROTO_OK);
        EXPECT_EQ(dhcp.receives, 1);
        EXPECT_EQ(dhcp.length, 2048u - 42u) << size;
    }
}

TEST_F(SocketBridge, ZeroByteReadAndEmptyNonBlockingReadAreOk) {
    ASSERT_EQ(send(peer, "", 0, 0), 0);
    EXPECT_EQ(port->ReceiveOne(eth), PROTO_OK);
    // Nothing waiting on a non-blocking descriptor: EAGAIN.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
    auto *idle = new CPhysProto(CPhysProto::AdoptDescriptor{fds[0]});
    EXPECT_EQ(idle->ReceiveOne(eth), PROTO_OK);
    idle->Release();
    close(fds[1]);
    EXPECT_EQ(dhcp.receives, 0);
}

void onSignal(int) {}

TEST_F(SocketBridge, ReadInterruptedBySignalIsOk) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the read returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::atomic<bool> done{false};
    const pthread_t reader = pthread_self();
    std::thread kicker([&] {
        while (!done.load()) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const std::int32_t status = port->ReceiveOne(eth);
    done = true;
    kicker.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(status, PROTO_OK);
    EXPECT_EQ(dhcp.receives, 0);
}

TEST_F(SocketBridge, WriteErrorsAreLoggedWithTheLength) {
    // A frame too large for one datagram on this socket fails outright.
    Packet *big = PacketCreate(nullptr, 1u << 20);
    EXPECT_EQ(port->Send(big), PROTO_E_IO);
    PacketFree(big);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(
        log.lines()[0],
        std::make_pair(LOG_ERR, std::string("VLM-DHCP: Couldn't send packet with 1048576 len.")));
    EXPECT_EQ(port->Receive(nullptr), PROTO_OK);
}

std::atomic<int> signalsTaken{0};
void countSignal(int) {
    ++signalsTaken;
}

// Whether the thread sleeps in write(2), as /proc numbers the call for this
// program's architecture.
bool inWrite(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    in >> number;
    return number == SYS_write;
}

TEST(BridgePortWrite, WriteInterruptedBySignalIsWrittenAgain) {
    // A full pipe blocks a frame of less than a page whole; a signal without
    // SA_RESTART then ends the write with EINTR and nothing written.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    const fb::Bytes fill(static_cast<std::size_t>(capacity), 0x11);
    ASSERT_EQ(write(fds[1], fill.data(), fill.size()), capacity);

    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    signalsTaken = 0;

    auto *port = new CPhysProto(CPhysProto::AdoptDescriptor{fds[1]});
    const fb::Bytes frame = fb::arpRequestFrame(kGuestMac, kGuestIp, kOwnIp);
    Packet *p = PacketCreate(frame.data(), static_cast<std::uint32_t>(frame.size()));
    const pthread_t writer = pthread_self();
    const auto writerTid = static_cast<pid_t>(syscall(SYS_gettid));
    fb::Bytes drained(fill.size() + frame.size());
    std::thread bridge([&] {
        // Bounded, so that a writer that never blocks fails the test rather
        // than hangs it; the pipe is drained either way.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!inWrite(writerTid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (inWrite(writerTid)) {
            pthread_kill(writer, SIGUSR1);
            while (signalsTaken.load() == 0) {
                std::this_thread::yield();
            }
        }
        // Room again: the blocked fill goes, then the frame can.
        EXPECT_EQ(read(fds[0], drained.data(), fill.size()), capacity);
    });
    const std::int32_t status = port->Send(p);
    bridge.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(signalsTaken.load(), 1);
    EXPECT_EQ(status, PROTO_OK);
    fb::Bytes got(frame.size());
    if (status == PROTO_OK) {
        EXPECT_EQ(read(fds[0], got.data(), got.size()), static_cast<ssize_t>(frame.size()));
        EXPECT_EQ(got, frame);
    }
    PacketFree(p);
    port->Release();
    close(fds[0]);
}

TEST(BridgePortWrite, ShortWriteIsAnErrorWithTheLength) {
    // A non-blocking pipe of one page takes only part of a larger frame.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    LogCapture log;
    auto *port = new CPhysProto(CPhysProto::AdoptDescriptor{fds[1]});
    Packet *p = PacketCreate(nullptr, static_cast<std::uint32_t>(capacity) + 100);
    EXPECT_EQ(port->Send(p), PROTO_E_IO);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].second,
              "VLM-DHCP: Couldn't send packet with " + std::to_string(capacity + 100) + " len.");
    fb::Bytes got(static_cast<std::size_t>(capacity) + 100);
    EXPECT_EQ(read(fds[0], got.data(), got.size()), capacity); // the part that went out
    PacketFree(p);
    port->Release();
    close(fds[0]);
}

} // namespace
