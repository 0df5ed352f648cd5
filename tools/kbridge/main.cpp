// kbridge: the supervisor of the kernel-path bridge. Processes started by
// kbridge-launch run under a filter that hands their attach requests here;
// each accepted attach turns the caller's bridge device descriptor (a tun
// file) into a TAP port of a kernel bridge. See docs/vmbridge.md.
#include "Handoff.h"
#include "HandoverDesk.h"
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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace kbridge;

namespace {

const char kUsage[] =
    "usage: kbridge --socket PATH [--bridge NAME] [--device PATH] [--ports N]\n"
    "               [--tap-prefix P] [--ready-fd N] [--die-with-parent]\n"
    "  --socket PATH      where kbridge-launch hands over its processes (created; its\n"
    "                     folder must be ours and mode 0700)\n"
    "  --bridge NAME      the kernel bridge the ports join, in each launcher's network\n"
    "                     namespace (default br0)\n"
    "  --device PATH      the bridge device's path as the ports open it (default\n"
    "                     /dev/vm-bridge; a character node 10,200)\n"
    "  --ports N          ports attached at once in one network (default 32)\n"
    "  --tap-prefix P     TAP interfaces are named P0, P1, ... (default vbp)\n"
    "  --ready-fd N       write \"ready\" to descriptor N once the socket listens\n"
    "  --die-with-parent  end (as on SIGTERM) when the parent process ends\n"
    "SIGTERM/SIGINT end it and delete every TAP it made; SIGUSR1 prints counters.\n";

// How often a network whose launchers have ended is looked at again until
// its last port is gone.
constexpr int kLingerCheckMs = 100;

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

// The socket's folder must be the supervisor's own and closed to everyone
// else (0700): in a folder others can write, another user could put a
// socket of their own at the path before the supervisor binds it, and take
// the launchers' listeners.
bool privateFolder(const std::string &path, std::string &error) {
    const std::string::size_type slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0 ? 1 : 0));
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0) {
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        error = folder + " is not a folder of ours closed to others (mode 0700)";
        return false;
    }
    return true;
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
    // Only the owner may connect (the folder is closed already).
    const mode_t mask = umask(0177);
    const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    umask(mask);
    if (!bound || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void printCounters(const Supervisor &supervisor) {
    const SupervisorCounters &c = supervisor.counters();
    std::fprintf(stderr,
                 "kbridge: listeners %llu notifications %llu attaches %llu refused %llu "
                 "callers gone %llu networks %zu\n",
                 static_cast<unsigned long long>(c.listeners),
                 static_cast<unsigned long long>(c.notifications),
                 static_cast<unsigned long long>(c.attaches),
                 static_cast<unsigned long long>(c.refused),
                 static_cast<unsigned long long>(c.vanished), supervisor.Networks());
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
        // An ignored signal never reaches the signalfd: one inherited so
        // (a shell's background job ignores SIGINT) would be lost.
        std::signal(sig, SIG_DFL);
        sigaddset(&handled, sig);
    }
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signalFd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    if (std::string error; !privateFolder(options.socketPath, error)) {
        std::fprintf(stderr, "kbridge: cannot listen at %s: %s\n", options.socketPath.c_str(),
                     error.c_str());
        return 1;
    }
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
    HandoverDesk desk(server);
    const HandoverDesk::Take take = [&supervisor](int listener, int ns, std::string &error) {
        if (supervisor.AddListener(listener, ns, error)) {
            return true;
        }
        std::fprintf(stderr, "kbridge: %s\n", error.c_str());
        return false;
    };
    bool running = true;
    while (running) {
        const std::vector<int> listeners = supervisor.Listeners();
        const std::vector<int> clients = desk.Pending();
        std::vector<pollfd> fds{{signalFd, POLLIN, 0}, {server, POLLIN, 0}};
        for (int fd : listeners) {
            fds.push_back({fd, POLLIN, 0});
        }
        for (int fd : clients) {
            fds.push_back({fd, POLLIN, 0});
        }
        int timeout = desk.PollTimeout(HandoverDesk::Clock::now());
        if (supervisor.Lingering() && (timeout < 0 || timeout > kLingerCheckMs)) {
            timeout = kLingerCheckMs;
        }
        if (poll(fds.data(), fds.size(), timeout) < 0) {
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
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (fds[i + 2 + listeners.size()].revents != 0) {
                desk.Hear(clients[i], take);
            }
        }
        desk.Expire(HandoverDesk::Clock::now());
        if (supervisor.Lingering()) {
            supervisor.ReleaseUnused();
        }
        if ((fds[1].revents & POLLIN) != 0) {
            desk.Accept(HandoverDesk::Clock::now());
        }
    }
    // The ports' reads and writes fail now, as when the driver goes away.
    supervisor.DeleteTaps();
    printCounters(supervisor);
    unlink(options.socketPath.c_str());
    return 0;
}
