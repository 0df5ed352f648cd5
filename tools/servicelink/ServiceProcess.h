#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

// Finding out whether a process id names the running service of an adapter
// before the tool signals it. The pid in the renew record is readable by
// anyone, a stale record (left by a killed service) may name a pid that now
// belongs to another process, and anyone can name a process vlm_dhcpd. So
// the tool asks the service's own claim: the process must hold the adapter's
// lock file (see ServiceLock.h), run as root, and run the installed daemon.

inline constexpr char kServiceProgram[] = "vlm_dhcpd";
inline constexpr char kProcRoot[] = "/proc";
// Where the package puts the daemon; tests name their build's with --daemon.
inline constexpr char kInstalledDaemon[] = VLM_INSTALLED_DAEMON;

// What makes a process the service of one adapter.
struct ServiceClaim {
    std::string lockPath; // the adapter's lock file
    std::string program;  // the daemon's program file
};

enum class ProcessState {
    notRunning,   // no such process, or one that has ended (a zombie)
    otherProgram, // alive, but not running the daemon's program
    notRoot,      // runs the daemon's program, but not as root
    notHolder,    // the daemon, as root, but not the one that holds the adapter's lock
    service,      // the service of the adapter
};

struct ProcessInfo {
    ProcessState state;
    std::string program; // the name of the program the process runs, when it is alive
};

// Looks at procRoot/PID: stat (name and state), exe (the program file; one
// replaced by an upgrade shows as "(deleted)" and still counts), status (the
// real and effective user) and the descriptors in fd and fdinfo: one of them
// must be the claim's lock file with a write lock on it.
ProcessInfo inspectProcess(const std::string &procRoot, pid_t pid, const ServiceClaim &claim);

// Sends signal to pid when check says it is the service. A process
// descriptor pins the process before check runs, so that a pid reused
// between the check and the signal makes the signal fail instead of reaching
// a stranger. Fills info with what check found. Returns 0 when the signal
// was sent, ESRCH when pid is not a running service (see info), or the errno
// of a failed step.
int signalProcess(pid_t pid, int signal, const std::function<ProcessInfo()> &check,
                  ProcessInfo &info);

// signalProcess with inspectProcess as the check.
int signalService(const std::string &procRoot, pid_t pid, int signal, const ServiceClaim &claim,
                  ProcessInfo &info);
