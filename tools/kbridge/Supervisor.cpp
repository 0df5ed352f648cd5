#include "Supervisor.h"

#include "AttachCheck.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <linux/nsfs.h>
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kbridge {

namespace {

// /dev/net/tun's numbers: the bridge device is a node with these, so that
// opening it gives a tun file.
constexpr unsigned int kTunMajor = 10, kTunMinor = 200;

int pidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int pidfdGetfd(int pidfd, int fd) {
    return static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
}

bool stillValid(int listener, std::uint64_t id) {
    return ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
}

// Whether the descriptor is the bridge device: a tun node at the device's
// path, not /dev/net/tun itself.
bool isBridgeDevice(int fd, const std::string &devicePath) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != kTunMajor ||
        minor(st.st_rdev) != kTunMinor) {
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 && devicePath == std::string(target, static_cast<std::size_t>(n));
}

bool sameFile(int a, int b) {
    struct stat sa {
    }, sb{};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A notify listener is an anonymous inode of this name.
bool isNotifyListener(int fd) {
    static const std::string kName = "anon_inode:seccomp notify";
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[64];
    const ssize_t n = readlink(link, target, sizeof target);
    return n > 0 && kName == std::string(target, static_cast<std::size_t>(n));
}

// A descriptor taken for one answer, closed on every way out (a duplicate of
// the port's tun file kept here would keep its TAP alive).
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

} // namespace

Supervisor::~Supervisor() {
    for (const auto &[listener, network] : listeners_) {
        close(listener);
    }
    for (const auto &network : networks_) {
        close(network->namespaceFd);
    }
}

Supervisor::Network *Supervisor::NetworkOf(int namespaceFd, std::string &error) {
    for (const auto &network : networks_) {
        if (sameFile(network->namespaceFd, namespaceFd)) {
            return network.get();
        }
    }
    // The netlink socket is opened inside the namespace and keeps it.
    const Fd home(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (home.fd < 0 || setns(namespaceFd, CLONE_NEWNET) != 0) {
        error = std::string("entering the network namespace: ") + std::strerror(errno);
        return nullptr;
    }
    auto network = std::make_unique<Network>();
    const int opened = network->link.Open();
    if (setns(home.fd, CLONE_NEWNET) != 0) {
        error = std::string("leaving the network namespace: ") + std::strerror(errno);
        return nullptr;
    }
    if (opened < 0) {
        error = std::string("netlink: ") + std::strerror(-opened);
        return nullptr;
    }
    const int bridge = network->link.LinkIndex(config_.bridgeName);
    if (bridge < 0) {
        error = "no bridge " + config_.bridgeName + " in that network: " + std::strerror(-bridge);
        return nullptr;
    }
    network->bridgeIndex = bridge;
    network->id = nextNetworkId_++;
    network->namespaceFd = fcntl(namespaceFd, F_DUPFD_CLOEXEC, 0);
    watcher_.TrackNetwork(network->id, network->namespaceFd);
    networks_.push_back(std::move(network));
    return networks_.back().get();
}

bool Supervisor::AddListener(int listener, int namespaceFd, std::string &error) {
    Network *network = nullptr;
    if (ioctl(namespaceFd, NS_GET_NSTYPE) != CLONE_NEWNET) {
        error = "the namespace is not a network namespace";
    } else if (!isNotifyListener(listener)) {
        error = "the listener is not a seccomp notify listener";
    } else {
        network = NetworkOf(namespaceFd, error);
    }
    close(namespaceFd);
    if (network == nullptr) {
        close(listener);
        return false;
    }
    ++network->listeners;
    listeners_[listener] = network;
    ++counters_.listeners;
    return true;
}

std::vector<int> Supervisor::Listeners() const {
    std::vector<int> fds;
    for (const auto &[listener, network] : listeners_) {
        fds.push_back(listener);
    }
    return fds;
}

void Supervisor::DropListener(int listener) {
    const auto found = listeners_.find(listener);
    if (found == listeners_.end()) {
        return;
    }
    --found->second->listeners;
    listeners_.erase(found);
    close(listener);
    ReleaseUnused();
}

bool Supervisor::Lingering() const {
    return std::any_of(
        networks_.begin(), networks_.end(),
        [](const std::unique_ptr<Network> &network) { return network->listeners == 0; });
}

void Supervisor::ReleaseUnused() {
    std::erase_if(networks_, [this](const std::unique_ptr<Network> &network) {
        if (network->listeners > 0 || LivePorts(*network) > 0) {
            return false;
        }
        watcher_.ForgetNetwork(network->id);
        close(network->namespaceFd);
        return true;
    });
}

bool Supervisor::Serve(int listener) {
    auto found = listeners_.find(listener);
    if (found == listeners_.end()) {
        return false;
    }
    seccomp_notif request;
    std::memset(&request, 0, sizeof request);
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
        // ENOENT: the caller went away between poll and receive.
        return errno == EINTR || errno == ENOENT;
    }
    ++counters_.notifications;
    seccomp_notif_resp response;
    std::memset(&response, 0, sizeof response);
    response.id = request.id;
    const int error = Attach(request, listener, *found->second);
    response.error = -error;
    response.val = 0;
    if (error == 0) {
        ++counters_.attaches;
    } else {
        ++counters_.refused;
    }
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response) != 0) {
        ++counters_.vanished;
    }
    return true;
}

int Supervisor::Attach(const seccomp_notif &request, int listener, Network &network) {
    // The filter traps only the attach request; anything else is not ours.
    if (static_cast<std::uint32_t>(request.data.args[1]) !=
        static_cast<std::uint32_t>(BRIDGE_IOC_ATTACH_PORT)) {
        return ENOTTY;
    }
    const Fd pidfd(pidfdOpen(static_cast<pid_t>(request.pid)));
    if (pidfd.fd < 0 || !stillValid(listener, request.id)) {
        return ESRCH; // the caller is gone; the answer goes nowhere
    }
    const Fd fd(pidfdGetfd(pidfd.fd, static_cast<int>(request.data.args[0])));
    if (fd.fd < 0) {
        return EBADF;
    }
    // Another file (a terminal, /dev/net/tun itself) knows no such request.
    if (!isBridgeDevice(fd.fd, config_.devicePath)) {
        return ENOTTY;
    }
    std::array<std::uint8_t, ::bridge::kRequestSize> record{};
    iovec local{record.data(), record.size()};
    // The record's address in the caller's memory arrives as a number.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    iovec remote{reinterpret_cast<void *>(static_cast<std::uintptr_t>(request.data.args[2])),
                 record.size()};
    const ssize_t copied =
        process_vm_readv(static_cast<pid_t>(request.pid), &local, 1, &remote, 1, 0);
    // The pid may have been reused since the notification: only a valid id
    // proves that the memory read was the caller's.
    if (!stillValid(listener, request.id)) {
        return ESRCH;
    }
    if (copied != static_cast<ssize_t>(record.size())) {
        return EFAULT;
    }
    return MakePort(fd.fd, record.data(), network);
}

std::size_t Supervisor::LivePorts(Network &network) {
    std::erase_if(network.taps, [&](int index) { return network.link.LinkExists(index) != 0; });
    return network.taps.size();
}

int Supervisor::MakePort(int fd, const std::uint8_t *record, Network &network) {
    // A tun file that is a TAP interface already answers TUNGETIFF.
    ifreq current{};
    const bool attached = ioctl(fd, TUNGETIFF, &current) == 0;
    vmbridge::AttachState state{attached, attached ? 0 : LivePorts(network), config_.portLimit};
    const int verdict = vmbridge::checkAttachRecord(record, ::bridge::kRequestSize, state);
    if (verdict != 0) {
        return verdict;
    }
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) {
        return EACCES;
    }
    // The TAP is made in the namespace the tun file was opened in. A port
    // that left its launcher's namespace (unshare) before it opened the
    // device would get an interface out of the bridge's reach, and the look
    // up by name below would find another port's: such a file is refused.
    const Fd fileNamespace(ioctl(fd, SIOCGSKNS));
    if (fileNamespace.fd < 0) {
        return errno;
    }
    if (!sameFile(fileNamespace.fd, network.namespaceFd)) {
        return EXDEV;
    }
    ifreq tap{};
    std::snprintf(tap.ifr_name, sizeof tap.ifr_name, "%s%%d", config_.tapPrefix.c_str());
    tap.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (ioctl(fd, TUNSETIFF, &tap) != 0) {
        return errno;
    }
    // The interface's name is looked up in the network's namespace, which
    // must be the interface's own.
    const Fd deviceNamespace(ioctl(fd, TUNGETDEVNETNS));
    if (deviceNamespace.fd < 0 || !sameFile(deviceNamespace.fd, network.namespaceFd)) {
        return EXDEV;
    }
    const int index = network.link.LinkIndex(tap.ifr_name);
    if (index < 0) {
        return -index;
    }
    if (std::find(network.taps.begin(), network.taps.end(), index) != network.taps.end()) {
        return EEXIST; // a port of the bridge already: never two entries for one
    }
    watcher_.TrackTap(network.id, index);
    network.taps.push_back(index);
    std::array<std::uint8_t, ::bridge::kHwAddrSize> address{};
    std::memcpy(address.data(), record + ::bridge::kHwAddr, address.size());
    const std::string name(reinterpret_cast<const char *>(record + ::bridge::kPortName));
    int result = network.link.JoinBridge(index, network.bridgeIndex, name);
    if (result == 0) {
        result = network.link.AddStaticEntry(index, address);
    }
    if (result != 0) {
        // Deleting the interface detaches the tun file again.
        network.link.DeleteLink(index);
        return -result;
    }
    return 0;
}

void Supervisor::DeleteTaps() {
    for (const auto &network : networks_) {
        for (int index : network->taps) {
            network->link.DeleteLink(index);
        }
        network->taps.clear();
    }
}

} // namespace kbridge
