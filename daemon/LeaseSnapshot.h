#pragma once

#include "DhcpCounters.h"
#include "GuestFacts.h"
#include "LeaseEntry.h"
#include "SnapshotFormat.h"

#include <cstdint>
#include <span>

// The writer of the lease snapshot whose format SnapshotFormat.h describes.

// What the snapshot says about the service besides its leases.
struct SnapshotFacts {
    const char *device;
    std::uint32_t ownAddress;
    std::uint32_t scopeStart;
    std::uint32_t scopeEnd;
    std::uint32_t scopeMask;
    std::int32_t pid;
    std::int64_t unixTime;         // seconds; 64 bits so that 2038 is no edge
    std::int64_t monotonicSeconds; // CLOCK_MONOTONIC at the moment the table was read
    std::int32_t monotonicNanoseconds;
    std::uint64_t framesRead;
    const DhcpCounters *counters; // null: no counter lines
};

// Fills the two clock fields and the pid of facts from the running process.
void stampSnapshotFacts(SnapshotFacts &facts);

// Writes the snapshot of table (the lease slots, walked along their address
// chain from slot 0, with guests' facts slot by slot beside them, or none) to a temporary file in
// path's folder and renames it over path, so that a reader sees the old file or the new one, never
// a part. Returns 0, or the errno of the step that failed; no temporary file is left behind on
// failure.
int writeLeaseSnapshot(const char *path, const SnapshotFacts &facts,
                       std::span<const LeaseEntry> table, const GuestFact *guests = nullptr);

// Removes the temporaries "<path>.XXXXXX" that a service killed while it
// wrote a snapshot left beside path; the service calls it at start and at
// exit, since the snapshot folder outlives it.
void removeSnapshotTemporaries(const char *path);
