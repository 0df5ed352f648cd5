#include "NotifyFilter.h"

#include "AttachCheck.h"

#include <cerrno>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

namespace kbridge {

std::vector<IoctlAbi> trappedAbis() {
#if defined(__x86_64__)
    // The x32 ABI shares the architecture value and marks its numbers.
    return {{AUDIT_ARCH_X86_64, __NR_ioctl},
            {AUDIT_ARCH_X86_64, 0x40000000U | 514U},
            {AUDIT_ARCH_I386, 54}};
#elif defined(__i386__)
    return {{AUDIT_ARCH_I386, __NR_ioctl}};
#elif defined(__aarch64__)
    return {{AUDIT_ARCH_AARCH64, __NR_ioctl}, {AUDIT_ARCH_ARM, 54}};
#else
// cppcheck-suppress preprocessorErrorDirective
#error "the notify filter does not know this architecture's ioctl number"
#endif
}

namespace {

sock_filter statement(std::uint16_t code, std::uint32_t k) {
    return BPF_STMT(code, k);
}

sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t yes, std::uint8_t no) {
    return BPF_JUMP(code, k, yes, no);
}

} // namespace

std::vector<sock_filter> buildNotifyFilter() {
    using namespace seccomp_input;
    const std::vector<IoctlAbi> abis = trappedAbis();
    std::vector<sock_filter> program;
    // For each ABI four instructions: load the architecture, skip the block
    // unless it matches, load the number, jump to the request check when it
    // is ioctl's. After the blocks: allow; then the request check.
    const std::size_t perAbi = 4;
    const std::size_t checkAt = abis.size() * perAbi + 1;
    for (std::size_t i = 0; i < abis.size(); ++i) {
        const std::size_t here = program.size();
        program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kArch));
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, abis[i].arch, 0, 2));
        program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kNr));
        const std::size_t next = here + 4;
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, abis[i].nr,
                               static_cast<std::uint8_t>(checkAt - next), 0));
    }
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    // The request check (the low half of argument 1).
    program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, argLow(1)));
    program.push_back(
        jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(BRIDGE_IOC_ATTACH_PORT), 5, 0));
    program.push_back(statement(BPF_ALU | BPF_AND | BPF_K, 0xFFFF));
    program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, kTunRequestFirst, 0, 2));
    program.push_back(jump(BPF_JMP | BPF_JGT | BPF_K, kTunRequestLast, 1, 0));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
    return program;
}

} // namespace kbridge
