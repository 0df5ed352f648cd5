#include "HandoverDesk.h"
#include "Handoff.h"
#include "Supervisor.h"
#include "TapWatcher.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using kbridge::HandoverDesk;
using std::chrono::milliseconds;
namespace handoff = kbridge::handoff;

constexpr milliseconds kDeadline{500};

// A listening socket in the abstract namespace: no file, no permissions, so
// a client of any user can reach it.
class DeskTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(server_, 0);
        address_.sun_family = AF_UNIX;
        const std::string name = "vlm-desk-test-" + std::to_string(getpid());
        std::memcpy(address_.sun_path + 1, name.data(), name.size());
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        ASSERT_EQ(bind(server_, reinterpret_cast<sockaddr *>(&address_), length_), 0);
        ASSERT_EQ(listen(server_, 8), 0);
    }
    void TearDown() override {
        for (int fd : clients_) {
            close(fd);
        }
        close(server_);
    }
    int Connect() {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address_), length_), 0);
        clients_.push_back(fd);
        return fd;
    }
    // The supervisor's answer to a client, or "" when it closed without one.
    static std::string Answer(int client) {
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) {
            return "(no answer)";
        }
        char buffer[handoff::kMaxMessage];
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }

    int server_ = -1;
    sockaddr_un address_{};
    socklen_t length_ = 0;
    std::vector<int> clients_;
};

TEST_F(DeskTest, SilentClientHoldsNoOneUpAndIsDroppedAtItsDeadline) {
    HandoverDesk desk(server_, kDeadline);
    const auto t0 = HandoverDesk::Clock::now();
    const int silent = Connect();
    const int talker = Connect();
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    ASSERT_TRUE(kbridge::sendWithDescriptors(talker, handoff::kListenerMessage, pipeEnds, 2));
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    desk.Accept(t0);
    ASSERT_EQ(desk.Pending().size(), 2u);
    EXPECT_EQ(desk.PollTimeout(t0), kDeadline.count());

    // The desk hears whoever has sent, in any order; the silent one is
    // never read, so it cannot block the loop.
    std::vector<int> taken;
    for (int fd : desk.Pending()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1) {
            desk.Hear(fd, [&](int listener, int ns, std::string &) {
                taken = {listener, ns};
                close(listener);
                close(ns);
                return true;
            });
        }
    }
    EXPECT_EQ(taken.size(), 2u);
    EXPECT_EQ(Answer(talker), handoff::kAccepted);
    ASSERT_EQ(desk.Pending().size(), 1u);

    desk.Expire(t0 + kDeadline - milliseconds(1));
    EXPECT_EQ(desk.Pending().size(), 1u);
    EXPECT_EQ(desk.PollTimeout(t0 + kDeadline - milliseconds(1)), 1);
    desk.Expire(t0 + kDeadline);
    EXPECT_TRUE(desk.Pending().empty());
    EXPECT_EQ(desk.PollTimeout(t0 + kDeadline), -1);
    EXPECT_EQ(desk.expired(), 1u);
    EXPECT_EQ(Answer(silent), ""); // closed, without an answer
}

TEST_F(DeskTest, WrongHandoversAreRefusedWithoutTakingAnything) {
    struct Case {
        const char *what;
        std::string text;
        int descriptors; // pipe ends sent along; -1: the client hangs up unsent
        std::string answer;
    };
    const std::string wrong =
        std::string(handoff::kRefused) + "expected a listener and a namespace";
    const std::vector<Case> cases = {
        {"another message", "hello", 2, wrong},
        {"no descriptors", handoff::kListenerMessage, 0, wrong},
        {"one descriptor", handoff::kListenerMessage, 1, wrong},
        {"hung up unsent", "", -1, "(no answer)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HandoverDesk desk(server_, kDeadline);
        const int client = Connect();
        int fds[2] = {-1, -1};
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        const int sent[2] = {fds[1], fds[0]}; // the write end first
        if (c.descriptors >= 0) {
            ASSERT_TRUE(kbridge::sendWithDescriptors(client, c.text, sent,
                                                     static_cast<std::size_t>(c.descriptors)));
        } else {
            shutdown(client, SHUT_WR);
        }
        desk.Accept(HandoverDesk::Clock::now());
        ASSERT_EQ(desk.Pending().size(), 1u);
        bool called = false;
        desk.Hear(desk.Pending()[0], [&](int, int, std::string &) {
            called = true;
            return true;
        });
        EXPECT_FALSE(called);
        EXPECT_TRUE(desk.Pending().empty());
        if (c.descriptors >= 0) {
            EXPECT_EQ(Answer(client), c.answer);
        }
        // The copies the desk received are closed: once ours is, the pipe's
        // write end has no holder left and its reader sees the end.
        close(fds[1]);
        if (c.descriptors > 0) {
            pollfd p{fds[0], POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 0), 1);
        }
        close(fds[0]);
    }
}

TEST_F(DeskTest, ClientNotRootsIsRefusedAtOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    HandoverDesk desk(server_, kDeadline);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // nobody's launcher
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address_), length_) != 0) {
            _exit(3);
        }
        [[maybe_unused]] ssize_t n = write(report[1], "c", 1);
        const std::string answer = Answer(fd);
        _exit(answer == std::string(handoff::kRefused) + "not root" ? 0 : 1);
    }
    close(report[1]);
    char byte;
    ASSERT_EQ(read(report[0], &byte, 1), 1); // connected
    close(report[0]);
    desk.Accept(HandoverDesk::Clock::now());
    EXPECT_TRUE(desk.Pending().empty());
    EXPECT_EQ(desk.refused(), 1u);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SupervisorTest, HandoverOfWrongDescriptorsIsRefused) {
    struct Case {
        const char *what;
        const char *namespacePath;
        const char *reason;
    };
    // The listener is a pipe in every case: one that passes the namespace
    // check is then refused as no notify listener.
    const Case cases[] = {
        {"another kind of namespace", "/proc/self/ns/uts", "not a network namespace"},
        {"a plain file", "/proc/self/status", "not a network namespace"},
        {"a pipe as the listener", "/proc/self/ns/net", "not a seccomp notify listener"},
    };
    kbridge::TapWatcher watcher; // not started: it is told nothing
    kbridge::Supervisor supervisor(kbridge::SupervisorConfig{}, watcher);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        const int ns = open(c.namespacePath, O_RDONLY | O_CLOEXEC);
        ASSERT_GE(ns, 0);
        std::string error;
        EXPECT_FALSE(supervisor.AddListener(fds[0], ns, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_TRUE(supervisor.Listeners().empty());
        EXPECT_EQ(supervisor.Networks(), 0u);
        // Both descriptors were taken and closed.
        EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
        EXPECT_EQ(fcntl(ns, F_GETFD), -1);
        close(fds[1]);
    }
}

} // namespace
