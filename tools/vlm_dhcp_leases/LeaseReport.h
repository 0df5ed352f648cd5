#pragma once

#include "SnapshotText.h"

#include <optional>
#include <string>

// What the tool prints from a snapshot.

// A heading, one row per lease and the counters, for people.
std::string leaseTable(const LeaseSnapshotText &snapshot);

// One JSON object, for host managers and scripts:
// {"device": "vnic0", "pid": 4242, "time": 1700000000,
//  "own_address": "10.37.129.1", "scope_start": "...", "scope_end": "...",
//  "mask": "...", "counters": {"frames-read": 12, ...},
//  "leases": [{"address": "10.37.129.3", "mac": "52:54:00:12:34:56",
//              "state": "bound", "hostname": "web1", "client_id": "01525400123456",
//              "since": 1700000000, "last_seen": 1700000042}, ...]}
// hostname and client_id are null and the times null when the guest gave
// none; the times are seconds since 1970 (since: bound since).
std::string leaseJson(const LeaseSnapshotText &snapshot);

// The address bound to a guest, and the guest bound to an address. An offer
// is not a lease yet: only bound entries answer.
std::optional<std::uint32_t> boundAddressOf(const LeaseSnapshotText &snapshot,
                                            const HwAddress &hwAddress);
std::optional<HwAddress> boundHolderOf(const LeaseSnapshotText &snapshot, std::uint32_t address);
// The address bound to the guest that answers to name (GuestName.h: one
// label, any case, the first bound of several claims).
std::optional<std::uint32_t> boundAddressNamed(const LeaseSnapshotText &snapshot,
                                               const std::string &name);
