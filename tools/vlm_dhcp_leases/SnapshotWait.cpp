#include "SnapshotWait.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// How often to look again when no folder event says anything.
constexpr int kPollMs = 25;
// A snapshot of a full table is a few megabytes; anything far larger is not one.
constexpr std::size_t kMaxSnapshotSize = std::size_t{16} * 1024 * 1024;

std::string folderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// The whole file through one descriptor: the service replaces the file by
// rename, so this is one snapshot, never parts of two.
int readWhole(const std::string &path, std::string &text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    text.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            const int error = got < 0 ? errno : 0;
            close(fd);
            return error;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMaxSnapshotSize) {
            close(fd);
            return EFBIG;
        }
    }
}

std::int64_t millisecondsSince(const MonotonicTime &start) {
    const MonotonicTime now = monotonicNow();
    return (now.seconds - start.seconds) * 1000 + (now.nanoseconds - start.nanoseconds) / 1000000;
}

} // namespace

MonotonicTime monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int32_t>(now.tv_nsec)};
}

SnapshotWatch::SnapshotWatch(const std::string &path) : path_(path) {
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ >= 0 &&
        inotify_add_watch(inotify_, folderOf(path).c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        close(inotify_);
        inotify_ = -1;
    }
}

SnapshotWatch::~SnapshotWatch() {
    if (inotify_ >= 0) {
        close(inotify_);
    }
}

SnapshotWatch::Outcome SnapshotWatch::look(pid_t pid, MonotonicTime since) const {
    std::string text;
    if (const int error = readWhole(path_, text); error != 0) {
        return {error == ENOENT ? Found::none : Found::unreadable, std::nullopt,
                error == ENOENT ? std::string() : std::string(strerror(error))};
    }
    std::string why;
    std::optional<LeaseSnapshotText> snapshot = parseSnapshot(text, why);
    if (!snapshot) {
        return {Found::unreadable, std::nullopt, why};
    }
    Found found = Found::current;
    if (snapshot->pid != pid) {
        found = Found::foreign;
    } else if (!takenSince(*snapshot, since.seconds, since.nanoseconds)) {
        found = Found::older;
    }
    return {found, std::move(snapshot), {}};
}

SnapshotWatch::Outcome SnapshotWatch::wait(pid_t pid, MonotonicTime since, int timeoutMs) {
    const MonotonicTime start = monotonicNow();
    for (;;) {
        Outcome outcome = look(pid, since);
        const std::int64_t left = timeoutMs - millisecondsSince(start);
        if (outcome.found == Found::current || left <= 0) {
            return outcome;
        }
        pollfd watch{inotify_, POLLIN, 0};
        if (inotify_ >= 0) {
            // Every change in the folder wakes the wait: the watch was set
            // before the request, so no rename can slip by unseen.
            if (poll(&watch, 1, static_cast<int>(left)) > 0) {
                char events[4096];
                while (read(inotify_, events, sizeof events) > 0) {
                    // Only that something changed matters; the look tells what.
                }
            }
        } else {
            poll(nullptr, 0, static_cast<int>(left < kPollMs ? left : kPollMs));
        }
    }
}
