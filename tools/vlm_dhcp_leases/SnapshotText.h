#pragma once

#include "AddressParse.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reading a lease snapshot as the service writes it (the format is described
// in SnapshotFormat.h).

// A moment of a guest's lease on both clocks; monotonic 0: never.
struct SnapshotMoment {
    std::int64_t monotonic = 0;
    std::int64_t unixTime = 0;
};

struct SnapshotLease {
    std::uint32_t address = 0;
    HwAddress hwAddress{};
    std::string state; // "offered" or "bound"
    // From the lease's guest line (version 2), empty or 0 without one.
    std::string name;     // \xNN escapes undone
    std::string clientId; // lower-case hexadecimal, as written
    SnapshotMoment firstOffer;
    SnapshotMoment boundSince;
    SnapshotMoment lastAck;
    SnapshotMoment lastSeen;
};

struct LeaseSnapshotText {
    int version = 0;
    std::string device; // \xNN escapes undone
    std::int32_t pid = 0;
    std::int64_t unixTime = 0;
    std::int64_t monotonicSeconds = 0;
    std::int32_t monotonicNanoseconds = 0;
    std::uint32_t ownAddress = 0;
    std::uint32_t scopeStart = 0;
    std::uint32_t scopeEnd = 0;
    std::uint32_t scopeMask = 0;
    std::vector<std::pair<std::string, std::uint64_t>> counters; // in file order
    std::vector<SnapshotLease> leases;                           // in file order
};

// The snapshot in text, or nullopt with why saying what was wrong: not the
// format's first line, a version below 1, a header line missing or
// unreadable, a lease or guest line unreadable, or a missing or wrong "end"
// line (a cut-off file). Unknown keys and guest fields are skipped: later
// versions only add them.
std::optional<LeaseSnapshotText> parseSnapshot(std::string_view text, std::string &why);

// True when the snapshot was taken at or after the given CLOCK_MONOTONIC time.
bool takenSince(const LeaseSnapshotText &snapshot, std::int64_t seconds, std::int32_t nanoseconds);
