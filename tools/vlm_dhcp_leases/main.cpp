// vlm_dhcp_leases: shows the lease snapshot of a running vlm_dhcpd service.
// A service that writes format 2 or later rewrites its file by itself within
// about a second of every change to its leases and guests' names, so a file
// it wrote 1.5 s ago or earlier is read as it is. A younger file may have a
// rewrite pending: the service is asked for a new one (SIGUSR1), or, without
// the right to signal it, the tool waits until the file is that old or
// replaced. An older service, and --refresh, are always asked.

#include "LeaseOptions.h"
#include "LeaseReport.h"
#include "RenewRecordFile.h"
#include "ServiceProcess.h"
#include "ServiceRefusal.h"
#include "SnapshotFormat.h"
#include "SnapshotWait.h"

#include "AddressText.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr char kTool[] = "vlm_dhcp_leases";

// Exit statuses; the manual page lists them. 3 to 5 (ServiceRefusal.h) mean
// what they mean for vlm_dhcp_renew.
constexpr int kExitOk = 0;
constexpr int kExitNoSuchLease = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoSnapshot = 6;

// The first format whose writer keeps its file current by itself: it
// rewrites the file within its interval (1 s) of a change. A file that old
// has nothing pending, so it is as current as the table; the margin covers
// a busy service's delay.
constexpr int kSelfUpdatingVersion = 2;
constexpr std::int64_t kSettledMs = 1500;

std::int64_t msUntilSettled(const LeaseSnapshotText &snapshot, const MonotonicTime &now) {
    const std::int64_t age = (now.seconds - snapshot.monotonicSeconds) * 1000 +
                             (now.nanoseconds - snapshot.monotonicNanoseconds) / 1000000;
    return age >= kSettledMs ? 0 : kSettledMs - age;
}

bool settled(const LeaseSnapshotText &snapshot, const MonotonicTime &now) {
    return msUntilSettled(snapshot, now) == 0;
}

// Just after the snapshot was taken: a newer one is taken since then.
MonotonicTime after(const LeaseSnapshotText &snapshot) {
    return snapshot.monotonicNanoseconds == 999999999
               ? MonotonicTime{snapshot.monotonicSeconds + 1, 0}
               : MonotonicTime{snapshot.monotonicSeconds, snapshot.monotonicNanoseconds + 1};
}

// How long the service has to answer.
constexpr int kWaitMs = 1000;

void usage(std::FILE *to) {
    std::fprintf(to,
                 "Usage: %s [-d DEVICE] [--refresh]\n"
                 "       [--json | --mac MAC | --address ADDRESS | --hostname NAME]\n"
                 "Shows the leases of the running vlm_dhcpd service of DEVICE (default vnic0).\n"
                 "--mac prints the address bound to a guest, --address the guest bound to\n"
                 "an address, --hostname the address bound to a guest's name; each exits 1\n"
                 "when there is none. See vlm_dhcp_leases(8).\n",
                 kTool);
}

// The service's pid from its renew record, checked to be a live vlm_dhcpd.
int findService(const LeaseOptions &options, pid_t &pid) {
    const std::string path = renewFilePath(options.installDir, options.device);
    if (path.empty()) {
        std::fprintf(stderr, "%s: device name %s is too long: no service can run for it\n", kTool,
                     options.device.c_str());
        return kExitNoRenewFile;
    }
    ScopeRenewRecord record{};
    if (const int status =
            reportRecordRead(kTool, readRecordFile(path, record), path, options.device);
        status != kExitOk) {
        return status;
    }
    pid = record.pid;
    return kExitOk;
}

int reportNoSnapshot(const SnapshotWatch::Outcome &outcome, const std::string &path, pid_t pid) {
    switch (outcome.found) {
    case SnapshotWatch::Found::foreign:
        std::fprintf(stderr,
                     "%s: %s was written by pid %d, not by the running service (pid %d), and no "
                     "new snapshot came within 1 s; see the system log\n",
                     kTool, path.c_str(), static_cast<int>(outcome.snapshot->pid),
                     static_cast<int>(pid));
        break;
    case SnapshotWatch::Found::older:
        std::fprintf(stderr,
                     "%s: no new snapshot in %s within 1 s (the one there is older than the "
                     "request); see the system log\n",
                     kTool, path.c_str());
        break;
    case SnapshotWatch::Found::unreadable:
        std::fprintf(stderr, "%s: %s is not a usable snapshot: %s\n", kTool, path.c_str(),
                     outcome.why.c_str());
        break;
    default:
        std::fprintf(stderr,
                     "%s: no snapshot appeared in %s within 1 s; the service logs why it "
                     "couldn't write one\n",
                     kTool, path.c_str());
        break;
    }
    return kExitNoSnapshot;
}

int report(const LeaseOptions &options, const LeaseSnapshotText &snapshot) {
    switch (options.query) {
    case LeaseQuery::table:
        std::fputs(leaseTable(snapshot).c_str(), stdout);
        break;
    case LeaseQuery::json:
        std::fputs(leaseJson(snapshot).c_str(), stdout);
        break;
    case LeaseQuery::byHw: {
        const auto address = boundAddressOf(snapshot, options.hwAddress);
        if (!address) {
            return kExitNoSuchLease;
        }
        char text[kAddressTextSize];
        std::printf("%s\n", addressText(*address, text));
        break;
    }
    case LeaseQuery::byName: {
        const auto address = boundAddressNamed(snapshot, options.hostname);
        if (!address) {
            return kExitNoSuchLease;
        }
        char text[kAddressTextSize];
        std::printf("%s\n", addressText(*address, text));
        break;
    }
    case LeaseQuery::byAddress: {
        const auto holder = boundHolderOf(snapshot, options.address);
        if (!holder) {
            return kExitNoSuchLease;
        }
        char text[kHwAddressTextSize];
        std::printf("%s\n", hwAddressText(holder->data(), text));
        break;
    }
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitNoSnapshot;
}

// Whether the snapshot's writer is the running service, so that a settled
// file can be trusted as it is. Root asks the service's claim, as before a
// signal; another user can't look into a root process, and trusts the root
// folder the file lives in as long as its writer is alive.
bool writtenByTheService(pid_t pid, const ServiceClaim &claim) {
    if (geteuid() == 0) {
        return inspectProcess(kProcRoot, pid, claim).state == ProcessState::service;
    }
    return kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

int main(int argc, char **argv) {
    std::string error;
    const std::optional<LeaseOptions> options = parseLeaseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        usage(stderr);
        return kExitUsage;
    }
    if (options->help) {
        usage(stdout);
        return kExitOk;
    }
    if (options->version) {
        std::printf("%s %s\n", kTool, VLM_VERSION);
        return kExitOk;
    }

    pid_t pid = 0;
    if (const int status = findService(*options, pid); status != kExitOk) {
        return status;
    }
    char path[kRenewPathSize];
    if (!buildSnapshotPath(path, options->device.c_str(), options->runDir.c_str())) {
        std::fprintf(stderr, "%s: device name %s is too long for a snapshot path\n", kTool,
                     options->device.c_str());
        return kExitUsage;
    }
    SnapshotWatch watch(path);
    const MonotonicTime asked = monotonicNow();
    SnapshotWatch::Outcome outcome = watch.wait(pid, {0, 0}, 0);
    const ServiceClaim claim{lockFilePath(options->installDir, options->device), options->daemon};
    const bool selfUpdating = !options->refresh && outcome.found == SnapshotWatch::Found::current &&
                              outcome.snapshot->version >= kSelfUpdatingVersion &&
                              writtenByTheService(pid, claim);
    if (selfUpdating && settled(*outcome.snapshot, asked)) {
        return report(*options, *outcome.snapshot);
    }
    // Not ours to signal (only root may signal the service, and only root
    // can tell it is the service): the rewrite that may be pending is due
    // within the interval; a newer file, or the same one once settled, is as
    // current as the table.
    const auto settledOrNewer = [&] {
        const LeaseSnapshotText young = *outcome.snapshot;
        outcome = watch.wait(pid, after(young), static_cast<int>(msUntilSettled(young, asked)));
        return report(*options,
                      outcome.found == SnapshotWatch::Found::current ? *outcome.snapshot : young);
    };
    if (selfUpdating && geteuid() != 0) {
        return settledOrNewer();
    }
    ProcessInfo process{};
    if (const int failed = signalService(kProcRoot, pid, SIGUSR1, claim, process); failed != 0) {
        if (failed == EPERM && selfUpdating) {
            return settledOrNewer();
        }
        if (failed == ESRCH) {
            return reportNotService(kTool, process, static_cast<std::int32_t>(pid),
                                    renewFilePath(options->installDir, options->device), claim);
        }
        std::fprintf(stderr, "%s: cannot signal vlm_dhcpd (pid %d): %s\n", kTool,
                     static_cast<int>(pid), std::strerror(failed));
        return kExitNoSnapshot;
    }
    outcome = watch.wait(pid, asked, kWaitMs);
    if (outcome.found != SnapshotWatch::Found::current) {
        return reportNoSnapshot(outcome, path, pid);
    }
    return report(*options, *outcome.snapshot);
}
