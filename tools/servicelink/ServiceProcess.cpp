#include "ServiceProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <limits.h>
#include <string_view>
#include <sys/stat.h>
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

std::string readText(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "Uid:\treal\teffective\tsaved\tfs": both of the first two must be 0.
bool runsAsRoot(const std::string &status) {
    const auto at = status.find("\nUid:");
    if (at == std::string::npos) {
        return false;
    }
    const char *next = status.c_str() + at + 5;
    for (int field = 0; field < 2; ++field) {
        char *end = nullptr;
        errno = 0;
        const unsigned long uid = std::strtoul(next, &end, 10);
        if (end == next || errno != 0 || uid != 0) {
            return false;
        }
        next = end;
    }
    return true;
}

// A write lock of an open file description, as fdinfo lists it:
// "lock:\t1: OFDLCK ADVISORY  WRITE -1 fe:00:1234 0 EOF".
bool holdsWriteLock(const std::string &fdinfo) {
    std::size_t at = 0;
    while ((at = fdinfo.find("lock:", at)) != std::string::npos) {
        const std::size_t end = fdinfo.find('\n', at);
        const std::string_view line(fdinfo.data() + at,
                                    (end == std::string::npos ? fdinfo.size() : end) - at);
        if (line.find("OFDLCK") != std::string_view::npos &&
            line.find("WRITE") != std::string_view::npos) {
            return true;
        }
        at += 5;
    }
    return false;
}

bool holdsLockFile(const std::string &dir, const std::string &lockPath) {
    struct stat lock {};
    if (lockPath.empty() || stat(lockPath.c_str(), &lock) != 0) {
        return false;
    }
    DIR *fds = opendir((dir + "/fd").c_str());
    if (fds == nullptr) {
        return false;
    }
    bool holds = false;
    std::string entryPath = dir;
    const std::size_t base = entryPath.size();
    while (const dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        entryPath.resize(base);
        entryPath += "/fd/";
        entryPath += entry->d_name;
        struct stat open {};
        if (stat(entryPath.c_str(), &open) != 0 || open.st_dev != lock.st_dev ||
            open.st_ino != lock.st_ino) {
            continue;
        }
        entryPath.resize(base);
        entryPath += "/fdinfo/";
        entryPath += entry->d_name;
        if (holdsWriteLock(readText(entryPath))) {
            holds = true;
            break;
        }
    }
    closedir(fds);
    return holds;
}

} // namespace

ProcessInfo inspectProcess(const std::string &procRoot, pid_t pid, const ServiceClaim &claim) {
    if (pid <= 0) {
        return {ProcessState::notRunning, {}};
    }
    const std::string dir = procRoot + "/" + std::to_string(pid);
    const std::string stat = readText(dir + "/stat");
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
    const std::string name = stat.substr(open + 1, close - open - 1);

    char target[PATH_MAX];
    const ssize_t length = readlink((dir + "/exe").c_str(), target, sizeof target - 1);
    std::string_view exe;
    if (length > 0) {
        exe = std::string_view(target, static_cast<std::size_t>(length));
        if (exe.ends_with(kDeletedSuffix)) {
            exe.remove_suffix(kDeletedSuffix.size());
        }
    }
    const std::string program = exe.empty() ? name : baseName(exe);
    if (exe.empty() || exe != claim.program) {
        return {ProcessState::otherProgram, program};
    }
    if (!runsAsRoot(readText(dir + "/status"))) {
        return {ProcessState::notRoot, program};
    }
    if (!holdsLockFile(dir, claim.lockPath)) {
        return {ProcessState::notHolder, program};
    }
    return {ProcessState::service, program};
}

int signalProcess(pid_t pid, int signal, const std::function<ProcessInfo()> &check,
                  ProcessInfo &info) {
    if (pid <= 0) {
        info = {ProcessState::notRunning, {}};
        return ESRCH;
    }
    const int pidfd = pidfd_open(pid, 0);
    if (pidfd < 0 && errno == ENOSYS) {
        // Kernels before 5.3 have no process descriptors: check, then signal.
        info = check();
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
    info = check();
    int result = 0;
    if (info.state != ProcessState::service) {
        result = ESRCH;
    } else if (pidfd_send_signal(pidfd, signal, nullptr, 0) != 0) {
        result = errno;
        if (result == ESRCH) {
            info = {ProcessState::notRunning, {}};
        }
    }
    ::close(pidfd);
    return result;
}

int signalService(const std::string &procRoot, pid_t pid, int signal, const ServiceClaim &claim,
                  ProcessInfo &info) {
    return signalProcess(
        pid, signal, [&] { return inspectProcess(procRoot, pid, claim); }, info);
}
