#include "Handoff.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kbridge {

namespace {
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(int) * handoff::kDescriptors);
}

bool socketAddress(const std::string &path, sockaddr_un &address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

bool sendWithDescriptors(int socket, const std::string &text, const int *fds, std::size_t count) {
    if (count > handoff::kDescriptors) {
        errno = EINVAL;
        return false;
    }
    iovec data{const_cast<char *>(text.data()), text.size()};
    alignas(cmsghdr) char control[kControlSize] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (count > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * count);
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * count);
        std::memcpy(CMSG_DATA(header), fds, sizeof(int) * count);
    }
    for (;;) {
        if (sendmsg(socket, &message, MSG_NOSIGNAL) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

bool receiveWithDescriptors(int socket, std::string &text, int *fds, std::size_t capacity) {
    for (std::size_t i = 0; i < capacity; ++i) {
        fds[i] = -1;
    }
    char buffer[handoff::kMaxMessage];
    iovec data{buffer, sizeof buffer};
    alignas(cmsghdr) char control[kControlSize] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return false;
    }
    text.assign(buffer, static_cast<std::size_t>(got));
    std::size_t taken = 0;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            continue;
        }
        const std::size_t n = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < n; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (taken < capacity) {
                fds[taken++] = fd;
            } else {
                close(fd);
            }
        }
    }
    return true;
}

} // namespace kbridge
