// vmbridge: a user-space stand-in for the virtual bridge driver. It serves a
// regular file as the bridge device over FUSE and switches frames between
// the ports attached through it and any TAP interfaces it is given.
#include "BridgeDevice.h"
#include "Options.h"
#include "PcapWriter.h"
#include "Switch.h"
#include "TapPort.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace vmbridge;

namespace {

void printCounters(const Switch &bridge, const BridgeDevice &device, const PcapWriter &pcap) {
    const DeviceCounters &c = device.counters();
    std::fprintf(stderr,
                 "vmbridge: switched %llu flooded %llu runts %llu; opens %llu attaches %llu "
                 "refused %llu; writes refused %llu; pcap errors %llu\n",
                 static_cast<unsigned long long>(bridge.framesSwitched()),
                 static_cast<unsigned long long>(bridge.framesFlooded()),
                 static_cast<unsigned long long>(bridge.framesRuntDropped()),
                 static_cast<unsigned long long>(c.opens),
                 static_cast<unsigned long long>(c.attaches),
                 static_cast<unsigned long long>(c.attachesRefused),
                 static_cast<unsigned long long>(c.writesRefused),
                 static_cast<unsigned long long>(pcap.errors()));
    for (const auto &[id, port] : bridge.ports()) {
        std::fprintf(stderr, "vmbridge:   %d %s: in %llu out %llu drops %llu\n", id,
                     port->Describe().c_str(), static_cast<unsigned long long>(port->framesIn),
                     static_cast<unsigned long long>(port->framesOut),
                     static_cast<unsigned long long>(port->drops));
    }
    std::fflush(stderr);
}

// Creates the mount point when it is missing; returns whether it did, so
// that it is removed again at exit.
bool prepareMountPoint(const std::string &path, bool &created) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "vmbridge: %s is not a regular file\n", path.c_str());
            return false;
        }
        created = false;
        return true;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "vmbridge: cannot create %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    close(fd);
    created = true;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        return 2;
    }
    if (options.help) {
        return 0;
    }

    // The signals that end the bridge or ask for its counters are taken
    // synchronously from the poll loop.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGUSR1);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signalFd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    PcapWriter pcap;
    if (!options.pcapPath.empty() && !pcap.Open(options.pcapPath)) {
        std::fprintf(stderr, "vmbridge: cannot write %s: %s\n", options.pcapPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Switch bridge(options.pcapPath.empty() ? nullptr : &pcap);

    std::vector<std::unique_ptr<TapPort>> taps;
    for (const std::string &name : options.taps) {
        auto tap = std::make_unique<TapPort>(name);
        if (!tap->Open()) {
            std::fprintf(stderr, "vmbridge: cannot create TAP interface %s: %s\n", name.c_str(),
                         std::strerror(errno));
            return 1;
        }
        bridge.AddPort(*tap);
        taps.push_back(std::move(tap));
    }

    bool created = false;
    if (!prepareMountPoint(options.path, created)) {
        return 1;
    }
    int status = 0;
    {
        BridgeDevice device(bridge, options.portLimit, options.queueLimit);
        if (!device.Mount(options.path)) {
            std::fprintf(stderr, "vmbridge: cannot serve %s\n", options.path.c_str());
            status = 1;
        } else {
            if (options.readyFd >= 0) {
                static const char ready[] = "ready\n";
                [[maybe_unused]] ssize_t n = write(options.readyFd, ready, sizeof ready - 1);
                close(options.readyFd);
            }
            std::vector<pollfd> fds;
            fds.push_back({signalFd, POLLIN, 0});
            fds.push_back({device.fd(), POLLIN, 0});
            for (const auto &tap : taps) {
                fds.push_back({tap->fd(), POLLIN, 0});
            }
            bool running = true;
            while (running) {
                if (poll(fds.data(), fds.size(), -1) < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    std::perror("vmbridge: poll");
                    status = 1;
                    break;
                }
                if ((fds[0].revents & POLLIN) != 0) {
                    signalfd_siginfo info{};
                    while (read(signalFd, &info, sizeof info) == sizeof info) {
                        if (info.ssi_signo == SIGUSR1) {
                            printCounters(bridge, device, pcap);
                        } else {
                            running = false;
                        }
                    }
                }
                if (fds[1].revents != 0 && !device.Serve()) {
                    std::fprintf(stderr, "vmbridge: %s was unmounted\n", options.path.c_str());
                    running = false;
                }
                for (std::size_t i = 0; i < taps.size(); ++i) {
                    if ((fds[i + 2].revents & POLLIN) != 0) {
                        taps[i]->Drain(bridge);
                    }
                }
            }
            device.Shutdown();
            printCounters(bridge, device, pcap);
        }
    }
    if (created) {
        unlink(options.path.c_str());
    }
    return status;
}
