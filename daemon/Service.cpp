#include "Service.h"

#include "Adapter.h"
#include "AddressCensus.h"
#include "AddressPlan.h"
#include "AddressReclaimer.h"
#include "CARPProtocol.h"
#include "CDHCPProtocol.h"
#include "CEthProtocol.h"
#include "CIPProtocol.h"
#include "CPhysProto.h"
#include "LeaseSnapshot.h"
#include "Log.h"
#include "RenewFile.h"
#include "ScopeCheck.h"
#include "ServiceLock.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

std::atomic<std::int32_t> serviceFlags{0};

namespace {

// The claim on the adapter (see ServiceLock.h): taken by the start-up
// process, inherited by the service, given up when the service ends.
char gLockPath[kRenewPathSize];
int gLockFd = -1;

// SIGHUP and SIGUSR1 end a process that has no handler for them, and the
// service has none until it has logged its start and checked its scope
// (syslog may block meanwhile), while a supervisor may send a reload as soon
// as the start-up process has ended. So both are blocked from before the
// fork until the handlers are in place; one that came meanwhile is served
// at once.
sigset_t requestSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

// The loop looks at the renew bit right before each bridge read, but a
// SIGHUP can still land after that look and before the read blocks; it would
// then wait for the next frame, on a quiet network for ever. So the handler
// also starts a short periodic wake-up timer. Its signal interrupts the read
// as SIGHUP would have, and it keeps ticking until the loop has seen the bit
// and stops it. A tick that meets no read only costs a spurious EINTR.
constexpr int kWakeSignal = SIGALRM;
constexpr long kWakeIntervalNs = 5L * 1000 * 1000;
timer_t gWakeTimer{};
std::atomic<bool> gWakeTimerReady{false};
// A one-shot timer on the same signal that ends the read when a held-back
// snapshot rewrite falls due on a quiet network.
timer_t gRewriteTimer{};
bool gRewriteTimerReady = false;
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

void setWakeTimer(long intervalNs) {
    if (!gWakeTimerReady.load()) {
        return;
    }
    itimerspec spec{};
    spec.it_value.tv_nsec = intervalNs;
    spec.it_interval.tv_nsec = intervalNs;
    timer_settime(gWakeTimer, 0, &spec, nullptr); // async-signal-safe
}

void wakeHandler(int /*signal*/) {
    // Its only work is to interrupt the read.
}

void installWakeTimer() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART, as for SIGHUP
    action.sa_handler = wakeHandler;
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = kWakeSignal;
    if (sigaction(kWakeSignal, &action, nullptr) != 0 ||
        timer_create(CLOCK_MONOTONIC, &event, &gWakeTimer) != 0) {
        // Renewals then wait for the next frame when the SIGHUP came
        // between the look and the read; everything else works.
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC can't create its wake-up timer.");
        return;
    }
    gWakeTimerReady.store(true);
    gRewriteTimerReady = timer_create(CLOCK_MONOTONIC, &event, &gRewriteTimer) == 0;
}

void armRewriteTimer(std::int64_t inMs) {
    if (!gRewriteTimerReady) {
        return; // the rewrite then waits for the next frame
    }
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(inMs / 1000);
    spec.it_value.tv_nsec = static_cast<long>(inMs % 1000) * 1000 * 1000 + 1;
    timer_settime(gRewriteTimer, 0, &spec, nullptr);
}

// SIGHUP and SIGUSR1 ask for work in the same way: the handler sets the
// request's bit in the flag word and starts the wake-up timer.
template <std::int32_t RequestBit>
void requestHandler(int /*signal*/, siginfo_t * /*info*/, void * /*context*/) {
    const int savedErrno = errno;
    serviceFlags.fetch_or(RequestBit);
    setWakeTimer(kWakeIntervalNs);
    errno = savedErrno;
}

// No SA_RESTART: a request must interrupt the blocking bridge read so that
// it is served at once, not after the next frame.
bool installRequestHandler(int signal, void (*handler)(int, siginfo_t *, void *)) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    action.sa_sigaction = handler;
    return sigaction(signal, &action, nullptr) == 0;
}

// Stops the wake-up timer once a request's bit was cleared, unless another
// request is pending by then. A signal that lands between the clearing and
// the stop sets its bit and starts the timer, which the stop would cancel:
// the bits are looked at again after it. A signal after that look starts
// the timer itself.
// A running census needs the ticks as well: they pace its requests on a
// quiet link, and so does a reclaimer with probes out. Only the main loop
// reads or writes these.
bool gCensusTicking = false;
bool gReclaimTicking = false;

void stopWakeTimer() {
    if (gCensusTicking || gReclaimTicking) {
        return;
    }
    setWakeTimer(0);
    if ((serviceFlags.load() & (kRenewBit | kSnapshotBit)) != 0) {
        setWakeTimer(kWakeIntervalNs);
    }
}

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Without the wake-up timer nothing would pace a census on a quiet link and
// new guests would wait for other frames; the service then learns only from
// the ARP it hears.
void startCensus(AddressCensus *census) {
    if (census == nullptr || !gWakeTimerReady.load()) {
        return;
    }
    census->Start(monotonicNs());
    gCensusTicking = true;
    setWakeTimer(kWakeIntervalNs);
}

void pumpCensus(AddressCensus *census) {
    if (!gCensusTicking || census->Pump(monotonicNs())) {
        return;
    }
    gCensusTicking = false;
    stopWakeTimer();
    vlmLog(LOG_INFO, "Velmarind DHCP server for virtual NIC found %u of %u pool addresses in use.",
           census->Learned(), census->Asked());
}

void pumpReclaimer(AddressReclaimer *reclaimer) {
    if (reclaimer == nullptr || (!gReclaimTicking && !reclaimer->Busy())) {
        return;
    }
    const std::uint32_t before = reclaimer->Reclaimed();
    const bool busy = reclaimer->Pump(monotonicNs());
    if (reclaimer->Reclaimed() != before) {
        vlmLog(LOG_INFO,
               "Velmarind DHCP server for virtual NIC reclaimed %u pool address(es) nobody "
               "answers for, %u in all.",
               reclaimer->Reclaimed() - before, reclaimer->Reclaimed());
    }
    if (busy && !gReclaimTicking && gWakeTimerReady.load()) {
        gReclaimTicking = true;
        setWakeTimer(kWakeIntervalNs);
    } else if (!busy && gReclaimTicking) {
        gReclaimTicking = false;
        stopWakeTimer();
    }
}

bool scopeAccepted(const ServiceScope &scope) {
    switch (checkScope(scope.start, scope.end, scope.mask)) {
    case ScopeVerdict::tooFewAddresses:
        vlmLog(LOG_ERR,
               "Velmarind DHCP server for virtual NIC have not enough free addresses. Need at "
               "least %u but allocated only %u.",
               kNeededAddresses, scope.end - scope.start);
        return false;
    case ScopeVerdict::startAboveEnd:
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC have scope misconfiguration. Seems "
                        "ScopeStart > ScopeEnd.");
        return false;
    case ScopeVerdict::crossesSubnet:
        vlmLog(LOG_ERR,
               "Velmarind DHCP server for virtual NIC have scope misconfiguration. Seems "
               "ScopeEnd 0x%x lies outside the subnet of ScopeStart 0x%x under mask 0x%x.",
               scope.end, scope.start, scope.mask);
        return false;
    case ScopeVerdict::ok:
        break;
    }
    return true;
}

// Applies the renew file if a SIGHUP asked for it since the last look;
// false when none did.
bool serveRenewal(const char *path, ScopeRenewRecord &record, ServiceScope &current,
                  const ServiceLayers &layers, AddressCensus *census) {
    if ((serviceFlags.fetch_and(~kRenewBit) & kRenewBit) == 0) {
        return false;
    }
    stopWakeTimer();
    if (readRenewFile(path, record) != 0) {
        return true;
    }
    vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC renewing scope.");
    const ServiceScope wanted{record.scopeStart, record.scopeEnd, record.scopeMask};
    if (wanted == current) {
        return true;
    }
    vlmLog(LOG_ERR, "     Start=0x%x Stop=0x%x Mask=0x%x.", wanted.start, wanted.end, wanted.mask);
    current = wanted;
    applyScope(layers, current.start, current.end, current.mask);
    // A renewal always brings the adapter up, whatever "Start interface" said.
    configureAdapter(record.adapterName, hostAdapterAddress(current.start), current.mask, 1);
    // The table was emptied, but guests of the old scope may hold addresses
    // of the new one.
    startCensus(census);
    return true;
}

// The snapshot follows the table by itself, but at most once per
// kRewriteIntervalMs: under a storm of new guests a full table's file is
// written about once a second, not once per ACK. A change held back is
// written when the interval is over, frame or no frame.
constexpr std::int64_t kRewriteIntervalMs = 1000;

struct RewritePace {
    std::uint32_t writtenChanges = 0;
    std::int64_t lastWriteMs = -kRewriteIntervalMs;
    bool timerArmed = false;
    // A rewrite of its own that failed is logged once, until one succeeds
    // again, and not at all when the folder is missing; a request's failure
    // is logged each time.
    bool failureLogged = false;
};

std::int64_t monotonicMs() {
    return monotonicNs() / 1000000;
}

// Whether the table changed since the last snapshot and the interval allows
// a rewrite now; arms the timer for a change that has to wait.
bool rewriteDue(const CDHCPProtocol &dhcp, RewritePace &pace) {
    if (dhcp.GuestChanges() == pace.writtenChanges) {
        return false;
    }
    const std::int64_t wait = pace.lastWriteMs + kRewriteIntervalMs - monotonicMs();
    if (wait <= 0) {
        return true;
    }
    if (!pace.timerArmed) {
        armRewriteTimer(wait);
        pace.timerArmed = true;
    }
    return false;
}

// Writes the lease snapshot if a SIGUSR1 asked for one since the last look,
// or the table changed (see RewritePace). A failure changes nothing else.
void serveSnapshot(const SnapshotTarget &target, const ServiceScope &current,
                   const CDHCPProtocol &dhcp, const CPhysProto &phys, RewritePace &pace) {
    const bool asked = (serviceFlags.fetch_and(~kSnapshotBit) & kSnapshotBit) != 0;
    if (asked) {
        stopWakeTimer();
    }
    if (target.path == nullptr || (!asked && !rewriteDue(dhcp, pace))) {
        return;
    }
    pace.writtenChanges = dhcp.GuestChanges();
    pace.lastWriteMs = monotonicMs();
    pace.timerArmed = false;
    SnapshotFacts facts{};
    facts.device = target.device;
    facts.ownAddress = current.start;
    facts.scopeStart = current.start;
    facts.scopeEnd = current.end;
    facts.scopeMask = current.mask;
    facts.framesRead = phys.FramesRead();
    facts.counters = &dhcp.Counters();
    stampSnapshotFacts(facts);
    const int error = writeLeaseSnapshot(target.path, facts, dhcp.Leases(), dhcp.Guests());
    if (error == 0) {
        pace.failureLogged = false;
    } else if (asked || (!pace.failureLogged && error != ENOENT)) {
        // Without the folder (run by hand, not by the unit that makes it)
        // nobody reads snapshots unless they ask for one.
        pace.failureLogged = pace.failureLogged || !asked;
        vlmLog(LOG_ERR,
               "Velmarind DHCP server for virtual NIC couldn't write lease snapshot %s: %s.",
               target.path[0] != '\0' ? target.path : target.device, std::strerror(error));
    }
}

void removeSnapshotFile(const char *path) {
    if (path[0] != '\0' && unlink(path) != 0 && errno != ENOENT) {
        vlmLog(LOG_ERR,
               "Velmarind DHCP server for virtual NIC couldn't delete lease snapshot %s: %s.", path,
               std::strerror(errno));
    }
}

} // namespace

void installSighupHandler() {
    installWakeTimer();
    if (!installRequestHandler(SIGHUP, requestHandler<kRenewBit>)) {
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC Can't connect SIGHUP....");
        vlmLog(LOG_ERR, "                      You will not able to change scope config on fly.");
    }
}

void installSnapshotHandler() {
    if (!installRequestHandler(SIGUSR1, requestHandler<kSnapshotBit>)) {
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC can't connect SIGUSR1: no lease "
                        "snapshots.");
    }
}

void runMainLoop(const ServiceStack &stack, const char *renewPath, ScopeRenewRecord &record,
                 ServiceScope &current, const SnapshotTarget &snapshot) {
    // The bits are looked at before every read, the first included. Renewals
    // are served until the renew bit stays clear (a SIGHUP during a renewal
    // is served next); a snapshot at most once per pass, so that a storm of
    // requests cannot keep the loop from reading frames. A request that
    // comes during a snapshot restarts the wake-up timer and is served after
    // the next read returns.
    // The table is empty when the loop starts (and an earlier service
    // removed its file at exit): the first change is the first to write.
    RewritePace pace;
    pace.writtenChanges = stack.layers.dhcp->GuestChanges();
    // The census sends only after a read succeeded: a port that never
    // attached would fail every request.
    for (;;) {
        while (serveRenewal(renewPath, record, current, stack.layers, stack.census)) {
        }
        serveSnapshot(snapshot, current, *stack.layers.dhcp, *stack.phys, pace);
        if (stack.phys->ReceiveOne(stack.layers.eth) != PROTO_OK) {
            break;
        }
        pumpCensus(stack.census);
        pumpReclaimer(stack.reclaimer);
    }
}

std::int32_t runService(const char *device, std::int32_t startInterface, std::uint32_t scopeStart,
                        std::uint32_t scopeEnd, std::uint32_t scopeMask) {
    openlog("vlm_dhcp", LOG_PID, LOG_USER);
    vlmLog(LOG_INFO, "Velmarind DHCP server for virtual NIC started.");
    vlmLog(LOG_INFO, "Velmarind DHCP server for virtual NIC reading configuration.");

    ServiceScope current{scopeStart, scopeEnd, scopeMask};
    if (!scopeAccepted(current)) {
        releaseServiceLock(gLockPath, gLockFd);
        return -1;
    }

    ScopeRenewRecord record{};
    record.pid = static_cast<std::int32_t>(getpid());
    record.scopeStart = scopeStart;
    record.scopeEnd = scopeEnd;
    record.scopeMask = scopeMask;
    record.reserved = 0;
    std::strncpy(record.adapterName, device, kAdapterNameSize - 1);
    record.startInterface = startInterface;

    installSighupHandler();
    // Before the renew file exists: the lease tool finds the service through
    // it, and SIGUSR1's default action would end the service.
    installSnapshotHandler();
    const sigset_t requests = requestSignals();
    sigprocmask(SIG_UNBLOCK, &requests, nullptr);

    char path[kRenewPathSize];
    buildRenewPath(path, device);
    writeRenewFile(path, record);
    // A name that gives no usable path is logged at each request.
    char snapshotPath[kRenewPathSize];
    buildSnapshotPath(snapshotPath, device);
    // The snapshot folder outlives the service: a service killed while it
    // wrote a snapshot left its temporary there.
    removeSnapshotTemporaries(snapshotPath);

    configureAdapter(record.adapterName, hostAdapterAddress(scopeStart), scopeMask, startInterface);

    // The bridge port lives in this frame; the layers above it are built
    // attached, so the Ethernet layer's release takes all of them down.
    std::optional<CPhysProto> phys(std::in_place, record.adapterName, kServiceMac);
    const ServiceLayers layers = buildServiceLayers(&*phys, scopeStart, scopeEnd, scopeMask);
    CIPProtocol *ip = layers.ip;
    // Before the first guest is offered anything, learn who holds what.
    AddressCensus census(*ip->Arp(), *layers.dhcp);
    // Whatever the reclaimer hears goes on to the census.
    AddressReclaimer reclaimer(*ip->Arp(), *layers.dhcp, &census);
    ip->Arp()->SetListener(&reclaimer);
    startCensus(&census);

    runMainLoop(ServiceStack{&*phys, layers, &census, &reclaimer}, path, record, current,
                SnapshotTarget{snapshotPath, device});
    ip->Arp()->SetListener(nullptr);
    // No tick may interrupt the shutdown's own calls.
    gCensusTicking = false;
    gReclaimTicking = false;
    setWakeTimer(0);

    removeRenewFile(path);
    removeSnapshotFile(snapshotPath);
    removeSnapshotTemporaries(snapshotPath);
    releaseServiceLock(gLockPath, gLockFd);
    vlmLog(LOG_INFO, "Velmarind DHCP server for virtual NIC exited.");
    closelog();
    phys.reset(); // its own line goes out after the log was closed
    // Not needed by a process about to end, but it lets leak checkers see a
    // clean exit: the Ethernet layer's release takes every layer above down.
    layers.eth->Release();
    return 0;
}

std::int32_t startDhcpServer(const char *device, std::int32_t startInterface,
                             std::uint32_t scopeStart, std::uint32_t scopeEnd,
                             std::uint32_t scopeMask) {
    // The adapter is claimed before anything else: a start-up that finds a
    // live service for it forks nothing and leaves that one's renew file,
    // host adapter and bridge port alone. A lock file that can't be made (no
    // install directory) leaves the service unguarded, as it leaves it
    // without a renew file.
    gLockFd = -1;
    if (buildLockPath(gLockPath, device)) {
        gLockFd = takeServiceLock(gLockPath);
        if (gLockFd == kServiceLockHeld) {
            vlmLog(LOG_ERR,
                   "Velmarind DHCP daemon: %s is already served by a running service; not "
                   "starting another",
                   device);
            return -1;
        }
    }
    const sigset_t requests = requestSignals();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &requests, &before);
    const pid_t child = fork();
    if (child != 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        // The service holds the lock through its own copy of the descriptor.
        if (child < 0) {
            releaseServiceLock(gLockPath, gLockFd);
        } else if (gLockFd >= 0) {
            close(gLockFd);
        }
        gLockFd = -1;
        return child < 0 ? -1 : 0;
    }
    serviceFlags.store(0);
    setsid();
    if (chdir("/") != 0) {
        // "/" always exists; nothing to do if it somehow doesn't.
    }
    umask(0);
    return runService(device, startInterface, scopeStart, scopeEnd, scopeMask);
}
