// kbridge: the supervisor of the kernel-path bridge. Processes started by
// kbridge-launch run under a filter that hands their attach requests here;
// each accepted attach turns the caller's bridge device descriptor (a tun
// file) into a TAP port of a kernel bridge. See docs/vmbridge.md.
#include "Handoff.h"
#include "Supervisor.h"
#include "TapWatcher.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/seccomp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace kbridge;

namespace {

const char kUsage[] =
    "usage: kbridge --socket PATH [--bridge NAME] [--device PATH] [--ports N]\n"
    "               [--tap-prefix P] [--ready-fd N] [--die-with-parent]\n"
    "  --socket PATH      where kbridge-launch hands over its processes (created)\n"
    "  --bridge NAME      the kernel bridge the ports join, in each launcher's network\n"
    "                     namespace (default br0)\n"
    "  --device PATH      the bridge device's path as the ports open it (default\n"
    "                     /dev/vm-bridge; a character node 10,200)\n"
    "  --ports N          ports attached at once in one network (default 32)\n"
    "  --tap-prefix P     TAP interfaces are named P0, P1, ... (default vbp)\n"
    "  --ready-fd N       write \"ready\" to descriptor N once the socket listens\n"
    "  --die-with-parent  end (as on SIGTERM) when the parent process ends\n"
    "SIGTERM/SIGINT end it and delete every TAP it made; SIGUSR1 prints counters.\n";

struct Options {
    SupervisorConfig config;
    std::string socketPath;
    int readyFd = -1;
    bool dieWithParent = false;
};

bool parse(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--die-with-parent") {
            options.dieWithParent = true;
            continue;
        }
        if (name == "-h" || name == "--help" || i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        char *end = nullptr;
        if (name == "--socket") {
            options.socketPath = value;
        } else if (name == "--bridge") {
            options.config.bridgeName = value;
        } else if (name == "--device") {
            options.config.devicePath = value;
        } else if (name == "--tap-prefix") {
            options.config.tapPrefix = value;
        } else if (name == "--ports") {
            options.config.portLimit = std::strtoul(value.c_str(), &end, 10);
        } else if (name == "--ready-fd") {
            options.readyFd = static_cast<int>(std::strtol(value.c_str(), &end, 10));
        } else {
            return false;
        }
        if (end != nullptr && (*end != '\0' || value.empty())) {
            return false;
        }
    }
    // TAP names: the prefix, up to 5 digits and the terminator in 16 bytes.
    return !options.socketPath.empty() && !options.config.tapPrefix.empty() &&
           options.config.tapPrefix.size() <= 10;
}

int listenAt(const std::string &path) {
    sockaddr_un address{};
    if (!socketAddress(path, address)) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One launcher's handover: its listener and network namespace.
void takeHandover(int server, Supervisor &supervisor) {
    const int connection = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
        return;
    }
    std::string text;
    int fds[handoff::kDescriptors];
    std::string answer = handoff::kAccepted;
    if (!receiveWithDescriptors(connection, text, fds, handoff::kDescriptors)) {
        answer.clear();
    } else if (text != handoff::kListenerMessage || fds[0] < 0 || fds[1] < 0) {
        answer = std::string(handoff::kRefused) + "expected a listener and a namespace";
        for (int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    } else if (std::string error; !supervisor.AddListener(fds[0], fds[1], error)) {
        answer = handoff::kRefused + error;
        std::fprintf(stderr, "kbridge: %s\n", error.c_str());
    }
    if (!answer.empty()) {
        sendWithDescriptors(connection, answer, nullptr, 0);
    }
    close(connection);
}

void printCounters(const Supervisor &supervisor) {
    const SupervisorCounters &c = supervisor.counters();
    std::fprintf(stderr,
                 "kbridge: listeners %llu notifications %llu attaches %llu refused %llu "
                 "callers gone %llu\n",
                 static_cast<unsigned long long>(c.listeners),
                 static_cast<unsigned long long>(c.notifications),
                 static_cast<unsigned long long>(c.attaches),
                 static_cast<unsigned long long>(c.refused),
                 static_cast<unsigned long long>(c.vanished));
}

// The notification records of the headers this was built with must hold
// what the running kernel writes.
bool kernelRecordsFit() {
    seccomp_notif_sizes sizes{};
    if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0) {
        return false;
    }
    return sizes.seccomp_notif <= sizeof(seccomp_notif) &&
           sizes.seccomp_notif_resp <= sizeof(seccomp_notif_resp);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!kernelRecordsFit()) {
        std::fprintf(stderr, "kbridge: this kernel has no seccomp user notification: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const pid_t parent = getppid();
    if (options.dieWithParent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            return 1;
        }
    }
    // The watcher is forked first, before any descriptor worth keeping.
    TapWatcher watcher;
    if (!watcher.Start()) {
        std::perror("kbridge: watcher");
        return 1;
    }
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1}) {
        sigaddset(&handled, sig);
    }
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signalFd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    const int server = listenAt(options.socketPath);
    if (server < 0) {
        std::fprintf(stderr, "kbridge: cannot listen at %s: %s\n", options.socketPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (options.readyFd >= 0) {
        static const char ready[] = "ready\n";
        [[maybe_unused]] ssize_t n = write(options.readyFd, ready, sizeof ready - 1);
        close(options.readyFd);
    }

    Supervisor supervisor(options.config, watcher);
    bool running = true;
    while (running) {
        std::vector<int> listeners = supervisor.Listeners();
        std::vector<pollfd> fds{{signalFd, POLLIN, 0}, {server, POLLIN, 0}};
        for (int listener : listeners) {
            fds.push_back({listener, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("kbridge: poll");
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            while (read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1) {
                    printCounters(supervisor);
                } else {
                    running = false;
                }
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            takeHandover(server, supervisor);
        }
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            const short events = fds[i + 2].revents;
            if ((events & POLLIN) != 0) {
                if (!supervisor.Serve(listeners[i])) {
                    supervisor.DropListener(listeners[i]);
                }
            } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                // Every process under this filter has ended.
                supervisor.DropListener(listeners[i]);
            }
        }
    }
    // The ports' reads and writes fail now, as when the driver goes away.
    supervisor.DeleteTaps();
    printCounters(supervisor);
    unlink(options.socketPath.c_str());
    return 0;
}
