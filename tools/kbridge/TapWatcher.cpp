#include "TapWatcher.h"

#include "Handoff.h"
#include "RtNetlink.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kbridge {

namespace {

[[noreturn]] void watch(int socket) {
    prctl(PR_SET_NAME, "kbridge-watch");
    // A signal meant for the supervisor's group must not end the watcher
    // before it has done its one job.
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        std::signal(sig, SIG_IGN);
    }
    std::map<int, int> namespaces;
    std::vector<std::pair<int, int>> taps;
    for (;;) {
        std::string text;
        int fds[handoff::kDescriptors];
        if (!receiveWithDescriptors(socket, text, fds, handoff::kDescriptors)) {
            break;
        }
        int network = 0, index = 0;
        // The numbers were written by std::to_string of ints (below), so they
        // always convert.
        // NOLINTBEGIN(cert-err34-c)
        if (std::sscanf(text.c_str(), "net %d", &network) == 1 && fds[0] >= 0) {
            namespaces[network] = fds[0];
        } else if (std::sscanf(text.c_str(), "tap %d %d", &network, &index) == 2) {
            taps.emplace_back(network, index);
        } else if (std::sscanf(text.c_str(), "forget %d", &network) == 1) {
            if (auto ns = namespaces.find(network); ns != namespaces.end()) {
                close(ns->second);
                namespaces.erase(ns);
            }
            std::erase_if(taps, [network](const auto &tap) { return tap.first == network; });
        }
        // NOLINTEND(cert-err34-c)
    }
    for (const auto &[network, index] : taps) {
        auto ns = namespaces.find(network);
        if (ns == namespaces.end() || setns(ns->second, CLONE_NEWNET) != 0) {
            continue;
        }
        RtNetlink link;
        if (link.Open() == 0) {
            link.DeleteLink(index); // -ENODEV: its port closed it already
        }
    }
    _exit(0);
}

} // namespace

TapWatcher::~TapWatcher() {
    if (socket_ >= 0) {
        close(socket_);
    }
}

bool TapWatcher::Start() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
    }
    pid_ = fork();
    if (pid_ < 0) {
        close(pair[0]);
        close(pair[1]);
        return false;
    }
    if (pid_ == 0) {
        // Nothing else the supervisor's parent handed it stays open here (a
        // readiness pipe kept by the watcher would never show its end).
        const int keep = pair[1];
        if (keep > 3) {
            close_range(3, static_cast<unsigned int>(keep - 1), 0);
        }
        close_range(static_cast<unsigned int>(keep + 1), ~0U, 0);
        watch(keep);
    }
    close(pair[1]);
    socket_ = pair[0];
    return true;
}

void TapWatcher::TrackNetwork(int network, int namespaceFd) {
    if (socket_ >= 0) {
        sendWithDescriptors(socket_, "net " + std::to_string(network), &namespaceFd, 1);
    }
}

void TapWatcher::ForgetNetwork(int network) {
    if (socket_ >= 0) {
        sendWithDescriptors(socket_, "forget " + std::to_string(network), nullptr, 0);
    }
}

void TapWatcher::TrackTap(int network, int index) {
    if (socket_ >= 0) {
        sendWithDescriptors(socket_, "tap " + std::to_string(network) + " " + std::to_string(index),
                            nullptr, 0);
    }
}

} // namespace kbridge
