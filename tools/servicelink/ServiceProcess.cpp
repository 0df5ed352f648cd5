#include "ServiceProcess.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <iterator>
#include <limits.h>
#include <string_view>
#include <unistd.h>

// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::string baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

} // namespace

ProcessInfo inspectProcess(const std::string &procRoot, pid_t pid) {
    if (pid <= 0) {
        return {ProcessState::notRunning, {}};
    }
    const std::string dir = procRoot + "/" + std::to_string(pid);
    std::ifstream statFile(dir + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)),
                           std::istreambuf_iterator<char>());
    // "PID (NAME) STATE ...": the name may itself hold blanks and
    // parentheses, so it ends at the last ')'.
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 2 >= stat.size()) {
        return {ProcessState::notRunning, {}};
    }
    const char state = stat[close + 2];
    if (state == 'Z' || state == 'X' || state == 'x') {
        return {ProcessState::notRunning, {}};
    }
    std::string name = stat.substr(open + 1, close - open - 1);

    char target[PATH_MAX];
    const ssize_t length = readlink((dir + "/exe").c_str(), target, sizeof target - 1);
    std::string program;
    if (length > 0) {
        std::string_view exe(target, static_cast<std::size_t>(length));
        if (exe.ends_with(kDeletedSuffix)) {
            exe.remove_suffix(kDeletedSuffix.size());
        }
        program = baseName(exe);
    }
    const bool isService = name == kServiceProgram || program == kServiceProgram;
    return {isService ? ProcessState::service : ProcessState::otherProgram,
            program.empty() ? name : program};
}

int signalService(const std::string &procRoot, pid_t pid, int signal, ProcessInfo &info) {
    if (pid <= 0) {
        info = {ProcessState::notRunning, {}};
        return ESRCH;
    }
    const int pidfd = pidfd_open(pid, 0);
    if (pidfd < 0 && errno == ENOSYS) {
        // Kernels before 5.3 have no process descriptors: check, then signal.
        info = inspectProcess(procRoot, pid);
        if (info.state != ProcessState::service) {
            return ESRCH;
        }
        return kill(pid, signal) == 0 ? 0 : errno;
    }
    if (pidfd < 0) {
        if (errno != ESRCH) {
            return errno;
        }
        info = {ProcessState::notRunning, {}};
        return ESRCH;
    }
    info = inspectProcess(procRoot, pid);
    int result = 0;
    if (info.state != ProcessState::service) {
        result = ESRCH;
    } else if (pidfd_send_signal(pidfd, signal, nullptr, 0) != 0) {
        result = errno;
        if (result == ESRCH) {
            info = {ProcessState::notRunning, {}};
        }
    }
    close(pidfd);
    return result;
}
