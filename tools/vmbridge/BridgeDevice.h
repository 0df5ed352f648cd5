#pragma once

#include "AttachCheck.h"
#include "DevicePort.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <sys/ioctl.h>

namespace vmbridge {

class Switch;

// Ethernet frames a port may write: at least a header, at most a full frame
// with one VLAN tag and without the frame check sequence.
inline constexpr std::size_t kMinFrame = 14, kMaxFrame = 1518;

struct DeviceCounters {
    std::uint64_t opens = 0;
    std::uint64_t attaches = 0;
    std::uint64_t attachesRefused = 0;
    std::uint64_t writesRefused = 0;
};

// Serves one regular file as the bridge device through the FUSE low-level
// interface: each open descriptor is a candidate port, the attach request
// makes it a switch port, and reads and writes move whole frames.
class BridgeDevice {
public:
    BridgeDevice(Switch &bridge, std::size_t portLimit, std::size_t queueLimit)
        : bridge_(bridge), portLimit_(portLimit), queueLimit_(queueLimit) {}
    BridgeDevice(const BridgeDevice &) = delete;
    BridgeDevice &operator=(const BridgeDevice &) = delete;
    ~BridgeDevice();

    // Creates the session and mounts it on the path, which must be a regular
    // file. Returns false on failure (libfuse has reported why).
    bool Mount(const std::string &path);
    int fd() const;
    // Processes every request waiting on the session. Returns false when the
    // kernel has ended the session (the file was unmounted).
    bool Serve();
    // Fails parked reads and unmounts.
    void Shutdown();

    const DeviceCounters &counters() const { return counters_; }
    const std::map<std::uint64_t, std::unique_ptr<DevicePort>> &ports() const { return ports_; }

private:
    static BridgeDevice &Of(fuse_req_t req);
    static void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi);
    static void SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int toSet,
                        fuse_file_info *fi);
    static void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi);
    static void Read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *fi);
    static void Write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t off,
                      fuse_file_info *fi);
    static void Ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *arg,
                      fuse_file_info *fi, unsigned flags, const void *inBuf, size_t inSize,
                      size_t outSize);
    static void Flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi);
    static void Release(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi);

    int AttachPort(DevicePort &port, const std::uint8_t *record, std::size_t size);
    DevicePort *PortOf(const fuse_file_info *fi);
    std::size_t AttachedCount() const;

    Switch &bridge_;
    std::size_t portLimit_;
    std::size_t queueLimit_;
    fuse_session *session_ = nullptr;
    bool mounted_ = false;
    fuse_buf buffer_{};
    std::uint64_t nextHandle_ = 1;
    std::map<std::uint64_t, std::unique_ptr<DevicePort>> ports_;
    DeviceCounters counters_;
};

} // namespace vmbridge
