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

struct SnapshotLease {
    std::uint32_t address;
    HwAddress hwAddress;
    std::string state; // "offered" or "bound"
};

struct LeaseSnapshotText {
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
// format's first line, an unknown version, a header line missing or
// unreadable, a lease line unreadable, or a missing or wrong "end" line (a
// cut-off file). Unknown keys are skipped.
std::optional<LeaseSnapshotText> parseSnapshot(std::string_view text, std::string &why);

// True when the snapshot was taken at or after the given CLOCK_MONOTONIC time.
bool takenSince(const LeaseSnapshotText &snapshot, std::int64_t seconds, std::int32_t nanoseconds);
