#include "ServiceProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A stand-in for /proc/PID with the two entries the check reads.
void fakeProcess(const TempDir &root, int pid, const std::string &stat, const char *exe) {
    const std::string dir = root.file(std::to_string(pid));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::ofstream(dir + "/stat") << stat;
    if (exe != nullptr) {
        ASSERT_EQ(symlink(exe, (dir + "/exe").c_str()), 0);
    }
}

TEST(InspectProcess, ReadsNameStateAndProgramFile) {
    const struct {
        int pid;
        const char *stat;
        const char *exe; // nullptr: unreadable, as for another user's process
        ProcessState state;
        const char *program;
    } cases[] = {
        {101, "101 (vlm_dhcpd) S 1 101 101 0", "/usr/sbin/vlm_dhcpd", ProcessState::service,
         "vlm_dhcpd"},
        {102, "102 (vlm_dhcpd) S 1 102 102 0", nullptr, ProcessState::service, "vlm_dhcpd"},
        // The program was replaced on disk by an upgrade while it runs.
        {103, "103 (vlm_dhcpd) S 1 103 103 0", "/usr/sbin/vlm_dhcpd (deleted)",
         ProcessState::service, "vlm_dhcpd"},
        // Renamed process, but its program is the service's.
        {104, "104 (worker) S 1 104 104 0", "/usr/local/sbin/vlm_dhcpd", ProcessState::service,
         "vlm_dhcpd"},
        // A name with blanks and parentheses ends at the last ')'.
        {105, "105 (a) S (b) R 1 105 105 0", "/usr/bin/python3.11", ProcessState::otherProgram,
         "python3.11"},
        {106, "106 (sleep) S 1 106 106 0", "/usr/bin/sleep", ProcessState::otherProgram, "sleep"},
        {107, "107 (vlm_dhcpd_x) S 1 107 107 0", nullptr, ProcessState::otherProgram,
         "vlm_dhcpd_x"},
        // Ended but not yet reaped.
        {108, "108 (vlm_dhcpd) Z 1 108 108 0", nullptr, ProcessState::notRunning, ""},
        {109, "109 (vlm_dhcpd) X 1 109 109 0", nullptr, ProcessState::notRunning, ""},
        {110, "garbage", nullptr, ProcessState::notRunning, ""},
        {111, "111 (vlm_dhcpd)", nullptr, ProcessState::notRunning, ""},
    };
    TempDir root;
    for (const auto &c : cases) {
        fakeProcess(root, c.pid, c.stat, c.exe);
        const ProcessInfo info = inspectProcess(root.path(), c.pid);
        EXPECT_EQ(info.state, c.state) << c.stat;
        EXPECT_EQ(info.program, c.program) << c.stat;
    }
    for (const int absent : {0, -1, 4242}) {
        EXPECT_EQ(inspectProcess(root.path(), absent).state, ProcessState::notRunning) << absent;
    }
}

// A child that takes the given name, says so through a pipe and waits for a
// signal with SIGHUP's default action (the end of the process).
pid_t startChild(const char *name) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGHUP, SIG_DFL);
        prctl(PR_SET_NAME, name);
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

TEST(SignalService, SignalsOnlyARunningService) {
    const pid_t service = startChild("vlm_dhcpd");
    ASSERT_GT(service, 0);
    ProcessInfo info{};
    EXPECT_EQ(signalService(kProcRoot, service, SIGHUP, info), 0);
    EXPECT_EQ(info.state, ProcessState::service);
    int status = 0;
    ASSERT_EQ(waitpid(service, &status, 0), service);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;

    const pid_t stranger = startChild("sleep");
    ASSERT_GT(stranger, 0);
    EXPECT_EQ(signalService(kProcRoot, stranger, SIGHUP, info), ESRCH);
    EXPECT_EQ(info.state, ProcessState::otherProgram);
    EXPECT_TRUE(reapRunning(stranger)) << "a process that is not the service was signalled";
}

TEST(SignalService, RefusesAnEndedService) {
    const pid_t service = startChild("vlm_dhcpd");
    ASSERT_GT(service, 0);
    kill(service, SIGKILL);
    // Not reaped yet: the pid still exists, as a zombie.
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(service), &ended, WEXITED | WNOWAIT), 0);
    ProcessInfo info{};
    EXPECT_EQ(signalService(kProcRoot, service, SIGHUP, info), ESRCH);
    EXPECT_EQ(info.state, ProcessState::notRunning);
    waitpid(service, nullptr, 0);
    // Reaped: the pid is gone.
    EXPECT_EQ(signalService(kProcRoot, service, SIGHUP, info), ESRCH);
    EXPECT_EQ(info.state, ProcessState::notRunning);
    EXPECT_EQ(signalService(kProcRoot, 0, SIGHUP, info), ESRCH);
}

} // namespace
