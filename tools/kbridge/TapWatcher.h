#pragma once

#include <sys/types.h>

namespace kbridge {

// A TAP interface lives as long as the port's tun file, that is as long as
// the port's process. When the bridge goes away its ports must fail as they
// would when the driver vanishes, so the TAPs are deleted then. The
// supervisor deletes them itself when it is asked to end; for the case that
// it is killed, a watcher process forked at start holds the other end of a
// socket, learns of every TAP, and deletes them all once the socket closes.
class TapWatcher {
public:
    TapWatcher() = default;
    TapWatcher(const TapWatcher &) = delete;
    TapWatcher &operator=(const TapWatcher &) = delete;
    ~TapWatcher();

    // Forks the watcher. Returns false with errno set on failure.
    bool Start();
    // A network namespace (its descriptor) under the id NETWORK.
    void TrackNetwork(int network, int namespaceFd);
    // A TAP interface, by index, in the network NETWORK.
    void TrackTap(int network, int index);
    // The network NETWORK has no port left: its namespace is let go.
    void ForgetNetwork(int network);

private:
    int socket_ = -1;
    pid_t pid_ = -1;
};

} // namespace kbridge
