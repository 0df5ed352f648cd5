#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace vmbridge {

// Classic pcap file (not pcapng) with the Ethernet link type, written in the
// host's byte order as the format allows; readers detect it by the magic.
namespace pcap {
inline constexpr std::uint32_t kMagicMicroseconds = 0xA1B2C3D4;
inline constexpr std::uint16_t kVersionMajor = 2, kVersionMinor = 4;
inline constexpr std::uint32_t kSnapLength = 65535;
inline constexpr std::uint32_t kLinkTypeEthernet = 1;
inline constexpr std::size_t kFileHeaderSize = 24, kRecordHeaderSize = 16;
} // namespace pcap

class PcapWriter {
public:
    PcapWriter() = default;
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    ~PcapWriter();

    // Creates (truncates) the file and writes the file header. Returns false
    // with errno set when the file cannot be written.
    bool Open(const std::string &path);
    // Each record is flushed at once so that a reader sees every frame while
    // the bridge runs and nothing is lost when the bridge is killed.
    void Write(std::span<const std::uint8_t> frame);

    std::uint64_t errors() const { return errors_; }

private:
    std::FILE *file_ = nullptr;
    std::uint64_t errors_ = 0;
};

} // namespace vmbridge
