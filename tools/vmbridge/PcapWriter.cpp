#include "PcapWriter.h"

#include <array>
#include <cstring>
#include <ctime>

namespace vmbridge {
namespace {

template <typename T> void put(std::uint8_t *out, T value) {
    std::memcpy(out, &value, sizeof value);
}

} // namespace

PcapWriter::~PcapWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool PcapWriter::Open(const std::string &path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        return false;
    }
    std::array<std::uint8_t, pcap::kFileHeaderSize> header{};
    put(&header[0], pcap::kMagicMicroseconds);
    put(&header[4], pcap::kVersionMajor);
    put(&header[6], pcap::kVersionMinor);
    // bytes 8..15: time zone offset and accuracy, both zero
    put(&header[16], pcap::kSnapLength);
    put(&header[20], pcap::kLinkTypeEthernet);
    if (std::fwrite(header.data(), header.size(), 1, file_) != 1 || std::fflush(file_) != 0) {
        return false;
    }
    return true;
}

void PcapWriter::Write(std::span<const std::uint8_t> frame) {
    if (file_ == nullptr) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto length = static_cast<std::uint32_t>(frame.size());
    std::array<std::uint8_t, pcap::kRecordHeaderSize> record{};
    put(&record[0], static_cast<std::uint32_t>(now.tv_sec));
    put(&record[4], static_cast<std::uint32_t>(now.tv_nsec / 1000));
    put(&record[8], length);  // captured length
    put(&record[12], length); // original length
    if (std::fwrite(record.data(), record.size(), 1, file_) != 1 ||
        std::fwrite(frame.data(), frame.size(), 1, file_) != 1 || std::fflush(file_) != 0) {
        ++errors_;
    }
}

} // namespace vmbridge
