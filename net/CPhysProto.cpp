#include "CPhysProto.h"

#include "CEthProtocol.h"
#include "Log.h"
#include "Memory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

CPhysProto::CPhysProto(const char *portName, const std::uint8_t *hwAddr, const char *devicePath) {
    buffer_ = static_cast<std::uint8_t *>(vlmAlloc(bridge::kReceiveBufferSize));
    if (buffer_ == nullptr) {
        vlmLog(LOG_ERR, "VLM-DHCP: Packet memory allocation failed.");
        return;
    }
    fd_ = ::open(devicePath, O_RDWR);
    if (fd_ < 0) {
        fd_ = -1;
        vlmLog(LOG_ERR, "VLM-DHCP: Couldn't open virtual bridge.");
        return;
    }
    BridgePortRequest request = makeBridgePortRequest(portName, hwAddr);
    if (::ioctl(fd_, BRIDGE_IOC_ATTACH_PORT, &request) < 0) {
        ::close(fd_);
        fd_ = -1;
        vlmLog(LOG_ERR, "VLM-DHCP: Couldn't find free port at virtual bridge.");
    }
}

CPhysProto::CPhysProto(AdoptDescriptor adopt) : fd_(adopt.fd) {
    buffer_ = static_cast<std::uint8_t *>(vlmAlloc(bridge::kReceiveBufferSize));
    if (buffer_ == nullptr) {
        vlmLog(LOG_ERR, "VLM-DHCP: Packet memory allocation failed.");
    }
}

void CPhysProto::Release() {
    delete this;
}

CPhysProto::~CPhysProto() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (buffer_ != nullptr) {
        std::free(buffer_);
        buffer_ = nullptr;
    }
    vlmLog(LOG_INFO,
           "VLM-DHCP: Successfully deleted all bridge connections and freed allocated memory.");
}

std::int32_t CPhysProto::ReceiveOne(CEthProtocol *eth) {
    if (buffer_ == nullptr) {
        return PROTO_E_NOMEM;
    }
    const ssize_t count = ::read(fd_, buffer_, bridge::kReceiveBufferSize);
    if (count < 0) {
        // An interrupted or empty read gives the main loop a turn.
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? PROTO_OK : PROTO_E_IO;
    }
    ++framesRead_;
    // The Ethernet layer copies the frame; its status is not the loop's
    // business, and a zero-byte read is dropped there as too short.
    if (eth != nullptr) {
        eth->ReceiveFrame(buffer_, static_cast<std::uint32_t>(count));
    }
    return PROTO_OK;
}

std::int32_t CPhysProto::Send(Packet *packet) {
    if (packet == nullptr || (packet->data == nullptr && packet->length != 0)) {
        return PROTO_E_INVAL;
    }
    // A signal (a renewal, the wake-up timer) that interrupts a write before
    // anything went out fails it with EINTR and nothing delivered: write
    // again rather than lose the reply.
    ssize_t written = 0;
    do {
        written = ::write(fd_, packet->data, packet->length);
    } while (written < 0 && errno == EINTR);
    if (written < 0 || static_cast<std::size_t>(written) != packet->length) {
        vlmLog(LOG_ERR, "VLM-DHCP: Couldn't send packet with %u len.", packet->length);
        return PROTO_E_IO;
    }
    return PROTO_OK;
}

std::int32_t CPhysProto::Receive(Packet *) {
    return PROTO_OK;
}
