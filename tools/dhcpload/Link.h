#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Where dhcpload's frames go and come from: a port of the virtual bridge or
// a Linux interface. Every read and write carries one whole Ethernet frame.
class Link {
public:
    virtual ~Link() = default;

    // A descriptor that poll() reports readable when a frame is waiting.
    virtual int Fd() const = 0;
    // One frame without blocking: its length, 0 when none is waiting, -1 on
    // an error that ends the run.
    virtual long Read(std::uint8_t *buffer, std::size_t capacity) = 0;
    // One frame; false when it was not sent whole.
    virtual bool Write(const std::uint8_t *frame, std::size_t length) = 0;
    virtual std::string Describe() const = 0;
    // True when the frame last read left the host with its UDP checksum
    // still to be filled in by the (virtual) hardware, so it cannot be checked.
    virtual bool ChecksumPending() const { return false; }

    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
};
