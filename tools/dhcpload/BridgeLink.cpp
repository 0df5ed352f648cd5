#include "BridgeLink.h"

#include "BridgeAttach.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Interrupts the reader thread's blocking read when the link closes.
void onWakeSignal(int) {}

constexpr int kWakeSignal = SIGUSR1;

} // namespace

std::unique_ptr<BridgeLink> BridgeLink::Open(const std::string &devicePath,
                                             const std::string &portName, const MacAddr &mac,
                                             Mode mode, std::string &error) {
    std::unique_ptr<BridgeLink> link(new BridgeLink(mode, devicePath));
    const int flags = O_RDWR | O_CLOEXEC | (mode == Mode::kPoll ? O_NONBLOCK : 0);
    link->deviceFd_ = open(devicePath.c_str(), flags);
    if (link->deviceFd_ < 0) {
        error = "open " + devicePath + ": " + std::strerror(errno);
        return nullptr;
    }
    BridgePortRequest request = makeBridgePortRequest(portName.c_str(), mac.data());
    if (ioctl(link->deviceFd_, BRIDGE_IOC_ATTACH_PORT, &request) < 0) {
        error = "attach to " + devicePath + ": " + std::strerror(errno);
        return nullptr;
    }
    if (mode == Mode::kThread) {
        link->eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (link->eventFd_ < 0) {
            error = std::string("eventfd: ") + std::strerror(errno);
            return nullptr;
        }
        struct sigaction action {};
        action.sa_handler = onWakeSignal; // no SA_RESTART: the read must return
        sigemptyset(&action.sa_mask);
        sigaction(kWakeSignal, &action, nullptr);
        link->reader_ = std::thread([raw = link.get()] { raw->ReaderLoop(); });
    }
    return link;
}

BridgeLink::~BridgeLink() {
    if (reader_.joinable()) {
        stopping_ = true;
        // The signal may arrive just before the thread blocks in its read;
        // send it again until the thread has left its loop.
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (readerDone_) {
                    break;
                }
            }
            pthread_kill(reader_.native_handle(), kWakeSignal);
            usleep(1000);
        }
        reader_.join();
    }
    if (eventFd_ >= 0) {
        close(eventFd_);
    }
    if (deviceFd_ >= 0) {
        close(deviceFd_);
    }
}

std::string BridgeLink::Describe() const {
    return "bridge " + path_ +
           (mode_ == Mode::kPoll     ? " (poll)"
            : mode_ == Mode::kThread ? " (reader thread)"
                                     : " (blocking reads)");
}

void BridgeLink::ReaderLoop() {
    std::vector<std::uint8_t> frame(bridge::kReceiveBufferSize);
    while (!stopping_) {
        const ssize_t count = read(deviceFd_, frame.data(), frame.size());
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            break;
        }
        bool wasEmpty;
        {
            std::lock_guard lock(mutex_);
            wasEmpty = queue_.empty();
            queue_.emplace_back(frame.begin(), frame.begin() + count);
        }
        if (wasEmpty) {
            const std::uint64_t one = 1;
            (void)!write(eventFd_, &one, sizeof one);
        }
    }
    std::lock_guard lock(mutex_);
    readerDone_ = true;
    const std::uint64_t one = 1;
    (void)!write(eventFd_, &one, sizeof one);
}

long BridgeLink::Read(std::uint8_t *buffer, std::size_t capacity) {
    if (mode_ == Mode::kBlocking) {
        const ssize_t count = read(deviceFd_, buffer, capacity);
        if (count >= 0) {
            return count;
        }
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    }
    if (mode_ == Mode::kPoll) {
        for (;;) {
            const ssize_t count = read(deviceFd_, buffer, capacity);
            if (count >= 0) {
                return count;
            }
            if (errno != EINTR) {
                return errno == EAGAIN ? 0 : -1;
            }
        }
    }
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        // Reset the wake-up under the lock: the reader signals again for
        // the next frame, since it finds the queue empty.
        std::uint64_t value;
        (void)!read(eventFd_, &value, sizeof value);
        return readerDone_ && !stopping_ ? -1 : 0;
    }
    const std::vector<std::uint8_t> &frame = queue_.front();
    const std::size_t count = std::min(capacity, frame.size());
    std::memcpy(buffer, frame.data(), count);
    queue_.pop_front();
    return static_cast<long>(count);
}

bool BridgeLink::Write(const std::uint8_t *frame, std::size_t length) {
    for (;;) {
        const ssize_t count = write(deviceFd_, frame, length);
        if (count >= 0) {
            return static_cast<std::size_t>(count) == length;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}
