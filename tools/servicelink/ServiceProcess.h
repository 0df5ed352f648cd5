#pragma once

#include <string>
#include <sys/types.h>

// Finding out whether a process id names a running vlm_dhcpd service before
// the tool signals it: a stale renew file (left by a killed service) may name
// a pid that now belongs to an unrelated process.

inline constexpr char kServiceProgram[] = "vlm_dhcpd";
inline constexpr char kProcRoot[] = "/proc";

enum class ProcessState {
    notRunning,   // no such process, or one that has ended (a zombie)
    otherProgram, // alive, but not vlm_dhcpd
    service,      // alive and running the vlm_dhcpd program
};

struct ProcessInfo {
    ProcessState state;
    std::string program; // the name the process goes by, when it is alive
};

// Looks at procRoot/PID/stat (name and state) and procRoot/PID/exe. The
// process counts as the service when either its name or its program file is
// vlm_dhcpd; a program file replaced by an upgrade shows as "(deleted)" and
// still counts.
ProcessInfo inspectProcess(const std::string &procRoot, pid_t pid);

// Sends signal to pid once it is known to be the service. A process descriptor
// pins the process first, so that a pid reused between the check and the
// signal makes the signal fail instead of reaching a stranger. Fills info
// with what the check found. Returns 0 when the signal was sent, ESRCH when
// pid is not a running service (see info), or the errno of a failed step.
int signalService(const std::string &procRoot, pid_t pid, int signal, ProcessInfo &info);
