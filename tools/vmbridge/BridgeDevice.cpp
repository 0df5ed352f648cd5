#include "BridgeDevice.h"

#include "Switch.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fuse.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vmbridge {

BridgeDevice::~BridgeDevice() {
    Shutdown();
    if (session_ != nullptr) {
        fuse_session_destroy(session_);
    }
    std::free(buffer_.mem);
}

bool BridgeDevice::Mount(const std::string &path) {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.getattr = &BridgeDevice::GetAttr;
        o.setattr = &BridgeDevice::SetAttr;
        o.open = &BridgeDevice::Open;
        o.read = &BridgeDevice::Read;
        o.write = &BridgeDevice::Write;
        o.ioctl = &BridgeDevice::Ioctl;
        o.flush = &BridgeDevice::Flush;
        o.release = &BridgeDevice::Release;
        return o;
    }();
    // auto_unmount leaves a helper behind that unmounts the file when this
    // process dies, so a killed bridge leaves no dead mount.
    const char *argv[] = {"vmbridge", "-o", "auto_unmount,fsname=vmbridge,subtype=vmbridge"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    if (session_ == nullptr) {
        return false;
    }
    if (fuse_session_mount(session_, path.c_str()) != 0) {
        return false;
    }
    mounted_ = true;
    // One thread serves the session and the TAP interfaces from one poll.
    const int flags = fcntl(fd(), F_GETFL);
    return fcntl(fd(), F_SETFL, flags | O_NONBLOCK) == 0;
}

int BridgeDevice::fd() const {
    return fuse_session_fd(session_);
}

bool BridgeDevice::Serve() {
    for (;;) {
        const int result = fuse_session_receive_buf(session_, &buffer_);
        if (result == -EAGAIN || result == -EINTR) {
            return true;
        }
        if (result <= 0 || fuse_session_exited(session_) != 0) {
            return false;
        }
        fuse_session_process_buf(session_, &buffer_);
    }
}

void BridgeDevice::Shutdown() {
    // Readers blocked in the device learn that it is gone; a reader that
    // reads again after this finds the session unmounted.
    for (auto &[handle, port] : ports_) {
        port->FailParked(ENODEV);
    }
    if (mounted_) {
        fuse_session_unmount(session_);
        mounted_ = false;
    }
}

BridgeDevice &BridgeDevice::Of(fuse_req_t req) {
    return *static_cast<BridgeDevice *>(fuse_req_userdata(req));
}

DevicePort *BridgeDevice::PortOf(const fuse_file_info *fi) {
    auto found = ports_.find(fi->fh);
    return found == ports_.end() ? nullptr : found->second.get();
}

std::size_t BridgeDevice::AttachedCount() const {
    std::size_t count = 0;
    for (const auto &[handle, port] : ports_) {
        if (port->attached()) {
            ++count;
        }
    }
    return count;
}

void BridgeDevice::GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    // The mount point is a regular file, so the root must be one too.
    struct stat attr {};
    attr.st_ino = ino;
    attr.st_mode = S_IFREG | 0666;
    attr.st_nlink = 1;
    fuse_reply_attr(req, &attr, 0.0);
}

void BridgeDevice::SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi) {
    // Truncation (O_TRUNC) and time updates mean nothing for a device.
    GetAttr(req, ino, fi);
}

void BridgeDevice::Open(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    if ((fi->flags & O_ACCMODE) != O_RDWR) {
        fuse_reply_err(req, EACCES);
        return;
    }
    BridgeDevice &device = Of(req);
    const std::uint64_t handle = device.nextHandle_++;
    device.ports_[handle] = std::make_unique<DevicePort>(device.queueLimit_);
    ++device.counters_.opens;

    // Stream semantics keep the file position out of the way: without them
    // a write waits for a read blocked on the same descriptor, and the
    // position grows until writes fail with EFBIG. The library's open reply
    // has no bit for them, so the reply is built here.
    fuse_open_out out{};
    out.fh = handle;
    out.open_flags = FOPEN_DIRECT_IO | FOPEN_NONSEEKABLE | FOPEN_STREAM;
    iovec vector{&out, sizeof out};
    if (fuse_reply_iov(req, &vector, 1) != 0) {
        device.ports_.erase(handle); // the opener was interrupted and is gone
    }
}

void BridgeDevice::Read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *fi) {
    DevicePort *port = Of(req).PortOf(fi);
    if (port == nullptr || !port->attached()) {
        fuse_reply_err(req, ENOTCONN);
        return;
    }
    port->Read(req, size, (fi->flags & O_NONBLOCK) != 0);
}

void BridgeDevice::Write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t,
                         fuse_file_info *fi) {
    BridgeDevice &device = Of(req);
    DevicePort *port = device.PortOf(fi);
    if (port == nullptr || !port->attached()) {
        ++device.counters_.writesRefused;
        fuse_reply_err(req, ENOTCONN);
        return;
    }
    if (size < kMinFrame || size > kMaxFrame) {
        ++device.counters_.writesRefused;
        fuse_reply_err(req, size < kMinFrame ? EINVAL : EMSGSIZE);
        return;
    }
    device.bridge_.Forward(*port, std::span(reinterpret_cast<const std::uint8_t *>(buf), size));
    fuse_reply_write(req, size);
}

void BridgeDevice::Ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *, fuse_file_info *fi,
                         unsigned, const void *inBuf, size_t inSize, size_t) {
    BridgeDevice &device = Of(req);
    DevicePort *port = device.PortOf(fi);
    if (cmd != BRIDGE_IOC_ATTACH_PORT) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    const int error =
        port == nullptr
            ? EINVAL
            : device.AttachPort(*port, static_cast<const std::uint8_t *>(inBuf), inSize);
    if (error != 0) {
        ++device.counters_.attachesRefused;
        fuse_reply_err(req, error);
        return;
    }
    ++device.counters_.attaches;
    fuse_reply_ioctl(req, 0, nullptr, 0);
}

int BridgeDevice::AttachPort(DevicePort &port, const std::uint8_t *record, std::size_t size) {
    const int verdict =
        checkAttachRecord(record, size, {port.attached(), AttachedCount(), portLimit_});
    if (verdict != 0) {
        return verdict;
    }
    const std::uint8_t *name = record + ::bridge::kPortName;
    const std::uint8_t *address = record + ::bridge::kHwAddr;
    std::array<std::uint8_t, ::bridge::kHwAddrSize> hw{};
    std::copy(address, address + ::bridge::kHwAddrSize, hw.begin());
    port.Attach(reinterpret_cast<const char *>(name), hw);
    bridge_.AddPort(port);
    bridge_.Learn(port, hw);
    return 0;
}

void BridgeDevice::Flush(fuse_req_t req, fuse_ino_t, fuse_file_info *) {
    fuse_reply_err(req, 0);
}

void BridgeDevice::Release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    BridgeDevice &device = Of(req);
    auto found = device.ports_.find(fi->fh);
    if (found != device.ports_.end()) {
        if (found->second->attached()) {
            device.bridge_.RemovePort(*found->second);
        }
        device.ports_.erase(found);
    }
    fuse_reply_err(req, 0);
}

} // namespace vmbridge
