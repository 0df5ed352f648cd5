#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kbridge {

// The launchers connected to the supervisor's socket, until each has handed
// over its listener. The supervisor serves every port from one poll loop, so
// nothing here may wait for a client: connections are accepted without
// blocking, a client is read only once poll says it has sent, and one that
// has not sent its handover by its deadline is dropped. Only root's
// launchers are heard (SO_PEERCRED): a listener answers the ioctl calls of
// every process under its filter, and the supervisor acts on them as root.
class HandoverDesk {
public:
    using Clock = std::chrono::steady_clock;
    // What a handover is given to: the listener and the namespace (owned by
    // the callee from then on). False with the reason in error.
    using Take = std::function<bool(int listener, int namespaceFd, std::string &error)>;

    static constexpr std::chrono::milliseconds kDeadline{2000};

    // server: the listening socket (not owned).
    explicit HandoverDesk(int server, std::chrono::milliseconds deadline = kDeadline)
        : server_(server), deadline_(deadline) {}
    HandoverDesk(const HandoverDesk &) = delete;
    HandoverDesk &operator=(const HandoverDesk &) = delete;
    ~HandoverDesk();

    // Accepts every connection waiting on the server; one that is not root's
    // is answered with a refusal and closed at once.
    void Accept(Clock::time_point now);
    // The clients still to be heard.
    std::vector<int> Pending() const;
    // Milliseconds until the next deadline (at least 0), or -1 with none.
    int PollTimeout(Clock::time_point now) const;
    // Drops the clients whose deadline has passed.
    void Expire(Clock::time_point now);
    // Reads the handover of a client that poll found readable (or hung up),
    // gives it to take, answers and closes the client.
    void Hear(int client, const Take &take);

    std::uint64_t refused() const { return refused_; }
    std::uint64_t expired() const { return expired_; }

private:
    struct Client {
        int fd;
        Clock::time_point deadline;
    };
    void Drop(std::size_t at);

    int server_;
    std::chrono::milliseconds deadline_;
    std::vector<Client> clients_;
    std::uint64_t refused_ = 0;
    std::uint64_t expired_ = 0;
};

} // namespace kbridge
