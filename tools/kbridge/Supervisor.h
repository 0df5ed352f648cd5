#pragma once

#include "BridgeAttach.h"
#include "RtNetlink.h"
#include "TapWatcher.h"

#include <cstdint>
#include <linux/seccomp.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kbridge {

struct SupervisorConfig {
    std::string devicePath = bridge::kDevicePath;
    std::string bridgeName = "br0";
    std::string tapPrefix = "vbp";
    std::size_t portLimit = 32;
};

struct SupervisorCounters {
    std::uint64_t listeners = 0;
    std::uint64_t notifications = 0;
    std::uint64_t attaches = 0;
    std::uint64_t refused = 0;
    std::uint64_t vanished = 0; // the caller was gone before its answer
};

// Serves the attach requests of processes that run under the notify filter.
// An accepted attach makes the caller's descriptor (a tun file opened as the
// bridge device) a TAP interface, a port of a kernel bridge in the caller's
// network namespace; from then on reads, writes and signals are tun's own.
class Supervisor {
public:
    Supervisor(SupervisorConfig config, TapWatcher &watcher)
        : config_(std::move(config)), watcher_(watcher) {}
    Supervisor(const Supervisor &) = delete;
    Supervisor &operator=(const Supervisor &) = delete;
    ~Supervisor();

    // Takes a listener and the namespace its processes' ports live in (both
    // descriptors are owned from now on). False with the reason in error: a
    // descriptor that is not a notify listener or not a network namespace.
    bool AddListener(int listener, int namespaceFd, std::string &error);
    // Listener descriptors to poll.
    std::vector<int> Listeners() const;
    // Answers one notification waiting on the listener. Returns false when
    // the listener has no more processes (it is closed then).
    bool Serve(int listener);
    void DropListener(int listener);
    // Deletes every TAP made so far (the bridge ends).
    void DeleteTaps();
    // Networks known: each one holds its namespace open, so a network is
    // forgotten once no listener and no live port is left in it.
    std::size_t Networks() const { return networks_.size(); }
    // Whether a network without listeners still waits for its ports to go:
    // a port's interface may vanish only after its last process is seen to
    // end, so the supervisor looks again (ReleaseUnused) a little later.
    bool Lingering() const;
    // Forgets the networks that no listener uses and no live port is left in.
    void ReleaseUnused();

    const SupervisorCounters &counters() const { return counters_; }

private:
    struct Network {
        int id = 0;
        int namespaceFd = -1;
        RtNetlink link;
        int bridgeIndex = 0;
        std::vector<int> taps;
        std::size_t listeners = 0;
    };

    Network *NetworkOf(int namespaceFd, std::string &error);
    // The answer (0 or an errno) to one attach notification.
    int Attach(const seccomp_notif &request, int listener, Network &network);
    int MakePort(int fd, const std::uint8_t *record, Network &network);
    std::size_t LivePorts(Network &network);

    SupervisorConfig config_;
    TapWatcher &watcher_;
    std::vector<std::unique_ptr<Network>> networks_;
    std::map<int, Network *> listeners_;
    int nextNetworkId_ = 0;
    SupervisorCounters counters_;
};

} // namespace kbridge
