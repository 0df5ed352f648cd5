#pragma once

#include "SnapshotText.h"

#include <optional>
#include <string>
#include <sys/types.h>

// Waiting for the snapshot a request asked for.

struct MonotonicTime {
    std::int64_t seconds;
    std::int32_t nanoseconds;
};

MonotonicTime monotonicNow();

// Watches the snapshot's folder; made before the request is sent, so that a
// snapshot written at once is not missed. Works without a watch (a missing
// folder) by looking again every few milliseconds.
class SnapshotWatch {
public:
    explicit SnapshotWatch(const std::string &path);
    ~SnapshotWatch();
    SnapshotWatch(const SnapshotWatch &) = delete;
    SnapshotWatch &operator=(const SnapshotWatch &) = delete;

    enum class Found {
        current, // from pid, taken at or after the request
        older,   // from pid, but taken before the request
        foreign, // from another process: an earlier service's file
        unreadable,
        none,
    };
    struct Outcome {
        Found found;
        std::optional<LeaseSnapshotText> snapshot; // current, older and foreign
        std::string why;                           // unreadable: what was wrong
    };

    // Until a snapshot written by pid at or after since appears, or
    // timeoutMs have passed; then what was found last.
    Outcome wait(pid_t pid, MonotonicTime since, int timeoutMs);

private:
    Outcome look(pid_t pid, MonotonicTime since) const;

    std::string path_;
    int inotify_ = -1;
};
