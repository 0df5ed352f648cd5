#pragma once

#include "Link.h"

#include <cstdint>
#include <memory>
#include <string>

// A raw AF_PACKET socket bound to one Linux interface (a veth end or a TAP),
// promiscuous so that replies unicast to the simulated guests' hardware
// addresses arrive too. A socket filter passes only UDP to listenPort.
class PacketLink : public Link {
public:
    // Null with the reason in error when the socket cannot be set up.
    static std::unique_ptr<PacketLink> Open(const std::string &interface, std::uint16_t listenPort,
                                            std::string &error);
    ~PacketLink() override;

    int Fd() const override { return fd_; }
    long Read(std::uint8_t *buffer, std::size_t capacity) override;
    bool Write(const std::uint8_t *frame, std::size_t length) override;
    std::string Describe() const override { return "interface " + interface_; }
    bool ChecksumPending() const override { return checksumPending_; }

private:
    PacketLink(int fd, std::string interface) : fd_(fd), interface_(std::move(interface)) {}

    int fd_;
    std::string interface_;
    bool checksumPending_ = false;
};
