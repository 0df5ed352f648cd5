#pragma once

#include "DhcpFrame.h"
#include "Link.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A port of the virtual bridge, attached exactly as the daemon attaches:
// open for reading and writing, one attach request with port name and
// hardware address, one frame per read and per write.
//
// With poll the device itself is polled and read without blocking. Where the
// driver cannot tell poll() that a frame waits, a reader thread makes the
// blocking reads and hands frames over through a queue and an eventfd.
// Blocking mode reads in the caller's thread exactly as the daemon does (Fd()
// is -1 then); a signal ends a read with 0.
class BridgeLink : public Link {
public:
    enum class Mode { kPoll, kThread, kBlocking };

    static std::unique_ptr<BridgeLink> Open(const std::string &devicePath,
                                            const std::string &portName, const MacAddr &mac,
                                            Mode mode, std::string &error);
    ~BridgeLink() override;

    int Fd() const override {
        return mode_ == Mode::kPoll ? deviceFd_ : mode_ == Mode::kThread ? eventFd_ : -1;
    }
    long Read(std::uint8_t *buffer, std::size_t capacity) override;
    bool Write(const std::uint8_t *frame, std::size_t length) override;
    std::string Describe() const override;

private:
    BridgeLink(Mode mode, std::string path) : mode_(mode), path_(std::move(path)) {}
    void ReaderLoop();

    Mode mode_;
    std::string path_;
    int deviceFd_ = -1;
    int eventFd_ = -1;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::deque<std::vector<std::uint8_t>> queue_;
    bool readerDone_ = false;
};
