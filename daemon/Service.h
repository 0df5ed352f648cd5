#pragma once

#include "ServiceLayers.h"

#include <atomic>
#include <csignal>
#include <cstdint>

class CPhysProto;
class AddressCensus;
class AddressReclaimer;
struct ScopeRenewRecord;

// The flag word the SIGHUP handler sets; the main loop clears the renew bit
// before it reads the renew file, so a SIGHUP from then on asks again.
inline constexpr std::int32_t kRenewBit = 2;
// Set by the SIGUSR1 handler: write a snapshot of the lease table. Cleared
// before the table is read, so a request from then on gets a later snapshot.
inline constexpr std::int32_t kSnapshotBit = 4;
extern std::atomic<std::int32_t> serviceFlags;
static_assert(std::atomic<std::int32_t>::is_always_lock_free,
              "the flag word is changed from a signal handler");

// Forks the detached service process. Returns in both processes: in the
// start-up process 0 (or -1 when the fork failed), in the service process -1
// when the scope was refused and 0 when the bridge has failed.
std::int32_t startDhcpServer(const char *device, std::int32_t startInterface,
                             std::uint32_t scopeStart, std::uint32_t scopeEnd,
                             std::uint32_t scopeMask);

// The service's whole life after the fork. `device` names the host adapter:
// the bridge port, the adapter that gets the scope's second address (brought
// up when startInterface is 1) and the renew file take their names from it.
// Serves the pool from scopeStart + 2 to scopeEnd under scopeMask, and a new
// scope on each SIGHUP. Returns -1 when the scope was refused and 0 when the
// bridge has failed.
std::int32_t runService(const char *device, std::int32_t startInterface, std::uint32_t scopeStart,
                        std::uint32_t scopeEnd, std::uint32_t scopeMask);

// The scope as last applied: start, end and mask, host order.
struct ServiceScope {
    std::uint32_t start;
    std::uint32_t end;
    std::uint32_t mask;
    bool operator==(const ServiceScope &) const = default;
};

// The layers the main loop drives: it reads the bridge port into the
// Ethernet layer and applies a renewed scope to the layers above. The census,
// when there is one, is started again by a renewal that changes the scope and
// pumped after every pass.
struct ServiceStack {
    CPhysProto *phys;
    ServiceLayers layers;
    AddressCensus *census = nullptr;
    AddressReclaimer *reclaimer = nullptr;
};

// Where the lease snapshot goes, and the device name it states; a null path
// leaves snapshot requests unanswered (but cleared).
struct SnapshotTarget {
    const char *path = nullptr;
    const char *device = "";
};

// One blocking bridge read per pass, the renewals that SIGHUP asks for and at
// most one lease snapshot that SIGUSR1 asks for, until a read fails. The
// record is the service's in-memory renew record.
void runMainLoop(const ServiceStack &stack, const char *renewPath, ScopeRenewRecord &record,
                 ServiceScope &current, const SnapshotTarget &snapshot = {});

// Sets kRenewBit on SIGHUP; without SA_RESTART, so that the signal ends a
// blocking bridge read and the renewal is served at once.
void installSighupHandler();
// Sets kSnapshotBit on SIGUSR1, in the same way.
void installSnapshotHandler();
