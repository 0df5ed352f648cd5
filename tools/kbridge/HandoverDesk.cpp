#include "HandoverDesk.h"

#include "Handoff.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace kbridge {

namespace {

bool fromRoot(int client) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == 0;
}

} // namespace

HandoverDesk::~HandoverDesk() {
    for (const Client &client : clients_) {
        close(client.fd);
    }
}

void HandoverDesk::Accept(Clock::time_point now) {
    for (;;) {
        const int client = accept4(server_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return; // EAGAIN: none left; anything else is the next poll's
        }
        if (!fromRoot(client)) {
            ++refused_;
            sendWithDescriptors(client, std::string(handoff::kRefused) + "not root", nullptr, 0);
            close(client);
            continue;
        }
        clients_.push_back({client, now + deadline_});
    }
}

std::vector<int> HandoverDesk::Pending() const {
    std::vector<int> fds;
    fds.reserve(clients_.size());
    for (const Client &client : clients_) {
        fds.push_back(client.fd);
    }
    return fds;
}

int HandoverDesk::PollTimeout(Clock::time_point now) const {
    if (clients_.empty()) {
        return -1;
    }
    auto next = clients_.front().deadline;
    for (const Client &client : clients_) {
        next = std::min(next, client.deadline);
    }
    if (next <= now) {
        return 0;
    }
    // Rounded up, so that the poll does not wake just before the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 1 << 30));
}

void HandoverDesk::Expire(Clock::time_point now) {
    for (std::size_t i = clients_.size(); i-- > 0;) {
        if (clients_[i].deadline <= now) {
            ++expired_;
            Drop(i);
        }
    }
}

void HandoverDesk::Drop(std::size_t at) {
    close(clients_[at].fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(at));
}

void HandoverDesk::Hear(int client, const Take &take) {
    const auto found = std::find_if(clients_.begin(), clients_.end(),
                                    [client](const Client &c) { return c.fd == client; });
    if (found == clients_.end()) {
        return;
    }
    const auto at = static_cast<std::size_t>(found - clients_.begin());
    std::string text;
    int fds[handoff::kDescriptors];
    errno = 0;
    if (!receiveWithDescriptors(client, text, fds, handoff::kDescriptors)) {
        if (errno != EAGAIN) {
            Drop(at); // it hung up or failed: nothing to answer
        }
        return;
    }
    std::string answer = handoff::kAccepted;
    if (text != handoff::kListenerMessage || fds[0] < 0 || fds[1] < 0) {
        answer = std::string(handoff::kRefused) + "expected a listener and a namespace";
        for (int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    } else if (std::string error; !take(fds[0], fds[1], error)) {
        answer = handoff::kRefused + error;
    }
    sendWithDescriptors(client, answer, nullptr, 0);
    Drop(at);
}

} // namespace kbridge
