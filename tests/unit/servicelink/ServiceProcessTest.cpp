#include "ServiceProcess.h"
#include "ServiceLock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <fstream>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char kDaemon[] = "/usr/sbin/vlm_dhcpd";
constexpr char kHeldLock[] = "lock:\t1: OFDLCK ADVISORY  WRITE -1 fe:00:4242 0 EOF\n";
constexpr char kRoot[] = "Name:\tx\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n";

// A stand-in for /proc/PID with the entries the check reads: one descriptor
// (3) open on target, with fdinfo text.
struct FakeProcess {
    int pid;
    const char *stat;
    const char *exe; // nullptr: unreadable, as for another user's process
    const char *status;
    bool onLockFile; // descriptor 3 is the lock file, else another file
    const char *fdinfo;
    ProcessState state;
    const char *program;
};

void fakeProcess(const TempDir &root, const FakeProcess &p, const std::string &lockFile) {
    const std::string dir = root.file(std::to_string(p.pid));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/fd").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/fdinfo").c_str(), 0755), 0);
    std::ofstream(dir + "/stat") << p.stat;
    std::ofstream(dir + "/status") << p.status;
    std::ofstream(dir + "/fdinfo/3") << "pos:\t0\nflags:\t02100002\n" << p.fdinfo;
    if (p.exe != nullptr) {
        ASSERT_EQ(symlink(p.exe, (dir + "/exe").c_str()), 0);
    }
    const std::string target = p.onLockFile ? lockFile : root.file("other");
    ASSERT_EQ(symlink(target.c_str(), (dir + "/fd/3").c_str()), 0);
}

TEST(InspectProcess, TheServiceRunsTheDaemonAsRootAndHoldsTheLock) {
    const FakeProcess cases[] = {
        {101, "101 (vlm_dhcpd) S 1 101 101 0", kDaemon, kRoot, true, kHeldLock,
         ProcessState::service, "vlm_dhcpd"},
        // The program was replaced on disk by an upgrade while it runs.
        {102, "102 (vlm_dhcpd) S 1 102 102 0", "/usr/sbin/vlm_dhcpd (deleted)", kRoot, true,
         kHeldLock, ProcessState::service, "vlm_dhcpd"},
        // Renamed process, but its program is the service's.
        {103, "103 (worker) S 1 103 103 0", kDaemon, kRoot, true, kHeldLock, ProcessState::service,
         "vlm_dhcpd"},
        // Anyone can name a process vlm_dhcpd, or copy the program elsewhere.
        {104, "104 (vlm_dhcpd) S 1 104 104 0", nullptr, kRoot, true, kHeldLock,
         ProcessState::otherProgram, "vlm_dhcpd"},
        {105, "105 (vlm_dhcpd) S 1 105 105 0", "/tmp/vlm_dhcpd", kRoot, true, kHeldLock,
         ProcessState::otherProgram, "vlm_dhcpd"},
        // A name with blanks and parentheses ends at the last ')'.
        {106, "106 (a) S (b) R 1 106 106 0", "/usr/bin/python3.11", kRoot, true, kHeldLock,
         ProcessState::otherProgram, "python3.11"},
        {107, "107 (vlm_dhcpd) S 1 107 107 0", kDaemon, "Uid:\t65534\t65534\t65534\t65534\n", true,
         kHeldLock, ProcessState::notRoot, "vlm_dhcpd"},
        {108, "108 (vlm_dhcpd) S 1 108 108 0", kDaemon, "Uid:\t1000\t0\t0\t0\n", true, kHeldLock,
         ProcessState::notRoot, "vlm_dhcpd"},
        // The daemon as root, but another one than the adapter's service.
        {109, "109 (vlm_dhcpd) S 1 109 109 0", kDaemon, kRoot, true, "", ProcessState::notHolder,
         "vlm_dhcpd"},
        {110, "110 (vlm_dhcpd) S 1 110 110 0", kDaemon, kRoot, false, kHeldLock,
         ProcessState::notHolder, "vlm_dhcpd"},
        {111, "111 (vlm_dhcpd) S 1 111 111 0", kDaemon, kRoot, true,
         "lock:\t1: OFDLCK ADVISORY  READ -1 fe:00:4242 0 EOF\n", ProcessState::notHolder,
         "vlm_dhcpd"},
        // Ended but not yet reaped.
        {112, "112 (vlm_dhcpd) Z 1 112 112 0", kDaemon, kRoot, true, kHeldLock,
         ProcessState::notRunning, ""},
        {113, "113 (vlm_dhcpd) X 1 113 113 0", kDaemon, kRoot, true, kHeldLock,
         ProcessState::notRunning, ""},
        {114, "garbage", kDaemon, kRoot, true, kHeldLock, ProcessState::notRunning, ""},
    };
    TempDir root;
    const ServiceClaim claim{root.file(".dhcp-lock.vnic0"), kDaemon};
    std::ofstream(claim.lockPath) << "";
    std::ofstream(root.file("other")) << "";
    for (const auto &c : cases) {
        fakeProcess(root, c, claim.lockPath);
        const ProcessInfo info = inspectProcess(root.path(), c.pid, claim);
        EXPECT_EQ(info.state, c.state) << c.pid;
        EXPECT_EQ(info.program, c.program) << c.pid;
    }
    // Without its lock file no process is the service.
    unlink(claim.lockPath.c_str());
    EXPECT_EQ(inspectProcess(root.path(), 101, claim).state, ProcessState::notHolder);
    for (const int absent : {0, -1, 4242}) {
        EXPECT_EQ(inspectProcess(root.path(), absent, claim).state, ProcessState::notRunning)
            << absent;
    }
}

// A child that says so through a pipe once it is ready (holding the lock
// when asked to) and waits for a signal with SIGHUP's default action.
pid_t startChild(const char *lockPath) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGHUP, SIG_DFL);
        if (lockPath != nullptr && takeServiceLock(lockPath) < 0) {
            _exit(1);
        }
        (void)!write(ready[1], "x", 1);
        for (;;) {
            pause();
        }
    }
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    close(ready[1]);
    return pid;
}

// Whether the child still ran; it is ended and reaped either way.
bool reapRunning(pid_t pid) {
    const bool running = waitpid(pid, nullptr, WNOHANG) == 0;
    if (running) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return running;
}

std::string ownProgram() {
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return std::string(exe, length > 0 ? static_cast<std::size_t>(length) : 0);
}

TEST(SignalService, SignalsOnlyTheHolderOfTheLock) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the service runs as root; so must its stand-in";
    }
    TempDir dir;
    const ServiceClaim claim{dir.file(".dhcp-lock.vnic0"), ownProgram()};
    const pid_t service = startChild(claim.lockPath.c_str());
    ASSERT_GT(service, 0);
    // The same program as root, but without the lock: a decoy.
    const pid_t decoy = startChild(nullptr);
    ASSERT_GT(decoy, 0);
    ProcessInfo info{};
    EXPECT_EQ(signalService(kProcRoot, decoy, SIGHUP, claim, info), ESRCH);
    EXPECT_EQ(info.state, ProcessState::notHolder);
    EXPECT_TRUE(reapRunning(decoy)) << "a process that is not the service was signalled";

    EXPECT_EQ(signalService(kProcRoot, service, SIGHUP, claim, info), 0);
    EXPECT_EQ(info.state, ProcessState::service);
    int status = 0;
    ASSERT_EQ(waitpid(service, &status, 0), service);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
}

TEST(SignalService, RefusesAnEndedService) {
    TempDir dir;
    const ServiceClaim claim{dir.file(".dhcp-lock.vnic0"), ownProgram()};
    const pid_t service = startChild(claim.lockPath.c_str());
    ASSERT_GT(service, 0);
    kill(service, SIGKILL);
    // Not reaped yet: the pid still exists, as a zombie.
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(service), &ended, WEXITED | WNOWAIT), 0);
    ProcessInfo info{};
    EXPECT_EQ(signalService(kProcRoot, service, SIGHUP, claim, info), ESRCH);
    EXPECT_EQ(info.state, ProcessState::notRunning);
    waitpid(service, nullptr, 0);
    // Reaped: the pid is gone.
    EXPECT_EQ(signalService(kProcRoot, service, SIGHUP, claim, info), ESRCH);
    EXPECT_EQ(info.state, ProcessState::notRunning);
    EXPECT_EQ(signalService(kProcRoot, 0, SIGHUP, claim, info), ESRCH);
}

// The service ends and its pid is given to a stranger between the check and
// the signal. In a pid namespace of its own, whose init this test's child
// is, ns_last_pid hands out the very pid again. The signal must fail and
// the stranger live.
TEST(SignalService, APidReusedAfterTheCheckIsNotSignalled) {
    if (geteuid() != 0 || access("/proc/sys/kernel/ns_last_pid", W_OK) != 0) {
        GTEST_SKIP() << "needs root and ns_last_pid for a pid namespace of its own";
    }
    const pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0) {
            _exit(10);
        }
        const pid_t init = fork(); // pid 1 of the new namespace
        if (init != 0) {
            int status = 0;
            waitpid(init, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 11);
        }
        const pid_t service = startChild(nullptr);
        pid_t stranger = -1;
        const auto check = [&] {
            kill(service, SIGKILL);
            waitpid(service, nullptr, 0);
            // /proc/sys here is the outer namespace's mount, but the value
            // is that of the writer's own namespace.
            std::ofstream("/proc/sys/kernel/ns_last_pid") << service - 1;
            stranger = startChild(nullptr);
            return ProcessInfo{ProcessState::service, "vlm_dhcpd"};
        };
        ProcessInfo info{};
        const int result = signalProcess(service, SIGHUP, check, info);
        if (stranger != service) {
            _exit(12); // the pid was not reused: nothing was shown
        }
        const bool strangerLived = reapRunning(stranger);
        _exit(result == ESRCH && strangerLived ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(outer, &status, 0), outer);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10: no pid namespace, 12: pid not reused, 13: the stranger was signalled";
}

} // namespace
