#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kbridge {

// A route netlink socket bound to the network namespace it was opened in
// (a socket keeps its namespace, wherever its owner goes later). Every call
// returns 0 or a negative errno.
class RtNetlink {
public:
    RtNetlink() = default;
    RtNetlink(const RtNetlink &) = delete;
    RtNetlink &operator=(const RtNetlink &) = delete;
    RtNetlink(RtNetlink &&other) noexcept : fd_(other.fd_), seq_(other.seq_) { other.fd_ = -1; }
    ~RtNetlink();

    int Open();
    bool open() const { return fd_ >= 0; }

    // The index of the interface NAME (> 0), or a negative errno.
    int LinkIndex(const std::string &name);
    // 0 when the interface exists, -ENODEV when it is gone.
    int LinkExists(int index);
    // Makes the interface a port of the bridge MASTER, gives it an alias and
    // brings it up.
    int JoinBridge(int index, int master, const std::string &alias);
    // A static entry of the bridge's forwarding table: frames for ADDRESS go
    // to the port INDEX (not kept for the host, as a local entry would be).
    int AddStaticEntry(int index, const std::array<std::uint8_t, 6> &address);
    int DeleteLink(int index);

private:
    // Sends one request and waits for its answer; a link record in the answer
    // yields its index.
    int Transact(void *message, std::uint32_t length);
    // A request of TYPE about the interface INDEX alone; 0 or a negative errno.
    int LinkRequest(std::uint16_t type, int index);

    int fd_ = -1;
    std::uint32_t seq_ = 0;
};

} // namespace kbridge
