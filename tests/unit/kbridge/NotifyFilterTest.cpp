#include "NotifyFilter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The instructions the filter may use, run over a seccomp_data image. Any
// other instruction or a jump out of the program fails the run (nullopt).
std::optional<std::uint32_t> run(const std::vector<sock_filter> &program,
                                 const seccomp_data &data) {
    std::uint8_t image[sizeof data];
    std::memcpy(image, &data, sizeof data);
    std::uint32_t a = 0;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &op = program[pc];
        switch (op.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (op.k + 4 > sizeof image || op.k % 4 != 0) {
                return std::nullopt;
            }
            std::memcpy(&a, image + op.k, 4);
            break;
        case BPF_ALU | BPF_AND | BPF_K:
            a &= op.k;
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += a == op.k ? op.jt : op.jf;
            break;
        case BPF_JMP | BPF_JGE | BPF_K:
            pc += a >= op.k ? op.jt : op.jf;
            break;
        case BPF_JMP | BPF_JGT | BPF_K:
            pc += a > op.k ? op.jt : op.jf;
            break;
        case BPF_RET | BPF_K:
            return op.k;
        default:
            return std::nullopt;
        }
    }
    return std::nullopt; // fell off the end: the kernel refuses such a program
}

constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kNotify = SECCOMP_RET_USER_NOTIF;
constexpr std::uint32_t kNoTty = SECCOMP_RET_ERRNO | ENOTTY;

struct Case {
    const char *what;
    std::uint32_t arch;
    int nr;
    std::uint64_t request;
    std::uint32_t expected;
};

TEST(NotifyFilter, TrapsTheAttachAndRefusesTunRequests) {
    // Requests written out from their encodings: attach _IOW('n', 0x10, 22
    // bytes); TUNSETIFF _IOW('T', 202, int); TUNGETIFF _IOR('T', 210, int).
#if defined(__x86_64__)
    const Case cases[] = {
        {"attach", AUDIT_ARCH_X86_64, 16, 0x40166E10, kNotify},
        {"attach, upper half set", AUDIT_ARCH_X86_64, 16, 0xFFFFFFFF40166E10ULL, kNotify},
        {"attach from a 32-bit process", AUDIT_ARCH_I386, 54, 0x40166E10, kNotify},
        {"attach from an x32 process", AUDIT_ARCH_X86_64, 0x40000000 | 514, 0x40166E10, kNotify},
        {"TUNSETIFF", AUDIT_ARCH_X86_64, 16, 0x400454CA, kNoTty},
        {"TUNGETIFF", AUDIT_ARCH_X86_64, 16, 0x800454D2, kNoTty},
        {"TUNSETIFF, 32-bit", AUDIT_ARCH_I386, 54, 0x400454CA, kNoTty},
        {"'T' number 255", AUDIT_ARCH_X86_64, 16, 0x54FF, kNoTty},
        {"'T' number 199", AUDIT_ARCH_X86_64, 16, 0x54C7, kAllow},
        {"TCGETS", AUDIT_ARCH_X86_64, 16, 0x5401, kAllow},
        {"type 'U' number 200", AUDIT_ARCH_X86_64, 16, 0x55C8, kAllow},
        {"FIONREAD", AUDIT_ARCH_X86_64, 16, 0x541B, kAllow},
        {"attach request's number, other type", AUDIT_ARCH_X86_64, 16, 0x40166F10, kAllow},
        {"read(2) with the attach value", AUDIT_ARCH_X86_64, 0, 0x40166E10, kAllow},
        {"64-bit ioctl number under the 32-bit ABI", AUDIT_ARCH_I386, 16, 0x40166E10, kAllow},
        {"unknown architecture", 0x12345678, 16, 0x40166E10, kAllow},
    };
#elif defined(__i386__)
    // Built for a 32-bit host, the filter knows the i386 ABI alone.
    const Case cases[] = {
        {"attach", AUDIT_ARCH_I386, 54, 0x40166E10, kNotify},
        {"TUNSETIFF", AUDIT_ARCH_I386, 54, 0x400454CA, kNoTty},
        {"TUNGETIFF", AUDIT_ARCH_I386, 54, 0x800454D2, kNoTty},
        {"'T' number 255", AUDIT_ARCH_I386, 54, 0x54FF, kNoTty},
        {"'T' number 199", AUDIT_ARCH_I386, 54, 0x54C7, kAllow},
        {"TCGETS", AUDIT_ARCH_I386, 54, 0x5401, kAllow},
        {"attach request's number, other type", AUDIT_ARCH_I386, 54, 0x40166F10, kAllow},
        {"read(2) with the attach value", AUDIT_ARCH_I386, 3, 0x40166E10, kAllow},
        {"unknown architecture", 0x12345678, 54, 0x40166E10, kAllow},
    };
#else
    GTEST_SKIP() << "no cases written for this architecture";
    const Case cases[] = {{"none", 0, 0, 0, kAllow}};
#endif
    const std::vector<sock_filter> program = kbridge::buildNotifyFilter();
    ASSERT_LE(program.size(), static_cast<std::size_t>(BPF_MAXINSNS));
    for (const Case &c : cases) {
        seccomp_data data{};
        data.arch = c.arch;
        data.nr = c.nr;
        data.args[0] = 3;
        data.args[1] = c.request;
        const std::optional<std::uint32_t> action = run(program, data);
        ASSERT_TRUE(action.has_value()) << c.what;
        EXPECT_EQ(*action, c.expected) << c.what;
    }
}

#if defined(__x86_64__)
// The same program installed for real in a child: the attach reaches the
// listener (answered here with an unusual error), other requests pass.
TEST(NotifyFilter, InstalledFilterHandsTheAttachToTheListener) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::vector<sock_filter> program = kbridge::buildNotifyFilter();
        sock_fprog prog{static_cast<unsigned short>(program.size()), program.data()};
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        const long listener =
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
        int fd = static_cast<int>(listener);
        if (listener < 0 || write(pair[1], &fd, sizeof fd) != sizeof fd) {
            _exit(10);
        }
        // The parent takes the listener with pidfd_getfd.
        char record[22] = "vnic0";
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            _exit(11);
        }
        const int attached = ioctl(pipeFds[0], 0x40166E10, record);
        if (attached != -1 || errno != EXDEV) {
            _exit(12);
        }
        int queued = -1;
        if (ioctl(pipeFds[0], FIONREAD, &queued) != 0 || queued != 0) {
            _exit(13);
        }
        _exit(0);
    }
    int remoteListener = -1;
    ASSERT_EQ(read(pair[0], &remoteListener, sizeof remoteListener),
              static_cast<ssize_t>(sizeof remoteListener));
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    ASSERT_GE(pidfd, 0);
    const int listener = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, remoteListener, 0));
    ASSERT_GE(listener, 0) << std::strerror(errno);
    seccomp_notif request{};
    ASSERT_EQ(ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request), 0) << std::strerror(errno);
    EXPECT_EQ(request.pid, static_cast<std::uint32_t>(child));
    EXPECT_EQ(static_cast<std::uint32_t>(request.data.args[1]), 0x40166E10U);
    seccomp_notif_resp response{};
    response.id = request.id;
    response.error = -EXDEV;
    ASSERT_EQ(ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(listener);
    close(pidfd);
    close(pair[0]);
    close(pair[1]);
}
#endif

} // namespace
