// kbridge-launch: runs a command as a port owner of the kernel-path bridge.
// It installs the notify filter (inherited by every child and kept across
// exec), hands the filter's listener to the supervisor kbridge, and execs
// the command. See docs/vmbridge.md.
//
//   kbridge-launch --socket PATH -- COMMAND [ARG...]
#include "Handoff.h"
#include "NotifyFilter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

int installFilter() {
    std::vector<sock_filter> program = kbridge::buildNotifyFilter();
    sock_fprog prog{static_cast<unsigned short>(program.size()), program.data()};
    long listener =
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    if (listener < 0 && errno == EACCES) {
        // Without CAP_SYS_ADMIN a filter needs no_new_privs.
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        listener =
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
    }
    return static_cast<int>(listener);
}

int connectTo(const std::string &path) {
    sockaddr_un address{};
    if (!kbridge::socketAddress(path, address)) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    // The listener answers for every ioctl of this process and its children:
    // it goes to root's supervisor only, not to whoever bound the path.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (fd >= 0 && (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != 0)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char **argv) {
    std::string socketPath;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--") {
            ++first;
            break;
        }
        if (arg == "--socket" && first + 1 < argc) {
            socketPath = argv[++first];
        } else {
            first = argc;
        }
    }
    if (socketPath.empty() || first >= argc) {
        std::fputs("usage: kbridge-launch --socket PATH -- COMMAND [ARG...]\n", stderr);
        return 2;
    }
    const int connection = connectTo(socketPath);
    if (connection < 0) {
        std::fprintf(stderr, "kbridge-launch: no supervisor at %s: %s\n", socketPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const int netns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int listener = installFilter();
    if (netns < 0 || listener < 0) {
        std::fprintf(stderr, "kbridge-launch: cannot install the notify filter: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const int fds[] = {listener, netns};
    std::string answer;
    int none[kbridge::handoff::kDescriptors];
    if (!kbridge::sendWithDescriptors(connection, kbridge::handoff::kListenerMessage, fds, 2) ||
        !kbridge::receiveWithDescriptors(connection, answer, none,
                                         kbridge::handoff::kDescriptors) ||
        answer != kbridge::handoff::kAccepted) {
        std::fprintf(stderr, "kbridge-launch: the supervisor did not take the listener: %s\n",
                     answer.empty() ? std::strerror(errno) : answer.c_str());
        return 1;
    }
    close(connection);
    close(listener);
    close(netns);
    execvp(argv[first], argv + first);
    std::fprintf(stderr, "kbridge-launch: %s: %s\n", argv[first], std::strerror(errno));
    return 127;
}
