#include "PacketLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Kernels before 4.20 lack it; there the outgoing copies fail the filter's
// port test anyway (guests send to 67 and listen on 68).
#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

constexpr int kReceiveBuffer = 8 << 20;

// Classic BPF: IPv4, UDP, not a fragment, UDP destination port == port.
// Accepts with the whole frame, drops with 0.
sock_filter udpPortFilter(std::size_t i, std::uint16_t port) {
    static constexpr sock_filter kProgram[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),                 // EtherType
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 8),    //  -> drop
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 23),                 // IPv4 protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 6), //  -> drop
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 20),                 // flags and fragment offset
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, 4, 0),     //  -> drop
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 14),                // X = IPv4 header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 16),                 // UDP destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),           // port patched below
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_filter instruction = kProgram[i];
    if (i == 8) {
        instruction.k = port;
    }
    return instruction;
}
constexpr std::size_t kFilterLength = 11;

} // namespace

std::unique_ptr<PacketLink> PacketLink::Open(const std::string &interface, std::uint16_t listenPort,
                                             std::string &error) {
    const unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) {
        error = "no interface " + interface;
        return nullptr;
    }
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        error = std::string("AF_PACKET socket: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<PacketLink> link(new PacketLink(fd, interface));

    sock_filter program[kFilterLength];
    for (std::size_t i = 0; i < kFilterLength; ++i) {
        program[i] = udpPortFilter(i, listenPort);
    }
    sock_fprog filter{static_cast<unsigned short>(kFilterLength), program};
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) < 0) {
        error = std::string("socket filter: ") + std::strerror(errno);
        return nullptr;
    }
    setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    // A server on a veth peer sends with checksum offload: its UDP checksum
    // is only a partial sum, which the auxiliary data lets us recognise.
    setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
    // Root may go past rmem_max; a burst of replies must not be lost here.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) < 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);

    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        error = std::string("bind to ") + interface + ": " + std::strerror(errno);
        return nullptr;
    }
    packet_mreq membership{};
    membership.mr_ifindex = static_cast<int>(index);
    membership.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
        error = std::string("promiscuous mode: ") + std::strerror(errno);
        return nullptr;
    }
    // Frames queued between socket() and the filter were not filtered.
    std::uint8_t scratch[64];
    while (recv(fd, scratch, sizeof scratch, MSG_TRUNC) >= 0) {
    }
    return link;
}

PacketLink::~PacketLink() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

long PacketLink::Read(std::uint8_t *buffer, std::size_t capacity) {
    iovec data{buffer, capacity};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    for (;;) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t count = recvmsg(fd_, &message, 0);
        if (count >= 0) {
            checksumPending_ = false;
            for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                    tpacket_auxdata aux;
                    std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                    checksumPending_ = (aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0;
                }
            }
            return count;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool PacketLink::Write(const std::uint8_t *frame, std::size_t length) {
    for (;;) {
        const ssize_t count = send(fd_, frame, length, 0);
        if (count >= 0) {
            return static_cast<std::size_t>(count) == length;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}
